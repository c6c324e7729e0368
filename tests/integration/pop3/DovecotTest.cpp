// The POP3 client against the suite's private dovecot, plain and over TLS.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "DovecotMaildir.h"
#include "model/CEmailAccount.h"
#include "model/IMailContext.h"
#include "retrieval/Pop3Mail.h"

namespace ph {
namespace {

struct NoDocument : IMailContext {
    bool DeleteMessageRecord(CEmailMessage&) override { return true; }
    bool AbortCheckmail() const override { return false; }
};

using test::Env;

class DovecotPop3 : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (Env("POP3_PORT").empty()) GTEST_FAIL() << "POP3_PORT is not set: run the suite with tools/run-tests";
        // The test CA stands in for the system store, which the client reads through this.
        setenv("SSL_CERT_FILE", Env("TEST_CA").c_str(), 1);
    }
    std::unique_ptr<CEmailAccount> Account(const std::string& password = "bob-secret") {
        CEmailAccount::Settings s;
        s.userName = "bob";
        s.password = password;
        s.emailName = "bob@example.org";
        s.incomingServer = GetParam() ? "localhost" : Env("POP3_HOST");
        s.incomingPort = std::atoi(Env(GetParam() ? "POP3S_PORT" : "POP3_PORT").c_str());
        s.useSSL = GetParam();
        s.type = kTypePop3;
        return std::make_unique<CEmailAccount>(1, s, &m_context);
    }
    NoDocument m_context;
};

TEST_P(DovecotPop3, ChecksFetchesAndDeletes) {
    const std::vector<std::string> ids = test::FillMaildir("bob", 5);
    ASSERT_EQ(ids.size(), 5u);
    auto account = Account();
    Pop3Mail& pop = *account->AccessAs<Pop3Mail>();
    ASSERT_TRUE(pop.Login()) << pop.Connection().LastErrorText();
    ASSERT_TRUE(pop.GetAllHeaders());
    ASSERT_EQ(pop.m_messages.size(), 5u);
    for (size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(pop.m_messages[i]->MsgUniqueID, ids[i]);
        EXPECT_FALSE(pop.m_messages[i]->Subject.empty()) << i;
        EXPECT_GT(pop.m_messages[i]->MsgSize, 0) << i;
    }
    CEmailMessage& first = *pop.m_messages[0];
    ASSERT_TRUE(pop.GetMsg("1", first));
    EXPECT_NE(first.Body.find("Subject:"), std::string::npos);
    EXPECT_GE(first.Body.size() + 16, static_cast<size_t>(first.MsgSize));
    ASSERT_TRUE(pop.GetMsgText("2", *pop.m_messages[1]));
    EXPECT_FALSE(pop.m_messages[1]->PlainText.empty() && pop.m_messages[1]->HtmlText.empty());
    EXPECT_FALSE(pop.Connection().IsConnected());

    // A second check finds the same messages without fetching them again; then one goes.
    ASSERT_TRUE(pop.Login());
    ASSERT_TRUE(pop.GetAllHeaders());
    EXPECT_EQ(pop.m_messages.size(), 5u);
    EXPECT_EQ(account->m_newMsgCount, 5);
    CEmailMessage& third = *pop.m_messages[2];
    ASSERT_TRUE(pop.FindMsgNumber(third));
    EXPECT_TRUE(pop.Dele(third.MsgNumber));
    EXPECT_TRUE(pop.Disconnect());

    ASSERT_TRUE(pop.Login());
    int count = 0, size = 0;
    ASSERT_TRUE(pop.Stat(count, size));
    EXPECT_EQ(count, 4);
    EXPECT_TRUE(pop.Disconnect());
}

TEST_P(DovecotPop3, WrongPasswordIsTold) {
    auto account = Account("not-the-password");
    EXPECT_FALSE(account->AccessAs<Pop3Mail>()->Login());
    EXPECT_EQ(account->GetMsgCount(), kCountBadPassword);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, DovecotPop3, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

TEST(DovecotPop3Tls, UntrustedServerIsRefused) {
    if (Env("POP3S_PORT").empty()) GTEST_FAIL() << "POP3S_PORT is not set: run the suite with tools/run-tests";
    unsetenv("SSL_CERT_FILE");  // the system store does not know the test CA
    NoDocument context;
    CEmailAccount::Settings s;
    s.userName = "bob";
    s.password = "bob-secret";
    s.emailName = "bob@example.org";
    s.incomingServer = "localhost";
    s.incomingPort = std::atoi(Env("POP3S_PORT").c_str());
    s.useSSL = true;
    s.type = kTypePop3;
    CEmailAccount account(1, s, &context);
    Pop3Mail& pop = *account.AccessAs<Pop3Mail>();
    EXPECT_FALSE(pop.Login());
    EXPECT_EQ(account.GetMsgCount(), kCountNoConnection);
    EXPECT_NE(pop.Connection().LastErrorText().find("issuer"), std::string::npos) << pop.Connection().LastErrorText();
}

}  // namespace
}  // namespace ph
