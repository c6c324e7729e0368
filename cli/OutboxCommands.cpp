// phctl outbox add: a message stored in the outbox of its sending account, to go out with that
// account's next check.
#include "OutboxCommands.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>

#include "Arguments.h"
#include "Display.h"
#include "common/DateTime.h"

namespace ph::cli {
namespace {

struct OutboxArgs {
    std::string account;
    std::vector<std::string> to, cc, bcc, attach;
    std::string subject, body, bodyFile;
};

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

int AddToOutbox(Session& session, const OutboxArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    const CEmailAccount* account = ResolveAccount(doc, a.account, why);
    if (!account) return Fail(why);

    OutgoingRecord r;
    r.AcctID = account->m_id;
    r.To = Joined(a.to);
    r.Cc = Joined(a.cc);
    r.Bcc = Joined(a.bcc);
    r.Subject = a.subject;
    r.SentDate = DateTime::Now();
    r.MsgText = a.body;
    if (!a.bodyFile.empty() && !ReadWholeFile(a.bodyFile, r.MsgText, why)) return Fail(why);
    r.MsgSize = static_cast<int32_t>(std::min<size_t>(r.MsgText.size(), INT32_MAX));
    // The files are read when the message goes out: a path that will not resolve then is
    // refused now, while the user is still there to hear about it.
    for (const std::string& path : a.attach) {
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
        if (ec || !std::filesystem::is_regular_file(absolute, ec))
            return Fail("cannot attach " + EscapeForLine(path) + ": not a readable file");
        r.Attachments += absolute.string() + "\n";
        r.AttachmentType = absolute.filename().string();
    }
    r.HasAttachment = !a.attach.empty();

    const OutgoingMessage* item = doc.AddOutgoing(r, /*toOutbox=*/true);
    if (!item) return Fail("the message could not be stored");
    std::cout << item->m_id << "\n";
    return 0;
}

}  // namespace

void AddOutboxCommands(CLI::App& outbox, CommandContext& context) {
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;
    auto args = std::make_shared<OutboxArgs>();
    CLI::App* add = outbox.add_subcommand("add", "Store a message to be sent by its account's next check");
    add->add_option("--account", args->account, "Sending account (id or address)")->required();
    add->add_option("--to", args->to, "Recipient (repeatable)")->required();
    add->add_option("--cc", args->cc, "Copy recipient (repeatable)");
    add->add_option("--bcc", args->bcc, "Blind copy recipient (repeatable)");
    add->add_option("--subject", args->subject, "Subject");
    auto* body = add->add_option("--body", args->body, "The message text (HTML)");
    add->add_option("--body-file", args->bodyFile, "The message text (HTML) from a file")->excludes(body);
    add->add_option("--attach", args->attach, "Attach a file (repeatable)");
    add->callback([args, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return AddToOutbox(s, *args); });
    });
}

}  // namespace ph::cli
