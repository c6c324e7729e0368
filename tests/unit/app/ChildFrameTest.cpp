// The frame core without servers: scheduling on a hand-moved clock, the offline and busy
// rules of the check command, the status window texts, the completion pass over a check that
// a test finishes by hand, and the delete command.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "app/CChildFrame.h"
#include "app/CheckStatusRows.h"
#include "common/Clock.h"
#include "net/Connectivity.h"
#include "retrieval/Pop3Mail.h"
#include "rules/CMailRule.h"
#include "support/OpenDocument.h"

namespace ph {
namespace {

constexpr uint32_t kMinute = 60000;

class HandClock : public IClock {
public:
    uint32_t TickCount() const override { return m_tick; }
    DateTime Now() const override { return DateTime::FromParts(2024, 3, 5, 12, 0, 0).AddSeconds(m_tick / 1000); }
    void Advance(uint32_t ms) { m_tick += ms; }

private:
    uint32_t m_tick = 1000;
};

class FakeNetwork : public IConnectivity {
public:
    bool online = true;
    bool dialWorks = false;
    int dials = 0;
    bool IsOnline() const override { return online; }
    bool Dial() override {
        ++dials;
        return dialWorks;
    }
};

// A POP3 account on a port nobody listens on: nothing in these tests reaches a server.
CEmailAccount::Settings Pop3(const std::string& name) {
    CEmailAccount::Settings s;
    s.userName = name;
    s.emailName = name + "@example.org";
    s.incomingServer = "127.0.0.1";
    s.incomingPort = 1;
    return s;
}

class ChildFrame : public test::OpenDocument {
protected:
    void SetUp() override {
        OpenDocument::SetUp();
        doc->m_prefs.PutInTray = true;
        doc->m_prefs.ShowStatusOnCheck = true;
        frame = std::make_unique<CChildFrame>(*doc, clock, network);
    }
    void TearDown() override {
        frame.reset();
        OpenDocument::TearDown();
    }
    // An account whose check a test plays by hand: it is not active, so no command takes it.
    CEmailAccount& HandAccount(const std::string& name = "me") {
        CEmailAccount* account = doc->AddAccount(Pop3(name));
        account->m_allowCheckmail = false;
        return *account;
    }
    // A message the account's listing just found.
    static CEmailMessage& Listed(CEmailAccount& account, const std::string& uid, const std::string& subject) {
        CEmailMessage& m = *account.AddMessage(uid);
        m.Subject = subject;
        m.SeenOnServer = m.IsOnServer = true;
        return m;
    }
    static void FinishCheck(CEmailAccount& account, int count) {
        account.AccessAs<Pop3Mail>()->m_msgCount = count;
        account.m_checkFinished = true;
    }
    // Ticks past the first one, which never runs the completion pass.
    void Tick(int times = 1) {
        for (int i = 0; i < times; ++i) {
            clock.Advance(1000);
            frame->OnTimer();
        }
    }

    HandClock clock;
    FakeNetwork network;
    std::unique_ptr<CChildFrame> frame;
};

TEST_F(ChildFrame, AutomaticChecksFollowTheIntervalFromTheLastStart) {
    doc->m_prefs.AutoCheck = true;
    doc->m_prefs.AutoCheckInterval = 5;
    struct Step {
        const char* what;
        uint32_t advance;
        bool listDownload;
        int checksAfter;
    } steps[] = {
        {"just before the interval", 5 * kMinute - 1000, false, 0},
        {"just after it", 2000, false, 1},
        {"counted from the start of the last check", 5 * kMinute, false, 1},
        {"one interval after that start", 2000, false, 2},
        {"not while a list download runs", 6 * kMinute, true, 2},
        {"once it is over", 1000, false, 3},
        {"a sleep of more than three intervals checks nothing at once", 16 * kMinute, false, 3},
        {"but one interval after waking", 5 * kMinute + 1000, false, 4},
    };
    for (const Step& s : steps) {
        clock.Advance(s.advance);
        doc->m_listDownloadRunning = s.listDownload;
        frame->OnTimer();
        EXPECT_EQ(doc->m_checksStarted, s.checksAfter) << s.what;
    }
    EXPECT_TRUE(ui.boxes.empty()) << "automatic checks show no message box";
}

TEST_F(ChildFrame, CountdownAndCheckOnStart) {
    doc->m_prefs.CheckOnStart = true;
    doc->m_prefs.AutoCheck = true;
    doc->m_prefs.AutoCheckInterval = 5;
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_EQ(doc->m_checksStarted, 1) << "exactly one check at start-up";
    EXPECT_FALSE(ui.statusTexts.empty());
    clock.Advance(61000 - 2000);  // 61 s after the check started on the first tick
    frame->OnTimer();
    EXPECT_EQ(ui.statusTexts.back(), "Checking mail in 3 min, 59 sec");
}

TEST_F(ChildFrame, OfflineChecksAskForAConnectionOrDoNothing) {
    struct Case {
        bool dialOnCheck;
        bool interactive;
        std::string box;  // empty: none
        int dials;
    } cases[] = {
        {false, true, "You are not connected to the internet", 0},
        {false, false, "", 0},
        {true, true, "You are not connected to the internet!", 1},
        {true, false, "You are not connected to the internet!", 1},
    };
    network.online = false;
    for (const Case& c : cases) {
        ui.boxes.clear();
        ui.statusTexts.clear();
        network.dials = 0;
        doc->m_prefs.DialOnCheck = c.dialOnCheck;
        frame->CheckMail(true, c.interactive);
        ASSERT_EQ(ui.boxes.size(), c.box.empty() ? 0u : 1u);
        if (!c.box.empty()) {
            EXPECT_EQ(ui.boxes[0].text, c.box);
        }
        EXPECT_EQ(network.dials, c.dials);
        EXPECT_TRUE(ui.statusTexts.empty()) << "nothing was checked";
    }
}

TEST_F(ChildFrame, BusyAccountsAreSkippedWithAWarning) {
    CEmailAccount& first = *doc->AddAccount(Pop3("first"));
    CEmailAccount& second = *doc->AddAccount(Pop3("second"));
    first.m_deleting = true;
    second.m_deleting = true;
    frame->CheckMail(true, true);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "All active accounts were already busy checking for or deleting mail");
    EXPECT_EQ(ui.boxes[0].caption, "WARNING");

    // The other one is checked; its server does not answer.
    ui.boxes.clear();
    second.m_deleting = false;
    frame->CheckMail(true, true);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Some accounts were already busy checking for or deleting mail");
    EXPECT_FALSE(first.m_checkingMail);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (frame->AnyAccountBusy() && first.m_deleting && second.m_worker &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Tick();
    }
    first.m_deleting = false;
    ASSERT_FALSE(frame->AnyAccountBusy());
    const std::vector<CheckStatusRow> rows = frame->StatusRows();
    ASSERT_EQ(rows.size(), 1u);
    // One failed try counts: the row tells which try the next one would be.
    EXPECT_EQ(rows[0].status, "Try #2 FAILED TO CONNECT");
    EXPECT_EQ(ui.statusWindowCloses, 1);
}

TEST_F(ChildFrame, StatusWindowTexts) {
    CEmailAccount& a = HandAccount();
    Pop3Mail& pop = *a.AccessAs<Pop3Mail>();
    struct Case {
        const char* what;
        int count;
        bool checking, deleting, saving;
        int tries, itemsDone, itemsTotal;
        SavingProgress progress;
        CheckStatusRow expected;
    } cases[] = {
        {"not started", kCountNoResult, false, false, false, 0, 0, 0, {}, {"", "-", "100%", ""}},
        {"connecting", kCountNoConnection, true, false, false, 0, 0, 0, {}, {"", "", "0%", "downloading"}},
        {"listing", 40, true, false, false, 0, 10, 40, {}, {"", "40", "25%", "parsing"}},
        {"listing done", 40, true, false, false, 0, 40, 40, {}, {"", "40", "100%", "parsing"}},
        {"second try", kCountNoResult, true, false, false, 1, 0, 0, {}, {"", "-", "0%", "Try #2 downloading"}},
        {"refused", kCountBadPassword, false, false, false, 0, 0, 0, {}, {"", "", "100%", "BAD USER OR PASSWORD"}},
        {"no server", kCountNoConnection, false, false, false, 4, 0, 0, {}, {"", "", "100%", "Try #5 FAILED TO CONNECT"}},
        {"deleting", 3, false, true, false, 0, 0, 0, {}, {"", "3", "0%", "deleting"}},
        {"saving", 0, false, false, true, 0, 0, 0, {1, 4}, {"", "-", "100%", "saving"}},
        {"done", 12, false, false, false, 0, 0, 0, {}, {"", "12", "100%", "ck'd"}},
    };
    for (const Case& c : cases) {
        pop.m_msgCount = c.count;
        a.m_checkingMail = c.checking;
        a.m_deleting = c.deleting;
        a.m_saving = c.saving;
        a.m_tries = c.tries;
        pop.m_itemsDone = c.itemsDone;
        pop.m_itemsTotal = c.itemsTotal;
        CheckStatusRow expected = c.expected;
        expected.account = a.ShownAddress();
        EXPECT_EQ(StatusRowOf(a, c.progress), expected) << c.what;
    }
    a.m_checkingMail = a.m_deleting = a.m_saving = false;
}

TEST_F(ChildFrame, CompletionPassStoresNewMailOnceThroughTheRules) {
    CEmailAccount& a = HandAccount();
    CEmailFolderNode* archive = doc->AddFolder("Archive", kFolderUser, 0);
    auto rule = std::make_unique<CMailRule>();
    rule->m_words[kFieldSubject] = {{"invoice"}, 1, 0};
    rule->CopyFolderId = archive->m_id;
    rule->CopyFolderName = archive->m_name;
    ASSERT_NE(doc->AddRule(std::move(rule)), nullptr);

    Listed(a, "u1", "your invoice");
    Listed(a, "u2", "hello");
    a.AccessAs<Pop3Mail>()->m_msgCount = 2;
    frame->OnTimer();  // the first tick after opening leaves finished checks alone
    FinishCheck(a, 2);
    Tick();
    EXPECT_FALSE(a.m_checkFinished);
    for (const auto& m : a.GetMessages()) EXPECT_GE(m->Slot(), 0) << m->MsgUniqueID;
    EXPECT_EQ(archive->CountFiled(a.GetMessages()[0].get()), 1);
    EXPECT_EQ(archive->CountFiled(a.GetMessages()[1].get()), 0);

    // The next check finds the same two: nothing is stored or filed again.
    FinishCheck(a, 2);
    Tick();
    EXPECT_EQ(archive->CountFiled(a.GetMessages()[0].get()), 1);
    ReopenStore();
    size_t messages = 0;
    for (const auto& account : doc->m_accounts) messages += account->GetMessages().size();
    EXPECT_EQ(messages, 2u);
}

TEST_F(ChildFrame, CompletionPassWritesMarksBackAndRestoresAbortedOnes) {
    CEmailAccount& a = HandAccount();
    for (const char* uid : {"gone", "kept", "aborted"}) Listed(a, uid, uid);
    frame->OnTimer();
    FinishCheck(a, 3);
    Tick();
    ASSERT_EQ(doc->m_allMessages.size(), 3u);

    // Next check: "gone" left the server.
    for (const auto& m : a.GetMessages()) m->WasOnServer = m->IsOnServer;
    a.GetMessages()[0]->IsOnServer = false;
    FinishCheck(a, 2);
    Tick();
    // An aborted check: the change it made goes back.
    for (const auto& m : a.GetMessages()) m->WasOnServer = m->IsOnServer;
    a.GetMessages()[2]->IsOnServer = false;
    doc->m_abortCheckmail = true;
    FinishCheck(a, 1);
    Tick();
    EXPECT_TRUE(a.GetMessages()[2]->IsOnServer);
    EXPECT_FALSE(doc->m_abortCheckmail) << "cleared once nothing is checking";

    ReopenStore();
    std::map<std::string, bool> onServer;
    for (const auto& m : doc->m_accounts[0]->GetMessages()) onServer[m->MsgUniqueID] = m->IsOnServer;
    EXPECT_EQ(onServer, (std::map<std::string, bool>{{"aborted", true}, {"gone", false}, {"kept", true}}));
}

TEST_F(ChildFrame, TraySummaryAfterChecks) {
    CEmailAccount& a = HandAccount();
    frame->OnTimer();
    Listed(a, "u1", "one");
    Listed(a, "u2", "two");
    frame->CheckMail(true, true);  // interactive, no active account: only the bookkeeping
    FinishCheck(a, 2);
    Tick();
    ASSERT_FALSE(ui.trays.empty());
    EXPECT_EQ(ui.trays.back().tooltip, "2 NEW EMAILS");
    EXPECT_EQ(ui.trays.back().icon, IUserInterface::TrayIcon::Normal);

    frame->CheckMail(true, false);  // automatic
    Listed(a, "u3", "three");
    FinishCheck(a, 3);
    Tick();
    EXPECT_EQ(ui.trays.back().tooltip, "YOU HAVE NEW EMAIL");
    EXPECT_EQ(ui.trays.back().icon, IUserInterface::TrayIcon::NewMail);

    frame->CheckMail(true, true);  // the user checks: the new-mail icon goes
    EXPECT_EQ(ui.trays.back().tooltip, "1 NEW EMAILS");
    FinishCheck(a, 3);
    Tick();
    EXPECT_EQ(ui.trays.back().tooltip, "NO NEW EMAIL");
}

TEST_F(ChildFrame, DeleteInAFolderAsksWhetherOnlyFromTheFolder) {
    CEmailAccount& a = HandAccount();
    CEmailFolderNode* folder = doc->AddFolder("Saved", kFolderUser, 0);
    struct Case {
        IUserInterface::Answer answer;
        bool unfiled, marked;
    } cases[] = {
        {IUserInterface::Answer::Cancel, false, false},
        {IUserInterface::Answer::Yes, true, false},
        {IUserInterface::Answer::No, true, true},
    };
    frame->OnTimer();
    int n = 0;
    for (const Case& c : cases) {
        CEmailMessage& m = Listed(a, "u" + std::to_string(++n), "filed");
        FinishCheck(a, n);
        Tick();
        ASSERT_TRUE(doc->FileMessage(m, *folder));
        ui.answers = {c.answer};
        frame->DeleteEmails({CChildFrame::ShownList::Kind::Folder, folder}, {&m});
        EXPECT_EQ(ui.boxes.back().text, "Delete these emails from this folder only?");
        EXPECT_EQ(folder->Holds(&m), !c.unfiled);
        EXPECT_EQ(m.MarkedForDelete, c.marked);
    }
}

TEST_F(ChildFrame, DeleteWithoutAServerCopyRemovesLocallyAndSkipsBusyAccounts) {
    CEmailAccount& a = HandAccount("a");
    CEmailAccount& busy = HandAccount("busy");
    frame->OnTimer();
    CEmailMessage& noId = Listed(a, "", "no unique id");
    CEmailMessage& left = Listed(a, "left", "left the server");
    CEmailMessage& other = Listed(busy, "b1", "busy one");
    FinishCheck(a, 1);
    FinishCheck(busy, 1);
    Tick();
    left.IsOnServer = false;
    doc->SaveMessageFlags(left);
    busy.m_checkingMail = true;

    doc->m_prefs.ShowReallyDelEmail = false;
    frame->DeleteEmails({CChildFrame::ShownList::Kind::AllMail, nullptr}, {&noId, &left, &other});
    EXPECT_EQ(ui.deleteConfirmations, 0);
    EXPECT_FALSE(other.MarkedForDelete) << "a busy account's messages are left alone";
    Tick(2);
    EXPECT_TRUE(a.GetMessages().empty()) << "both went without a server connection";
    EXPECT_EQ(busy.GetMessages().size(), 1u);
    busy.m_checkingMail = false;
    ReopenStore();
    EXPECT_EQ(doc->m_allMessages.size(), 1u);
}

TEST_F(ChildFrame, DeleteConfirmationCanBeTurnedOff) {
    CEmailAccount& a = HandAccount();
    frame->OnTimer();
    CEmailMessage& m = Listed(a, "", "x");
    FinishCheck(a, 1);
    Tick();
    doc->m_prefs.ShowReallyDelEmail = true;
    ui.deleteConfirmed = false;
    frame->DeleteEmails({CChildFrame::ShownList::Kind::Account, nullptr}, {&m});
    EXPECT_FALSE(m.MarkedForDelete);
    ui.deleteConfirmed = true;
    ui.deleteDontAsk = true;
    frame->DeleteEmails({CChildFrame::ShownList::Kind::Account, nullptr}, {&m});
    EXPECT_TRUE(m.MarkedForDelete);
    ReopenStore();
    EXPECT_FALSE(doc->m_prefs.ShowReallyDelEmail);
}

}  // namespace
}  // namespace ph
