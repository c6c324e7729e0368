// Arbitrary bytes through what `phctl message parse` does: parsed as a retrieved message
// (headers, then the body with its attachments collected), shown as JSON and as lines, the
// sender refreshed from the header as a reply does, and a reply and a forward built. The
// sanitizers catch memory and arithmetic faults; the checks catch broken promises.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "MessageView.h"
#include "message/ReplyForward.h"

namespace {

void Check(bool promise) {
    if (!promise) __builtin_trap();
}

// A plain file name inside the chosen folder: nothing that names another place.
bool IsPlainFileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c == '/' || c == '\\' || c < 32 || c == 127) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ph::DateTime today = ph::DateTime::FromParts(2006, 3, 15, 12, 0, 0);
    ph::cli::ParsedMessage parsed;
    ph::cli::ParseAsRetrieved(text, parsed, [](std::string_view a) { return a.size() % 2 == 0; }, today);
    ph::CEmailMessage& m = parsed.message;

    Check(m.AttachmentData.size() == m.AttachmentNames.size());
    Check(m.AttachmentData.size() == m.AttachmentExtra.size());
    Check(m.FromIconState == 0 || m.FromIconState == 8);
    for (size_t i = 0; i < m.AttachmentData.size(); ++i) Check(IsPlainFileName(ph::cli::AttachmentFileName(m, i)));

    // Invalid UTF-8 would make dump() throw.
    const std::string json = ph::cli::MessageJson(parsed).dump();
    Check(!json.empty());
    std::ostringstream lines;
    ph::cli::PrintMessage(lines, parsed);

    // A sender without an address is taken again from the header, exactly as it stands there.
    m.From = "no address";
    ph::mime::RefreshFromHeader(m, m.Header);
    Check(m.From == ph::mime::GetHeaderField(m.Header, "From"));

    const ph::mime::ReplySettings html{"me@example.com", 2, true, "member@example.com"};
    const ph::mime::ReplySettings plain{"me@example.com", 3, true, "member@example.com"};
    const ph::mime::ReplyDraft reply = ph::mime::BuildReply(m, html);
    Check(reply.Body.size() >= m.HtmlText.size());
    const ph::mime::ReplyDraft forward = ph::mime::BuildForward(m, plain);
    Check(forward.Body.empty() || forward.Body[0] == '>');
    return 0;
}
