#include "message/SmtpSend.h"

#include <algorithm>
#include <memory>

#include "common/Bytes.h"
#include "common/Trace.h"
#include "message/MimeComposer.h"
#include "message/MimeParser.h"
#include "store/Records.h"

namespace ph {
namespace {

// Every address of the three lists, in To, Cc, Bcc order. People separate addresses with
// semicolons as often as with commas.
std::vector<std::string> EnvelopeRecipients(const OutgoingMail& mail) {
    std::vector<std::string> recipients;
    for (const std::string* list : {&mail.to, &mail.cc, &mail.bcc}) {
        std::string text = *list;
        std::replace(text.begin(), text.end(), ';', ',');
        mime::ParseAddressList(text, recipients);
    }
    return recipients;
}

// The message as it goes out: each list is one recipient written as the user gave it, the
// sender is the bare account address, the body is HTML, and every file is an attachment.
std::unique_ptr<mime::CMimeMessage> Compose(const SmtpAccount& account, const OutgoingMail& mail) {
    auto message = std::make_unique<mime::CMimeMessage>();
    message->SetFrom({"", account.address});
    message->AddRecipient({"", mail.to}, mime::kTo);
    if (!mail.cc.empty()) message->AddRecipient({"", mail.cc}, mime::kCc);
    if (!mail.bcc.empty()) message->AddRecipient({"", mail.bcc}, mime::kBcc);
    message->Subject = mail.subject;
    message->SetMimeMode(true);
    message->SetHtmlText(mail.htmlBody);
    for (const std::string& path : mail.attachmentPaths) {
        auto part = std::make_unique<mime::CMimePart>();
        if (!part->AttachFile(path)) {
            Trace("cannot send: attachment \"%s\" cannot be read\n", path.c_str());
            return nullptr;
        }
        message->AddAttachment(std::move(part));
    }
    return message;
}

}  // namespace

const char* SendResultText(SendResult result) {
    switch (result) {
        case SendResult::Sent: return "sent";
        case SendResult::NoConnection: return "no outgoing server could be reached";
        case SendResult::Refused: return "the outgoing server refused the message";
        case SendResult::Unsendable: return "no recipient, or an attachment that cannot be read";
    }
    return "";
}

OutgoingMail MailFromRecord(const OutgoingRecord& record) {
    OutgoingMail mail{record.To, record.Cc, record.Bcc, record.Subject, record.MsgText, {}};
    for (std::string& line : SplitLines(record.Attachments)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) mail.attachmentPaths.push_back(std::move(line));
    }
    return mail;
}

SendResult SendThroughSmtp(const SmtpAccount& account, const OutgoingMail& mail) {
    const std::vector<std::string> recipients = EnvelopeRecipients(mail);
    if (recipients.empty()) return SendResult::Unsendable;
    const std::unique_ptr<mime::CMimeMessage> message = Compose(account, mail);
    if (!message) return SendResult::Unsendable;
    for (const std::string& server : account.servers) {
        if (server.empty()) continue;
        CSmtpConnection session;
        session.SetReplyTimeoutMs(account.replyTimeoutMs);
        if (!session.Connect(server, CSmtpConnection::kAuthLogin, account.user, account.password, account.port))
            continue;
        // The server took us in: whatever it says to the message is the answer, another server
        // would only send it twice.
        return session.TransmitMessage(account.address, recipients, *message) ? SendResult::Sent
                                                                             : SendResult::Refused;
    }
    return SendResult::NoConnection;
}

}  // namespace ph
