#pragma once
// Sending one message through an account's outgoing servers: the first that accepts a
// connection and the login takes the message; the others are tried only when connecting fails.
#include <array>
#include <string>
#include <vector>

#include "message/CSmtpConnection.h"

namespace ph {

struct OutgoingRecord;

// The sending account's side of a send.
struct SmtpAccount {
    std::string address;  // the sender, without a display name
    std::array<std::string, 3> servers;  // empty ones are skipped
    int port = 25;
    std::string user;
    std::string password;
    unsigned replyTimeoutMs = CSmtpConnection::kDefaultReplyTimeoutMs;
};

struct OutgoingMail {
    std::string to, cc, bcc;  // each as the user wrote it; any of them may hold several addresses
    std::string subject;
    std::string htmlBody;
    std::vector<std::string> attachmentPaths;
};

enum class SendResult {
    Sent,
    NoConnection,  // no server could be reached or logged in to
    Refused,       // a server took the login but refused the message
    Unsendable,    // no recipient address, or an attachment file that cannot be read
};
const char* SendResultText(SendResult result);

// The mail an outbox or sent-items row describes: its message text is the HTML body and its
// attachment list holds one file path per line.
OutgoingMail MailFromRecord(const OutgoingRecord& record);

SendResult SendThroughSmtp(const SmtpAccount& account, const OutgoingMail& mail);

}  // namespace ph
