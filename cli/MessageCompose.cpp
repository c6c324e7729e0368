#include "MessageCompose.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "Arguments.h"
#include "message/MimeComposer.h"

namespace ph::cli {
namespace {

struct ComposeOptions {
    std::string from;
    std::vector<std::string> to, cc, bcc, attach;
    std::string subject;
    std::string textFile, htmlFile;
};

// "Name <address>" or a bare address, as a person types it on the command line.
mime::AddressPair ParseAddress(const std::string& text) {
    const size_t open = text.rfind('<');
    const size_t close = text.rfind('>');
    if (open == std::string::npos || close == std::string::npos || close < open) return {"", text};
    std::string name = text.substr(0, open);
    const size_t first = name.find_first_not_of(" \t");
    name = first == std::string::npos ? "" : name.substr(first, name.find_last_not_of(" \t") - first + 1);
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    return {name, text.substr(open + 1, close - open - 1)};
}

// Opening every attachment now means a missing or unreadable one is reported before any of
// the message reaches stdout.
bool Readable(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        errno = EISDIR;
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    return file != nullptr;
}

int Compose(const ComposeOptions& o) {
    mime::CMimeMessage message;
    message.SetFrom(ParseAddress(o.from));
    for (const auto& a : o.to) message.AddRecipient(ParseAddress(a), mime::kTo);
    for (const auto& a : o.cc) message.AddRecipient(ParseAddress(a), mime::kCc);
    for (const auto& a : o.bcc) message.AddRecipient(ParseAddress(a), mime::kBcc);
    message.Subject = o.subject;
    // Always MIME, as the sending path composes.
    message.SetMimeMode(true);

    const std::string& bodyFile = o.htmlFile.empty() ? o.textFile : o.htmlFile;
    std::string body, why;
    if (!bodyFile.empty() && !ReadWholeFile(bodyFile, body, why)) return Fail(why);
    if (o.htmlFile.empty()) message.SetBodyText(body);
    else message.SetHtmlText(body);

    for (const std::string& path : o.attach) {
        auto part = std::make_unique<mime::CMimePart>();
        if (!part->AttachFile(path) || !Readable(path))
            return Fail("cannot attach " + path + ": " + std::strerror(errno));
        message.AddAttachment(std::move(part));
    }

    const bool written = message.WriteMessage([](std::string_view piece) {
        return std::fwrite(piece.data(), 1, piece.size(), stdout) == piece.size();
    });
    if (std::fflush(stdout) != 0 || !written) return Fail("writing the message failed");
    return 0;
}

}  // namespace

void AddMessageComposeCommand(CLI::App& message, CommandContext& context) {
    auto options = std::make_shared<ComposeOptions>();
    CLI::App* compose = message.add_subcommand("compose", "Compose a message and write it to stdout");
    compose->add_option("--from", options->from, "Sender: ADDRESS or \"NAME <ADDRESS>\"")->required();
    compose->add_option("--to", options->to, "Recipient (repeatable)")->required();
    compose->add_option("--cc", options->cc, "Copy recipient (repeatable)");
    compose->add_option("--bcc", options->bcc, "Blind copy recipient (repeatable, never written)");
    compose->add_option("--subject", options->subject, "Subject");
    auto* html = compose->add_option("--html", options->htmlFile, "Body from an HTML file");
    auto* text = compose->add_option("--text", options->textFile, "Body from a plain-text file");
    html->excludes(text);
    compose->add_option("--attach", options->attach, "Attach a file (repeatable)");
    compose->callback([options, &context] { context.exitCode = Compose(*options); });
}

}  // namespace ph::cli
