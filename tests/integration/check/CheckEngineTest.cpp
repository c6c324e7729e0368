// Checks through the frame, its workers and its completion pass, against the scripted POP3
// server: what a check leaves in the store when the server is fine, stops answering in the
// middle of a listing, or the user aborts.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "FakePop3.h"
#include "ServerProcess.h"
#include "app/CChildFrame.h"
#include "common/Clock.h"
#include "net/Connectivity.h"
#include "retrieval/Pop3Mail.h"
#include "support/OpenDocument.h"

namespace ph {
namespace {

namespace fs = std::filesystem;

struct AlwaysOnline : IConnectivity {
    bool IsOnline() const override { return true; }
    bool Dial() override { return false; }
};

std::string Mail(const std::string& subject) {
    return "From: Sender <sender@example.org>\r\nTo: alice@example.com\r\nSubject: " + subject +
           "\r\nDate: Tue, 05 Mar 2024 17:02:09 +0000\r\n\r\nHello.\r\n";
}

std::map<std::string, std::string> Mails(std::initializer_list<const char*> ids) {
    std::map<std::string, std::string> files;
    for (const char* id : ids) files[id] = Mail(std::string("about ") + id);
    return files;
}

class CheckEngine : public test::OpenDocument {
protected:
    void SetUp() override {
        OpenDocument::SetUp();
        frame = std::make_unique<CChildFrame>(*doc, clock, online);
        frame->OnTimer();  // the first tick after opening
    }
    void TearDown() override {
        frame.reset();
        servers.clear();
        OpenDocument::TearDown();
    }
    // Points the account (made on first use) at a new server.
    CEmailAccount& Serve(const std::string& scenario, const std::map<std::string, std::string>& files, int smtpPort = 25) {
        servers.push_back(std::make_unique<test::FakePop3Server>(
            dir / ("server" + std::to_string(servers.size())), scenario, files));
        CEmailAccount::Settings s = servers.back()->AccountSettings();
        s.outgoingServers = {"127.0.0.1", "", ""};
        s.outgoingPort = smtpPort;
        if (doc->m_accounts.empty())
            doc->AddAccount(s);
        else
            doc->ChangeAccountSettings(*doc->m_accounts[0], s);
        CEmailAccount& account = *doc->m_accounts[0];
        account.AccessAs<Pop3Mail>()->SetTimeouts(test::FakePop3Server::Timeouts());
        return account;
    }
    // Ticks until nothing is busy; `whileChecking` runs on every tick before that.
    void RunToEnd(const std::function<void()>& whileChecking = {}) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (whileChecking) whileChecking();
            frame->OnTimer();
        } while ((frame->AnyAccountBusy() || doc->m_accounts[0]->m_worker) && std::chrono::steady_clock::now() < deadline);
        ASSERT_FALSE(frame->AnyAccountBusy());
    }
    std::map<std::string, bool> OnServerInStore() {
        ReopenStore();
        std::map<std::string, bool> marks;
        for (const auto& m : doc->m_accounts[0]->GetMessages()) marks[m->MsgUniqueID] = m->IsOnServer;
        return marks;
    }

    SystemClock clock;
    AlwaysOnline online;
    std::vector<std::unique_ptr<test::FakePop3Server>> servers;
    std::unique_ptr<CChildFrame> frame;
};

TEST_F(CheckEngine, NewMailIsStoredAndVanishedMailMarked) {
    Serve("normal", Mails({"a1", "a2", "a3"}));
    frame->CheckMail(true, true);
    RunToEnd();
    EXPECT_EQ(doc->m_accounts[0]->GetMsgCount(), 3);
    ASSERT_EQ(doc->m_allMessages.size(), 3u);
    EXPECT_EQ(doc->m_allMessages[0]->Subject, "about a1");

    Serve("normal", Mails({"a1", "a3", "a4"}));
    frame->CheckMail(true, true);
    RunToEnd();
    EXPECT_EQ(frame->StatusRows().at(0).status, "ck'd");
    EXPECT_EQ(OnServerInStore(), (std::map<std::string, bool>{{"a1", true}, {"a2", false}, {"a3", true}, {"a4", true}}));
}

TEST_F(CheckEngine, ListingThatTimesOutKeepsWhatWasOnTheServer) {
    Serve("normal", Mails({"a1", "a2"}));
    frame->CheckMail(true, true);
    RunToEnd();
    Serve("silent-after-stat", Mails({"a1"}));
    frame->CheckMail(true, true);
    RunToEnd();
    EXPECT_EQ(frame->StatusRows().at(0).status, "Try #2 FAILED TO CONNECT");
    EXPECT_EQ(frame->StatusRows().at(0).emails, "");
    EXPECT_EQ(OnServerInStore(), (std::map<std::string, bool>{{"a1", true}, {"a2", true}}));
}

TEST_F(CheckEngine, AbortedCheckLeavesTheMarksAsTheyWere) {
    Serve("normal", Mails({"z1", "z2"}));
    frame->CheckMail(true, true);
    RunToEnd();
    // Slow new mail first and the known messages last: the abort falls before they are seen.
    Serve("split,no-pipelining", Mails({"n1", "n2", "n3", "n4", "z1", "z2"}));
    frame->CheckMail(true, true);
    CEmailAccount& account = *doc->m_accounts[0];
    RunToEnd([&] {
        if (account.GetItemsDone() >= 1) frame->AbortCheck();
    });
    EXPECT_FALSE(doc->m_abortCheckmail) << "cleared once nothing is checking";
    const std::map<std::string, bool> marks = OnServerInStore();
    EXPECT_TRUE(marks.at("z1"));
    EXPECT_TRUE(marks.at("z2"));
    EXPECT_LT(marks.size(), 6u) << "the listing stopped early";
}

std::vector<std::string> Subjects(const std::vector<std::unique_ptr<OutgoingMessage>>& items) {
    std::vector<std::string> subjects;
    for (const auto& item : items) subjects.push_back(item->m_rec.Subject);
    return subjects;
}

TEST_F(CheckEngine, CheckSendsTheOutboxAndKeepsWhatDidNotGoOut) {
    const fs::path spool = dir / "smtp-spool";
    test::ScriptServer smtp(dir / "smtp", {PH_PYTHON, PH_SMTP_SERVER, "--scenario", "real", "--spool", spool.string()});
    CEmailAccount& account = Serve("normal", Mails({"a1"}), smtp.Port());
    OutgoingRecord goes;
    goes.AcctID = account.m_id;
    goes.To = "bob@example.org";
    goes.Subject = "goes out";
    goes.MsgText = "<p>Hello Bob</p>";
    OutgoingRecord stays = goes;
    stays.To = "Bob";  // no address: it cannot be sent
    stays.Subject = "stays";
    ASSERT_TRUE(doc->AddOutgoing(goes, true));
    ASSERT_TRUE(doc->AddOutgoing(stays, true));

    frame->CheckMail(true, true);
    RunToEnd();
    EXPECT_TRUE(fs::exists(spool / "1.eml"));
    EXPECT_EQ(Subjects(doc->m_outbox), std::vector<std::string>{"stays"});
    EXPECT_EQ(Subjects(doc->m_sentItems), std::vector<std::string>{"goes out"});
    EXPECT_FALSE(doc->m_outbox[0]->m_sending) << "what did not go out is tried again by the next check";

    // The next check sends nothing twice.
    frame->CheckMail(true, true);
    RunToEnd();
    EXPECT_FALSE(fs::exists(spool / "2.eml"));

    ReopenStore();
    EXPECT_EQ(Subjects(doc->m_outbox), std::vector<std::string>{"stays"});
    EXPECT_EQ(Subjects(doc->m_sentItems), std::vector<std::string>{"goes out"});
}

}  // namespace
}  // namespace ph
