// Downloading a listed message's text, or all of it, from a scripted server, directly and
// through the download worker.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "FakePop3.h"
#include "Pop3Jobs.h"
#include "model/CEmailAccount.h"
#include "retrieval/CDownloadMsgThread.h"
#include "retrieval/MessageDownload.h"
#include "retrieval/Pop3Mail.h"
#include "support/Files.h"

namespace ph {
namespace {

using test::FakePop3;
namespace fs = std::filesystem;

const char kPlain[] =
    "From: Ann Abbott <ann@example.com>\r\n"
    "To: alice@example.com\r\n"
    "Subject: Plain one\r\n"
    "Date: Tue, 15 Nov 2005 08:12:31 -0800\r\n"
    "\r\n"
    "Hello in plain text.\r\n";

const char kAlternative[] =
    "From: Bruno Berg <bruno@example.org>\r\n"
    "To: alice@example.com\r\n"
    "Subject: Both kinds\r\n"
    "Date: Wed, 16 Nov 2005 09:00:00 +0000\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/alternative; boundary=\"alt-1\"\r\n"
    "\r\n"
    "--alt-1\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n"
    "Plain words.\r\n"
    "--alt-1\r\n"
    "Content-Type: text/html; charset=us-ascii\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "<p>Html =3D words.</p>\r\n"
    "--alt-1--\r\n";

// The HTML text comes before two attachments, the second with a name that climbs out of any
// folder.
const char kMixed[] =
    "From: Chiara Costa <chiara@example.net>\r\n"
    "To: alice@example.com\r\n"
    "Subject: Report attached\r\n"
    "Date: Thu, 17 Nov 2005 10:30:00 +0100\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"mix-1\"\r\n"
    "\r\n"
    "--mix-1\r\n"
    "Content-Type: multipart/alternative; boundary=\"alt-2\"\r\n"
    "\r\n"
    "--alt-2\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n"
    "See the report.\r\n"
    "--alt-2\r\n"
    "Content-Type: text/html; charset=us-ascii\r\n"
    "\r\n"
    "<p>See the report.</p>\r\n"
    "--alt-2--\r\n"
    "--mix-1\r\n"
    "Content-Type: application/pdf; name=\"report.pdf\"\r\n"
    "Content-Disposition: attachment; filename=\"report.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "JVBERi0xLjQKJeLjz9MKMSAwIG9iago8\r\n"
    "PD4+CmVuZG9iagolJUVPRgo=\r\n"
    "--mix-1\r\n"
    "Content-Type: application/octet-stream; name=\"../notes.bin\"\r\n"
    "Content-Disposition: attachment; filename=\"../notes.bin\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "AAECAw==\r\n"
    "--mix-1--\r\n";

const std::string kReportBytes("%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<<>>\nendobj\n%%EOF\n");
const std::string kNotesBytes("\x00\x01\x02\x03", 4);

// The server's mailbox: numbers 1, 2 and 3 in this order.
const std::map<std::string, std::string> kMailbox = {
    {"a-plain", kPlain}, {"b-alt", kAlternative}, {"c-mixed", kMixed}};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A message of the account as its check left it: new, known by `id`; with `fieldsOf` it
// carries that listed message's header fields and size, else a subject of its own.
CEmailMessage& Listed(CEmailAccount& account, const std::string& id,
                      const CEmailMessage* fieldsOf) {
    CEmailMessage& message = test::AddListed(account, id, fieldsOf);
    if (!fieldsOf) message.Subject = "Kept";
    message.IsNew = true;
    ++account.m_newMsgCount;
    return message;
}

const CEmailMessage* Find(const MessageList& messages, const std::string& id) {
    for (const auto& message : messages)
        if (message->MsgUniqueID == id) return message.get();
    return nullptr;
}

TEST(MessageDownload, FetchesTheTextOrTheWholeMessage) {
    const struct {
        const char* name;
        const char* id;        // the message's unique id as the account knows it
        const char* fieldsOf;  // the server message whose header fields it carries, or null
        bool full;
        bool collect;
        bool arrived;
        const char* plain;  // found in PlainText; "" for an empty one
        const char* html;
        const char* subject;  // afterwards
        const char* attachmentType;
        std::vector<std::string> attachments;  // names collected
        const char* bodyLacks;                 // what was not read; null: nothing missing
        const char* logEnd;                    // how the conversation with the server ends
    } cases[] = {
        // clang-format off
        {"text of a plain message", "a-plain", nullptr, false, false, true,
         "Hello in plain text.", "", "Plain one", "", {}, nullptr, "RETR 1\r\n"},
        {"text of an alternative", "b-alt", nullptr, false, false, true,
         "Plain words.", "<p>Html = words.</p>", "Both kinds", "", {}, nullptr, "RETR 2\r\n"},
        {"text stops at the attachment after the HTML", "c-mixed", nullptr, false, false, true,
         "See the report.", "<p>See the report.</p>", "Report attached", "report.pdf", {}, "JVBERi0",
         "RETR 3\r\n"},
        {"whole message with its attachments", "c-mixed", nullptr, true, true, true,
         "See the report.", "<p>See the report.</p>", "Kept", "../notes.bin",
         {"report.pdf", "../notes.bin"}, nullptr, "RETR 3\r\nQUIT\r\n"},
        {"whole message, attachments not asked for", "c-mixed", nullptr, true, false, true,
         "See the report.", "<p>See the report.</p>", "Kept", "../notes.bin", {}, nullptr,
         "RETR 3\r\nQUIT\r\n"},
        {"id gone, found by header fields", "renamed", "b-alt", false, false, true,
         "Plain words.", "<p>Html = words.</p>", "Both kinds", "", {}, nullptr, "RETR 2\r\n"},
        {"id gone, whole message found by header fields", "renamed", "a-plain", true, false, true,
         "Hello in plain text.", "", "Plain one", "", {}, nullptr, "RETR 1\r\nQUIT\r\n"},
        {"gone from the server", "renamed", nullptr, false, false, false,
         "", "", "Kept", "", {}, nullptr, "NOOP\r\nQUIT\r\n"},
        {"gone from the server, whole", "renamed", nullptr, true, true, false,
         "", "", "Kept", "", {}, nullptr, "NOOP\r\nQUIT\r\n"},
        // clang-format on
    };
    for (const auto& c : cases) {
        FakePop3 server("normal", kMailbox);
        const MessageList served = test::ListServer(server.Pop());
        ASSERT_EQ(served.size(), 3u) << c.name;
        CEmailAccount& account = server.Account();
        CEmailMessage& message =
            Listed(account, c.id, c.fieldsOf ? Find(served, c.fieldsOf) : nullptr);
        server.Pop().m_msgCount = 2;  // one of the three is marked for delete

        const bool arrived = c.full ? DownloadFullMsg(server.Pop(), message, c.collect)
                                    : DownloadMsg(server.Pop(), message);

        EXPECT_EQ(arrived, c.arrived) << c.name;
        EXPECT_NE(message.PlainText.find(c.plain), std::string::npos)
            << c.name << ": " << message.PlainText;
        EXPECT_NE(message.HtmlText.find(c.html), std::string::npos)
            << c.name << ": " << message.HtmlText;
        EXPECT_EQ(message.PlainText.empty(), *c.plain == 0) << c.name;
        EXPECT_EQ(message.HtmlText.empty(), *c.html == 0) << c.name;
        EXPECT_EQ(message.m_textCached, *c.plain || *c.html) << c.name;
        EXPECT_EQ(message.Subject, c.subject) << c.name;
        EXPECT_EQ(message.AttachmentType, c.attachmentType) << c.name;
        EXPECT_EQ(message.AttachmentNames, c.attachments) << c.name;
        if (c.collect && c.arrived) {
            EXPECT_EQ(message.AttachmentData, (std::vector<std::string>{kReportBytes, kNotesBytes}))
                << c.name;
        }
        if (c.bodyLacks) {
            EXPECT_EQ(message.Body.find(c.bodyLacks), std::string::npos) << c.name;
        }
        EXPECT_EQ(!message.IsNew, c.arrived) << c.name;
        EXPECT_EQ(message.IsReadLocally, c.arrived) << c.name;
        EXPECT_EQ(account.m_newMsgCount, c.arrived ? 0 : 1) << c.name;
        // A download is no check: the list, the outcome and the connection are as they were.
        EXPECT_EQ(account.GetMessages().size(), 1u) << c.name;
        EXPECT_EQ(server.Pop().m_msgCount, 2) << c.name;
        EXPECT_FALSE(server.Pop().Connection().IsConnected()) << c.name;
        EXPECT_TRUE(EndsWith(server.Log(), c.logEnd)) << c.name << "\n" << server.Log();
    }
}

TEST(MessageDownload, NumberLeftFromAnEarlierConnectionIsNotTrusted) {
    FakePop3 server("normal", kMailbox);
    const MessageList served = test::ListServer(server.Pop());
    // An older copy with the same header fields, still carrying a number of another connection.
    CEmailMessage& twin = Listed(server.Account(), "older-copy", Find(served, "b-alt"));
    twin.MsgNumber = "1";
    CEmailMessage& message = Listed(server.Account(), "renamed", Find(served, "b-alt"));
    EXPECT_TRUE(DownloadMsg(server.Pop(), message));
    EXPECT_NE(message.HtmlText.find("<p>Html = words.</p>"), std::string::npos);
    EXPECT_TRUE(EndsWith(server.Log(), "RETR 2\r\n")) << server.Log();
}

TEST(MessageDownload, RefusedLoginBringsNothing) {
    FakePop3 server("refuse-pass", kMailbox);
    CEmailMessage& message = Listed(server.Account(), "a-plain", nullptr);
    message.PlainText = "cached";
    EXPECT_FALSE(DownloadMsg(server.Pop(), message));
    EXPECT_FALSE(DownloadFullMsg(server.Pop(), message, true));
    EXPECT_EQ(message.PlainText, "cached");
    EXPECT_TRUE(message.IsNew);
    EXPECT_EQ(server.Log().find("RETR"), std::string::npos);
}

TEST(DownloadWorker, DownloadsInOrderThenShowsOrSavesTheAttachments) {
    using Mode = CDownloadMsgThread::AttachmentMode;
    const struct {
        const char* name;
        std::vector<std::string> ids;
        bool full;
        Mode mode;
        int arrived;
        std::map<std::string, std::string> saved;  // file name -> content
        std::vector<std::string> shown;            // attachment names, message after message
    } cases[] = {
        // clang-format off
        {"list of two, whole, saved", {"a-plain", "c-mixed"}, true, Mode::Save, 2,
         {{"report.pdf", kReportBytes}, {"notes.bin", kNotesBytes}}, {}},
        {"one, whole, shown", {"c-mixed"}, true, Mode::Show, 1, {}, {"report.pdf", "../notes.bin"}},
        {"text only, one gone", {"b-alt", "gone"}, false, Mode::None, 1, {}, {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        FakePop3 server("normal", kMailbox);
        CEmailAccount& account = server.Account();
        std::vector<CEmailMessage*> messages;
        for (const std::string& id : c.ids) {
            messages.push_back(&Listed(account, id, nullptr));
            messages.back()->PlainText = "stale";
        }
        const fs::path folder = test::TestDir("saved");
        const fs::path saveFolder = folder / "chosen";
        fs::create_directories(saveFolder);
        CDownloadMsgThread::Options options;
        options.full = c.full;
        options.attachments = c.mode;
        options.saveFolder = saveFolder.string();
        std::vector<std::string> shown;
        options.show = [&shown](CEmailMessage& message) {
            shown.insert(shown.end(), message.AttachmentNames.begin(),
                         message.AttachmentNames.end());
        };
        std::atomic<int> index{0};
        std::atomic<CEmailMessage*> current{nullptr};

        CDownloadMsgThread worker(account, messages, options, {&index, &current});
        test::WaitLikeTheFrame(worker, account);

        EXPECT_TRUE(account.m_downloadFinished) << c.name;
        EXPECT_EQ(worker.Arrived(), c.arrived) << c.name;
        EXPECT_EQ(index.load(), static_cast<int>(c.ids.size()) + 1) << c.name;
        EXPECT_EQ(current.load(), messages.back()) << c.name;
        for (const CEmailMessage* message : messages)
            EXPECT_NE(message->PlainText, "stale") << c.name;
        std::map<std::string, std::string> saved;
        for (const auto& entry : fs::directory_iterator(saveFolder))
            saved[entry.path().filename().string()] = test::ReadFile(entry.path());
        EXPECT_EQ(saved, c.saved) << c.name;
        EXPECT_EQ(worker.AttachmentsSaved(), static_cast<int>(c.saved.size())) << c.name;
        EXPECT_FALSE(fs::exists(folder / "notes.bin")) << c.name;
        EXPECT_EQ(shown, c.shown) << c.name;
        fs::remove_all(folder);
    }
}

}  // namespace
}  // namespace ph
