// The POP3 client against the suite's private dovecot, plain and over TLS.
#include <gtest/gtest.h>

#include <memory>

#include "DovecotMaildir.h"
#include "NoDocument.h"
#include "model/CEmailAccount.h"
#include "retrieval/Pop3Mail.h"

namespace ph {
namespace {

using test::Env;
using DovecotPop3 = test::OnDovecot;

TEST_P(DovecotPop3, ChecksFetchesAndDeletes) {
    const std::vector<std::string> ids = test::FillMaildir("bob", 5);
    ASSERT_EQ(ids.size(), 5u);
    auto account = Account("bob", "bob-secret");
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
    auto account = Account("bob", "not-the-password");
    EXPECT_FALSE(account->AccessAs<Pop3Mail>()->Login());
    EXPECT_EQ(account->GetMsgCount(), kCountBadPassword);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, DovecotPop3, testing::Values(false, true), test::PlainOrTls);

TEST(DovecotPop3Tls, UntrustedServerIsRefused) {
    if (Env("POP3S_PORT").empty()) GTEST_FAIL() << "POP3S_PORT is not set: run the suite with tools/run-tests";
    unsetenv("SSL_CERT_FILE");  // the system store does not know the test CA
    test::NoDocument context;
    CEmailAccount account(1, test::DovecotAccount("bob", "bob-secret", true), &context);
    Pop3Mail& pop = *account.AccessAs<Pop3Mail>();
    EXPECT_FALSE(pop.Login());
    EXPECT_EQ(account.GetMsgCount(), kCountNoConnection);
    EXPECT_NE(pop.Connection().LastErrorText().find("issuer"), std::string::npos) << pop.Connection().LastErrorText();
}

}  // namespace
}  // namespace ph
