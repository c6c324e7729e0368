// Sending through SMTP: against a real server that keeps what it receives, and against scripted
// servers that refuse, stall, split their replies or ask odd questions.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "ServerProcess.h"
#include "common/Crypto.h"
#include "message/SmtpSend.h"
#include "store/Records.h"
#include "support/Files.h"

namespace ph {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class SmtpSend : public testing::Test {
protected:
    test::ScriptServer Start(const std::string& scenario, const std::string& user = "alice",
                             const std::string& password = "alice-secret") {
        const fs::path dir = test::TestDir("smtp-" + scenario);
        return test::ScriptServer(dir, {PH_PYTHON, PH_SMTP_SERVER, "--scenario", scenario, "--user", user,
                                        "--password", password, "--spool", (dir / "spool").string(),
                                        "--log", (dir / "log").string()});
    }
    static SmtpAccount Sender(int port, const std::string& user = "alice", const std::string& password = "alice-secret") {
        SmtpAccount account;
        account.address = "alice@example.com";
        account.servers = {"127.0.0.1", "", ""};
        account.port = port;
        account.user = user;
        account.password = password;
        return account;
    }
    static OutgoingMail Mail() {
        OutgoingMail mail;
        mail.to = "Bob <bob@example.org>";
        mail.subject = "Quarterly figures";
        mail.htmlBody = "<html><body><p>Figures attached.</p>\r\n.\r\n</body></html>";
        return mail;
    }
};

TEST_F(SmtpSend, RealServerReceivesEnvelopeHeadersAndAttachments) {
    test::ScriptServer server = Start("real");
    const fs::path attachment = server.Dir() / "figures.csv";
    std::ofstream(attachment, std::ios::binary) << "quarter,total\nQ1,1200\n";

    OutgoingRecord record;
    record.To = "Bob <bob@example.org>";
    record.Cc = "carol@example.org; dave@example.org";
    record.Bcc = "eve@example.org";
    record.Subject = "Quarterly figures";
    record.MsgText = "<html><body><p>Figures attached.</p></body></html>";
    record.Attachments = attachment.string() + "\r\n\r\n";
    ASSERT_EQ(SendThroughSmtp(Sender(server.Port()), MailFromRecord(record)), SendResult::Sent);

    const std::string envelope = ReadFile(server.Dir() / "spool" / "1.json");
    EXPECT_EQ(envelope,
              R"({"from": "alice@example.com", "to": ["bob@example.org", "carol@example.org", "dave@example.org", "eve@example.org"]})");
    const std::string text = ReadFile(server.Dir() / "spool" / "1.eml");
    EXPECT_NE(text.find("Subject: Quarterly figures\r\n"), std::string::npos);
    EXPECT_NE(text.find("From: alice@example.com\r\n"), std::string::npos);
    EXPECT_NE(text.find("Cc: carol@example.org; dave@example.org\r\n"), std::string::npos);
    EXPECT_EQ(text.find("eve@example.org"), std::string::npos) << "Bcc must not be in the message";
    EXPECT_NE(text.find("<p>Figures attached.</p>"), std::string::npos);
    EXPECT_NE(text.find(Base64Encode("quarter,total\nQ1,1200\n")), std::string::npos);
}

TEST_F(SmtpSend, DotLinesSurviveTheDataTransfer) {
    test::ScriptServer server = Start("real");
    ASSERT_EQ(SendThroughSmtp(Sender(server.Port()), Mail()), SendResult::Sent);
    // The server undoes the dot-stuffing: the lone dot of the body arrives as a lone dot and
    // did not end the data early.
    const std::string text = ReadFile(server.Dir() / "spool" / "1.eml");
    EXPECT_NE(text.find("</p>\r\n.\r\n</body>"), std::string::npos) << text;
}

TEST_F(SmtpSend, ScriptedServers) {
    struct Case {
        const char* scenario;
        const char* user;
        const char* password;
        SendResult result;
        size_t logins;  // "AUTH LOGIN" commands sent
        bool data;      // whether the message was offered
    };
    const Case cases[] = {
        // Replies in pieces and a multi-line EHLO answer are read whole.
        {"split", "alice", "alice-secret", SendResult::Sent, 1, true},
        // The server knows the name only upper-cased: the second try gets in.
        {"upper-only", "Alice", "Se-cret", SendResult::Sent, 2, true},
        // A challenge that is not "Username:" fails every try; as given, upper and lower case.
        {"wrong-challenge", "Alice", "Se-cret", SendResult::NoConnection, 3, false},
        // ... and a lower-case pair is not sent twice.
        {"wrong-challenge", "alice", "se-cret", SendResult::NoConnection, 2, false},
        {"refuse-rcpt", "alice", "alice-secret", SendResult::Refused, 1, false},
        // Two seconds without a byte end the attempt.
        {"silent-after-ehlo", "alice", "alice-secret", SendResult::NoConnection, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + " " + c.user);
        test::ScriptServer server = Start(c.scenario, c.user, c.password);
        EXPECT_EQ(SendThroughSmtp(Sender(server.Port(), c.user, c.password), Mail()), c.result);
        const std::string log = ReadFile(server.Dir() / "log");
        EXPECT_EQ(Count(log, "AUTH LOGIN\r\n"), c.logins) << log;
        EXPECT_EQ(Count(log, "DATA\r\n"), c.data ? 1u : 0u) << log;
        EXPECT_EQ(log.rfind("EHLO ", 0), 0u) << log;
    }
}

TEST_F(SmtpSend, LaterServersAreTriedOnlyWhenConnectingFails) {
    test::ScriptServer server = Start("real");
    SmtpAccount account = Sender(server.Port());
    // Nothing listens on 127.0.0.2 at that port; the empty second server is skipped.
    account.servers = {"127.0.0.2", "", "127.0.0.1"};
    EXPECT_EQ(SendThroughSmtp(account, Mail()), SendResult::Sent);
    EXPECT_TRUE(fs::exists(server.Dir() / "spool" / "1.eml"));

    // A server that takes the login and refuses the message is the answer: the next one would
    // only get the same message again.
    test::ScriptServer refusing = Start("refuse-rcpt");
    account.servers = {"127.0.0.1", "", "127.0.0.1"};
    account.port = refusing.Port();
    EXPECT_EQ(SendThroughSmtp(account, Mail()), SendResult::Refused);
    EXPECT_EQ(Count(ReadFile(refusing.Dir() / "log"), "MAIL FROM:"), 1u);

    account.servers = {"127.0.0.2", "", ""};
    EXPECT_EQ(SendThroughSmtp(account, Mail()), SendResult::NoConnection);
}

TEST_F(SmtpSend, UnsendableMailNeverReachesAServer) {
    test::ScriptServer server = Start("split");
    OutgoingMail noRecipient = Mail();
    noRecipient.to = "Bob";
    OutgoingMail missingFile = Mail();
    missingFile.attachmentPaths = {(server.Dir() / "gone.pdf").string()};
    for (const OutgoingMail& mail : {noRecipient, missingFile})
        EXPECT_EQ(SendThroughSmtp(Sender(server.Port()), mail), SendResult::Unsendable);
    EXPECT_FALSE(fs::exists(server.Dir() / "log"));
}

}  // namespace
}  // namespace ph
