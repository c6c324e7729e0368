#include "model/CEmailAccount.h"

#include <gtest/gtest.h>

#include "model/IMailContext.h"
#include "retrieval/Pop3Mail.h"
#include "webmail/YahooMail.h"

namespace ph {
namespace {

struct DeletedRecords : IMailContext {
    std::vector<std::string> deleted;
    bool DeleteMessageRecord(CEmailMessage& m) override {
        deleted.push_back(m.m_storeId);
        return true;
    }
    bool AbortCheckmail() const override { return false; }
};

CEmailAccount::Settings Pop3(const std::string& server) {
    CEmailAccount::Settings s;
    s.userName = "bob";
    s.emailName = "bob@example.org";
    s.incomingServer = server;
    s.type = kTypePop3;
    return s;
}

TEST(Account, TypeNameAndShownAddressFollowTheKind) {
    struct Case {
        int type;
        std::string server;
        bool isDefault;
        std::string typeName;
        std::string shown;
    } cases[] = {
        {kTypePop3, "mail.example.org", false, "example.org", "bob@example.org"},
        {kTypePop3, "pop.mail.example.org", false, "pop.mail.example.org", "bob@example.org"},
        {kTypePop3, "example.org", true, "example.org (default)", "bob@example.org"},
        {kTypeYahoo, "", false, "Yahoo", "bob@yahoo.com"},
        {kTypeHttp, "", false, "Hotmail", "bob@hotmail.com"},
        {kTypeGmail, "", false, "Gmail", "bob@gmail.com"},
        {kTypeAol, "", false, "AOL", "bob@aol.com"},
        {kTypeKm, "", false, "Kinmeet", "bob"},
        {kTypePH, "", false, "Postharbour", "member@postharbour.mail"},
        {kTypeOe, "", false, "OutlookExpress", "OutlookExpress"},
        {kTypeMapi, "", false, "LocalAccount", "LocalAccount"},
        {kTypeNone, "", false, "", ""},
    };
    for (const Case& c : cases) {
        CEmailAccount::Settings s = Pop3(c.server);
        s.type = c.type;
        CEmailAccount account(1, s, nullptr);
        account.m_isDefault = c.isDefault;
        EXPECT_EQ(account.GetTypeName(), c.typeName) << c.type;
        EXPECT_EQ(account.ShownAddress(), c.shown) << c.type;
    }
}

TEST(Account, WithoutAccessObjectEveryQueryGivesItsDefault) {
    CEmailAccount::Settings s = Pop3("x");
    s.type = kTypeNone;
    CEmailAccount account(1, s, nullptr);
    EXPECT_FALSE(account.HasAccess());
    EXPECT_EQ(account.GetMsgCount(), 0);
    EXPECT_EQ(account.GetItemsDone(), 0);
    EXPECT_EQ(account.GetItemsTotal(), 0);
    EXPECT_EQ(account.GetBytesReceived(), 0);
    EXPECT_EQ(account.AddMessage("uid-00001"), nullptr);
    EXPECT_TRUE(account.GetMessages().empty());
    account.ResetItemsDone();
}

TEST(Account, DispatchReachesTheAccessObjectOfItsKind) {
    CEmailAccount pop3(1, Pop3("mail.example.org"), nullptr);
    ASSERT_NE(pop3.AccessAs<Pop3Mail>(), nullptr);
    EXPECT_EQ(pop3.AccessAs<YahooMail>(), nullptr);
    EXPECT_EQ(pop3.GetMsgCount(), kCountNoResult);  // no check has run yet
    pop3.AccessAs<Pop3Mail>()->m_msgCount = 7;
    EXPECT_EQ(pop3.GetMsgCount(), 7);
    EXPECT_EQ(pop3.GetBytesReceived(), 0);
    EXPECT_EQ(pop3.AccessAs<Pop3Mail>()->m_servers.incoming, "mail.example.org");
}

TEST(Account, MessagesKeepTheirServerIdFromFiveCharacters) {
    CEmailAccount pop3(1, Pop3("x"), nullptr);
    EXPECT_EQ(pop3.AddMessage("1234")->m_serverId, "");
    EXPECT_EQ(pop3.AddMessage("12345")->m_serverId, "12345");
    CEmailAccount::Settings s = Pop3("x");
    s.type = kTypePH;
    CEmailAccount ph(2, s, nullptr);
    EXPECT_EQ(ph.AddMessage("1")->m_serverId, "1");
    EXPECT_EQ(pop3.GetMessages().size(), 2u);
}

TEST(Account, HiddenCountAndClearingDeleteStoredRecordsOnly) {
    DeletedRecords context;
    CEmailAccount account(1, Pop3("x"), &context);
    for (int i = 0; i < 4; ++i) {
        CEmailMessage* m = account.AddMessage("uid" + std::to_string(i));
        m->IsHidden = i % 2 == 0;
        m->m_keptInStore = i < 3;
        m->m_storeId = std::to_string(10 + i);
    }
    EXPECT_EQ(account.CountHidden(), 2);
    EXPECT_TRUE(account.HasMessage("12"));
    EXPECT_FALSE(account.HasMessage("99"));
    account.ClearMessages();
    EXPECT_EQ(context.deleted, (std::vector<std::string>{"10", "11", "12"}));
    EXPECT_TRUE(account.GetMessages().empty());
}

TEST(Account, StartCheckOnlyAsksAgainWhileBusy) {
    struct Case {
        int type;
        bool checking, deleting, hotmailWindow;
        CEmailAccount::StartCheckResult expected;
        bool checkingAfter, askedAgain;
    } cases[] = {
        {kTypePop3, false, false, false, CEmailAccount::StartCheckResult::RunInWorker, true, false},
        {kTypePop3, true, false, false, CEmailAccount::StartCheckResult::AskedAgainBusyChecking, true, true},
        {kTypePop3, false, true, false, CEmailAccount::StartCheckResult::AskedAgainBusyOtherJob, false, true},
        {kTypeGmail, false, false, false, CEmailAccount::StartCheckResult::RunInInterfaceThread, true, false},
        // A checking mark on a Hotmail account without its window is stale.
        {kTypeHttp, true, false, false, CEmailAccount::StartCheckResult::RunInInterfaceThread, true, false},
        {kTypeHttp, true, false, true, CEmailAccount::StartCheckResult::AskedAgainBusyChecking, true, true},
    };
    for (const Case& c : cases) {
        CEmailAccount::Settings s = Pop3("x");
        s.type = c.type;
        CEmailAccount account(1, s, nullptr);
        account.m_checkingMail = c.checking;
        account.m_deleting = c.deleting;
        EXPECT_EQ(account.StartCheck(c.hotmailWindow), c.expected) << c.type;
        EXPECT_EQ(account.m_checkingMail, c.checkingAfter) << c.type;
        EXPECT_EQ(account.m_checkAgain, c.askedAgain) << c.type;
    }
}

TEST(AccountRecord, LoadingCorrectsWhatTheStoreHolds) {
    struct Case {
        const char* name;
        int storedType;
        bool allow, disabled;
        int firstWidth, thirdWidth;
        int type;
        bool allowAfter, disabledAfter, isDefault;
        int firstWidthAfter, thirdWidthAfter;
    } cases[] = {
        {"plain", 2, true, false, 50, 130, 2, true, false, false, 50, 130},
        {"default account", 1002, true, false, 50, 130, 2, true, false, true, 50, 130},
        {"switched off cannot be checked", 2, true, true, 50, 130, 2, false, true, false, 50, 130},
        {"own web mail always on", 98, false, true, 50, 130, 98, true, false, false, 50, 130},
        {"a bad width falls back alone", 2, true, false, 50, 5000, 2, true, false, false, 50, 130},
        {"a bad first width resets all", 2, true, false, -3, 77, 2, true, false, false, 40, 130},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AccountRecord r;
        r.EmailName = "bob@example.org";
        r.AccountType = c.storedType;
        r.allowCheckmail = c.allow;
        r.forceDisabled = c.disabled;
        r.EmailGrid_StatusW = c.firstWidth;
        r.EmailGrid_ToW = c.thirdWidth;
        std::string defaultAddress;
        auto account = AccountFromRecord(5, r, nullptr, defaultAddress);
        EXPECT_EQ(account->m_type, c.type);
        EXPECT_EQ(account->m_allowCheckmail, c.allowAfter);
        EXPECT_EQ(account->m_forceDisabled, c.disabledAfter);
        EXPECT_EQ(defaultAddress, c.isDefault ? "bob@example.org" : "");
        EXPECT_EQ(account->m_emailGridWidths[0], c.firstWidthAfter);
        EXPECT_EQ(account->m_emailGridWidths[2], c.thirdWidthAfter);
        account->m_isDefault = c.isDefault;
        EXPECT_EQ(RecordFromAccount(*account).AccountType, c.storedType >= 1000 ? c.storedType : c.type);
    }
}

}  // namespace
}  // namespace ph
