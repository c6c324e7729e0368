// The frame's download side against the scripted POP3 server, over a real store: the download
// command and its attachments, the viewer's text fetch, and the body the rules fetch.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FakePop3.h"
#include "app/CChildFrame.h"
#include "common/Clock.h"
#include "net/Connectivity.h"
#include "retrieval/Pop3Mail.h"
#include "rules/CMailRule.h"
#include "support/Files.h"
#include "support/OpenDocument.h"

namespace ph {
namespace {

namespace fs = std::filesystem;
using Mode = CChildFrame::AttachmentMode;
using Start = CChildFrame::DownloadStart;
using Texts = CChildFrame::TextsResult;

const char kPlain[] =
    "From: Ann Abbott <ann@example.com>\r\n"
    "Subject: Plain one\r\n"
    "Date: Tue, 15 Nov 2005 08:12:31 -0800\r\n"
    "\r\n"
    "Hello in plain text.\r\n";

const char kMixed[] =
    "From: Chiara Costa <chiara@example.net>\r\n"
    "Subject: Report attached\r\n"
    "Date: Thu, 17 Nov 2005 10:30:00 +0100\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"mix-1\"\r\n"
    "\r\n"
    "--mix-1\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n"
    "See the quarterly report.\r\n"
    "--mix-1\r\n"
    "Content-Type: application/octet-stream; name=\"report.bin\"\r\n"
    "Content-Disposition: attachment; filename=\"report.bin\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "AAECAw==\r\n"
    "--mix-1--\r\n";
const std::string kReportBytes("\x00\x01\x02\x03", 4);

// The server's mailbox, unique id -> text.
const std::map<std::string, std::string> kMailbox = {{"a-plain", kPlain}, {"c-mixed", kMixed}};

class StillClock : public IClock {
  public:
    uint32_t TickCount() const override { return 1000; }
    DateTime Now() const override { return DateTime::FromParts(2024, 3, 5, 12, 0, 0); }
};

class Online : public IConnectivity {
  public:
    bool IsOnline() const override { return true; }
    bool Dial() override { return true; }
};

// How a test message stands in the store before the command: its unique id, whether the last
// check still found it on the server, and what the store keeps of it.
struct Stored {
    Stored(std::string id, bool onServer = true, std::string body = {}, std::string plain = {})
        : id(std::move(id)), onServer(onServer), body(std::move(body)), plain(std::move(plain)) {}
    std::string id;
    bool onServer;
    std::string body;  // the whole message, from an earlier full download
    std::string plain;
};

class FrameDownload : public test::OpenDocument {
  protected:
    void SetUp() override {
        OpenDocument::SetUp();
        // Not in the test's own folder: a server's folder is emptied first, and that one holds
        // the store.
        server = std::make_unique<test::FakePop3Server>(dir / "pop3", "normal", kMailbox);
        ASSERT_NE(server->Port(), 0);
        ASSERT_NE(doc->AddAccount(server->AccountSettings()), nullptr);
    }
    void TearDown() override {
        frame.reset();
        OpenDocument::TearDown();
    }

    // Begins a case: stores the message, then starts the program again so that memory holds
    // only what a start loads, with a new frame, no message boxes shown yet and the server's
    // log emptied. Returns the message's store id, empty if it could not be stored.
    std::string StartCase(const Stored& m) {
        EmailRecord r;
        r.MsgUniqueID = m.id;
        r.Subject = "Subject of " + m.id;
        r.IsOnServer = m.onServer;
        r.Header = "Subject: Subject of " + m.id + "\r\n";
        r.Body = m.body;
        r.PlainText = m.plain;
        const CEmailMessage* added = doc->AddStoredMessage(Account(), r);
        const std::string id = added ? added->m_storeId : "";
        Restart();
        Account().AccessAs<Pop3Mail>()->SetTimeouts(test::FakePop3Server::Timeouts());
        frame = std::make_unique<CChildFrame>(*doc, clock, network);
        ui.boxes.clear();
        fs::remove(server->Dir() / "log");
        return id;
    }
    // Ends the program, the frame first, and loads everything again from the store.
    void Restart() {
        frame.reset();
        ReopenStore();
    }
    CEmailAccount& Account() { return *doc->m_accounts.front(); }
    CEmailMessage& Message(const std::string& storeId) { return *doc->FindMessage(storeId); }
    // Ticks until the account's download is taken over, as the timer would.
    void TickUntilDownloaded() {
        while (Account().m_downloading) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            frame->OnTimer();
        }
    }
    // Whether the server was asked for a whole message since the case began.
    bool Fetched() const { return server->Log().find("RETR") != std::string::npos; }
    std::vector<std::string> Captions() const {
        std::vector<std::string> captions;
        for (const auto& box : ui.boxes) captions.push_back(box.caption + ": " + box.text);
        return captions;
    }

    std::unique_ptr<test::FakePop3Server> server;
    StillClock clock;
    Online network;
    std::unique_ptr<CChildFrame> frame;
};

TEST_F(FrameDownload, CommandsShowOrSaveTheAttachments) {
    const struct {
        const char* name;
        Stored stored;
        bool busy;
        Mode mode;
        bool viewer;  // the front end offers a viewer
        Start start;
        std::vector<std::string> boxes;
        bool fetched;                      // the server was asked for the message
        std::vector<std::string> written;  // files in the chosen (or the viewer's) folder
        bool bodyStored;                   // afterwards
    } cases[] = {
        // clang-format off
        {"busy account", {"c-mixed"}, true, Mode::Save, false, Start::Refused,
         {"BUSY: Not finished previous delete or check mail yet!"}, false, {}, false},
        {"gone from the server, never downloaded", {"c-mixed", false}, false, Mode::Save, false, Start::Refused,
         {"SORRY: Message is no longer on server and attachments were not downloaded!"}, false, {}, false},
        {"gone from the server, body stored", {"c-mixed", false, kMixed}, false, Mode::Save, false,
         Start::DoneAtOnce, {}, false, {"report.bin"}, true},
        {"on the server, saved", {"c-mixed"}, false, Mode::Save, false, Start::Started, {}, true,
         {"report.bin"}, true},
        {"on the server, shown", {"c-mixed"}, false, Mode::Show, true, Start::Started, {}, true,
         {"report.bin"}, true},
        {"nothing attached", {"a-plain"}, false, Mode::Show, true, Start::Started,
         {"ERROR: Could not find attached files"}, true, {}, true},
        {"no viewer to show them", {"c-mixed", true, kMixed}, false, Mode::Show, false, Start::DoneAtOnce,
         {"ERROR: Could not get attached files"}, false, {}, true},
        {"listed, but not found on the server", {"z-gone"}, false, Mode::Show, true, Start::Started,
         {"ERROR: Could not get attached files"}, false, {}, false},
        // clang-format on
    };
    for (const auto& c : cases) {
        const std::string id = StartCase(c.stored);
        ASSERT_FALSE(id.empty()) << c.name;
        const fs::path folder = dir / "attachments" / c.name;
        fs::create_directories(folder);
        std::vector<std::string> opened;
        if (c.viewer)
            frame->SetAttachmentViewer(folder.string(),
                                       [&](const std::string& f) { opened.push_back(f); });
        Account().m_deleting = c.busy;

        EXPECT_EQ(frame->DownloadMessage(Message(id), false, c.mode, folder.string()), c.start)
            << c.name;
        TickUntilDownloaded();
        Account().m_deleting = false;

        EXPECT_EQ(Captions(), c.boxes) << c.name;
        EXPECT_EQ(Fetched(), c.fetched) << c.name << "\n" << server->Log();
        std::vector<std::string> written;
        for (const auto& entry : fs::directory_iterator(folder))
            written.push_back(entry.path().filename().string());
        EXPECT_EQ(written, c.written) << c.name;
        for (const std::string& file : written)
            EXPECT_EQ(test::ReadFile(folder / file), kReportBytes) << c.name;
        const std::vector<std::string> openedWanted =
            c.viewer && !c.written.empty() ? std::vector<std::string>{folder.string()}
                                           : std::vector<std::string>{};
        EXPECT_EQ(opened, openedWanted) << c.name;
        EXPECT_EQ(frame->LastDownload().attachmentsWritten, static_cast<int>(c.written.size()))
            << c.name;
        // Whether the download brought the message or not, its raw header is at hand (a failed
        // one leaves the stored texts as they were), and what it brought is in the store.
        if (c.start == Start::Started) {
            EXPECT_NE(Message(id).Header.find("Subject: "), std::string::npos) << c.name;
        }
        Restart();
        CEmailMessage& after = Message(id);
        EXPECT_EQ(after.m_bodyCached, c.bodyStored) << c.name;
        ASSERT_TRUE(doc->FetchMessageTexts(after));
        EXPECT_NE(after.Header.find("Subject"), std::string::npos) << c.name;
        EXPECT_FALSE(Account().m_downloading || Account().m_downloadFinished) << c.name;
        doc->RemoveMessage(after);
    }
}

TEST_F(FrameDownload, ViewerFetchesTextsOnlyWhenNoneAreStored) {
    const struct {
        const char* name;
        Stored stored;
        bool busy;
        Texts result;
        const char* plain;  // in memory afterwards
        bool fetched;
        bool readLocally;
    } cases[] = {
        // clang-format off
        {"stored text", {"a-plain", true, "", "Kept text."}, false, Texts::Cached, "Kept text.", false, false},
        {"stored, gone from the server", {"a-plain", false, "", "Kept text."}, false, Texts::Cached, "Kept text.",
         false, false},
        {"only the server has it", {"a-plain"}, false, Texts::Fetched, "Hello in plain text.", true, true},
        {"text before the attachment", {"c-mixed"}, false, Texts::Fetched, "See the quarterly report.", true, true},
        {"gone from the server", {"a-plain", false}, false, Texts::NotOnServer, "", false, false},
        {"account busy", {"a-plain"}, true, Texts::Busy, "", false, false},
        {"not found on the server", {"z-gone"}, false, Texts::NotFetched, "", false, false},
        // clang-format on
    };
    for (const auto& c : cases) {
        const std::string id = StartCase(c.stored);
        Account().m_checkingMail = c.busy;

        EXPECT_EQ(frame->FetchViewerTexts(Message(id)), c.result) << c.name;
        Account().m_checkingMail = false;

        EXPECT_NE(Message(id).PlainText.find(c.plain), std::string::npos) << c.name;
        EXPECT_EQ(Message(id).PlainText.empty(), *c.plain == 0) << c.name;
        EXPECT_EQ(Fetched(), c.fetched) << c.name;
        // A fetched text is stored: the next start shows it without the server.
        Restart();
        CEmailMessage& after = Message(id);
        EXPECT_EQ(after.IsReadLocally, c.readLocally) << c.name;
        ASSERT_TRUE(doc->FetchMessageTexts(after));
        EXPECT_NE(after.PlainText.find(c.plain), std::string::npos) << c.name;
        doc->RemoveMessage(after);
    }
}

TEST_F(FrameDownload, RulesReadBodiesThatOnlyTheServerHas) {
    const struct {
        const char* name;
        Stored stored;
        bool downloading;
        bool filed;
        bool fetched;
    } cases[] = {
        {"body on the server", {"c-mixed"}, false, true, true},
        {"body stored", {"a-plain", true, "", "the quarterly report"}, false, true, false},
        {"body on the server, other words", {"a-plain"}, false, false, true},
        {"gone from the server", {"c-mixed", false}, false, false, false},
        {"a download has the account", {"c-mixed"}, true, false, false},
    };
    for (const auto& c : cases) {
        const std::string id = StartCase(c.stored);
        CEmailFolderNode* folder = doc->AddFolder(std::string("Reports ") + c.name, kFolderUser, 0);
        ASSERT_NE(folder, nullptr);
        auto rule = std::make_unique<CMailRule>();
        rule->Name = c.name;
        rule->m_words[kFieldMessage].words = {"quarterly report"};
        rule->CopyFolderId = folder->m_id;
        rule->CopyFolderName = folder->m_name;
        CMailRule* added = doc->AddRule(std::move(rule));
        ASSERT_NE(added, nullptr);
        Account().m_downloading = c.downloading;

        {
            // As the completion pass runs them: in this thread, the account's lock held.
            std::lock_guard<std::recursive_mutex> hold(Account().Mutex());
            doc->ApplyRule(*added, Message(id), &Account());
        }
        Account().m_downloading = false;

        EXPECT_EQ(folder->Holds(&Message(id)), c.filed) << c.name;
        EXPECT_EQ(Fetched(), c.fetched) << c.name;
        doc->DeleteRule(*added);
        doc->RemoveMessage(Message(id));
    }
}

}  // namespace
}  // namespace ph
