// The POP3 client against a scripted server that misbehaves on purpose.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakePop3.h"
#include "model/CEmailAccount.h"
#include "retrieval/Pop3Mail.h"

namespace ph {
namespace {

using test::FakePop3;

TEST(Pop3Client, ListsFetchesAndDeletesWhateverTheLineEndsAndPieces) {
    for (const char* scenario : {"normal", "split", "lfcr", "barelf"}) {
        FakePop3 server(scenario);
        ASSERT_GT(server.Port(), 0) << scenario;
        Pop3Mail& pop = server.Pop();
        ASSERT_TRUE(pop.Login()) << scenario;
        ASSERT_TRUE(pop.GetAllHeaders()) << scenario;
        const MessageList& messages = pop.m_messages;
        ASSERT_EQ(messages.size(), 3u) << scenario;
        EXPECT_EQ(messages[1]->Subject, "Test message 2") << scenario;
        EXPECT_EQ(messages[1]->MsgUniqueID, "fake-uid-0002") << scenario;
        EXPECT_EQ(messages[1]->MsgNumber, "2") << scenario;
        EXPECT_EQ(server.Account().m_newMsgCount, 3) << scenario;
        EXPECT_EQ(pop.m_msgCount, 3) << scenario;

        ASSERT_TRUE(pop.GetMsg("3", *messages[2])) << scenario;
        EXPECT_NE(messages[2]->Body.find("This is message 3."), std::string::npos) << scenario;
        EXPECT_TRUE(pop.Dele("3")) << scenario;
        EXPECT_TRUE(pop.Disconnect()) << scenario;

        EXPECT_EQ(server.Log(),
                  "USER alice\r\nPASS ****\r\nSTAT\r\nSTAT\r\nLIST\r\nUIDL\r\nCAPA\r\n"
                  "TOP 1 0\r\nNOOP\r\nNOOP\r\nTOP 2 0\r\nNOOP\r\nNOOP\r\nTOP 3 0\r\nNOOP\r\nNOOP\r\n"
                  "RETR 3\r\nDELE 3\r\nQUIT\r\n")
            << scenario;
    }
}

TEST(Pop3Client, LoginFailuresLeaveTheOutcomeTheCheckShows) {
    const struct {
        const char* scenario;
        int count;
    } cases[] = {
        {"refuse-user", kCountBadPassword},
        {"refuse-pass", kCountBadPassword},
        {"silent-greeting", kCountNoConnection},
        {"silent-after-user", kCountNoConnection},
    };
    for (const auto& c : cases) {
        FakePop3 server(c.scenario);
        EXPECT_FALSE(server.Pop().Login()) << c.scenario;
        EXPECT_EQ(server.Pop().m_msgCount, c.count) << c.scenario;
        EXPECT_FALSE(server.Pop().Connection().IsConnected()) << c.scenario;
    }
    // Nobody listening at all.
    FakePop3 server("normal");
    CEmailAccount::Settings s = server.Account().CurrentSettings();
    s.incomingServer = "127.0.0.1";
    s.incomingPort = 1;
    CEmailAccount nowhere(2, s, &server.Context());
    EXPECT_FALSE(nowhere.AccessAs<Pop3Mail>()->Login());
    EXPECT_EQ(nowhere.GetMsgCount(), kCountNoConnection);
}

TEST(Pop3Client, ListingQuirks) {
    {  // No UIDL: the check fails.
        FakePop3 server("no-uidl");
        ASSERT_TRUE(server.Pop().Login());
        EXPECT_FALSE(server.Pop().GetAllHeaders());
    }
    {  // A line without an id: that message is left out this time.
        FakePop3 server("uidl-missing-id");
        ASSERT_TRUE(server.Pop().Login());
        EXPECT_TRUE(server.Pop().GetAllHeaders());
        EXPECT_EQ(server.Pop().m_messages.size(), 2u);
    }
    {  // Two numbers with one id: one message, matched again by the second number.
        FakePop3 server("duplicate-ids");
        ASSERT_TRUE(server.Pop().Login());
        EXPECT_TRUE(server.Pop().GetAllHeaders());
        ASSERT_EQ(server.Pop().m_messages.size(), 2u);
        EXPECT_EQ(server.Pop().m_messages[0]->MsgNumber, "2");
        EXPECT_TRUE(server.Pop().m_messages[0]->SeenOnServer);
    }
    {  // An empty mailbox lists fine.
        FakePop3 server("normal", "0");
        ASSERT_TRUE(server.Pop().Login());
        EXPECT_TRUE(server.Pop().GetAllHeaders());
        EXPECT_TRUE(server.Pop().m_messages.empty());
        EXPECT_EQ(server.Pop().m_msgCount, 0);
    }
}

TEST(Pop3Client, ServerThatGoesQuietAfterTopIsLoggedIntoAgain) {
    FakePop3 server("no-noop-after-top");
    ASSERT_TRUE(server.Pop().Login());
    EXPECT_TRUE(server.Pop().GetAllHeaders());
    EXPECT_EQ(server.Pop().m_messages.size(), 3u);
    const std::string log = server.Log();
    size_t logins = 0;
    for (size_t at = log.find("USER alice"); at != std::string::npos; at = log.find("USER alice", at + 1)) ++logins;
    EXPECT_GE(logins, 2u) << log;
    for (const auto& m : server.Pop().m_messages) EXPECT_FALSE(m->Subject.empty());
}

TEST(Pop3Client, KnownMessagesAreMatchedNotFetchedAndFoundAgainByNumber) {
    FakePop3 server("normal");
    Pop3Mail& pop = server.Pop();
    CEmailMessage* known = server.Account().AddMessage("fake-uid-0002");
    known->MsgSize = 1;  // a size that matches no listing entry: the second pass finds it
    ASSERT_TRUE(pop.Login());
    ASSERT_TRUE(pop.GetAllHeaders());
    EXPECT_EQ(pop.m_messages.size(), 3u);
    EXPECT_EQ(known->MsgNumber, "2");
    EXPECT_TRUE(known->SeenOnServer);
    EXPECT_EQ(server.Log().find("TOP 2 0"), std::string::npos);
    known->MsgNumber.clear();
    EXPECT_TRUE(pop.FindMsgNumber(*known));
    EXPECT_EQ(known->MsgNumber, "2");

    // Streaming download: the text arrives and the connection is gone afterwards.
    ASSERT_TRUE(pop.GetMsgText("1", *pop.m_messages[1]));
    EXPECT_NE(pop.m_messages[1]->PlainText.find(".A line starting with a dot"), std::string::npos);
    EXPECT_FALSE(pop.Connection().IsConnected());
    EXPECT_FALSE(pop.Noop());
}

// What a listing leaves that the check, the user or the next operation sees.
struct ListingOutcome {
    bool listed = false;
    int msgCount = 0;
    int newMessages = 0;
    std::vector<std::string> messages;
    std::string bodyAfter;  // a whole message fetched on the same connection afterwards
    bool disconnected = false;
    bool operator==(const ListingOutcome&) const = default;
};

ListingOutcome Listing(FakePop3& server, int window, const std::string& knownId, int abortAtReading) {
    Pop3Mail& pop = server.Pop();
    pop.SetPipelineWindow(window);
    if (!knownId.empty()) server.Account().AddMessage(knownId);
    server.Context().abortAtReading = abortAtReading;
    ListingOutcome o;
    EXPECT_TRUE(pop.Login());
    o.listed = pop.GetAllHeaders();
    o.msgCount = pop.m_msgCount;
    o.newMessages = server.Account().m_newMsgCount;
    for (const auto& m : pop.m_messages)
        o.messages.push_back(m->MsgNumber + "|" + m->MsgUniqueID + "|" + std::to_string(m->MsgSize) + "|" +
                             (m->SeenOnServer ? "seen|" : "|") + m->Subject + "|" + m->Header);
    CEmailMessage whole(&server.Account());
    if (pop.GetMsg("1", whole)) o.bodyAfter = whole.Body;
    o.disconnected = pop.Disconnect();
    return o;
}

// The serial exchange is the reference: the same server without PIPELINING in its CAPA reply
// must leave exactly what the pipelined exchange leaves, whatever the server's quirks.
TEST(Pop3Client, PipelinedListingLeavesWhatTheSerialOneLeaves) {
    const struct {
        const char* scenario;
        const char* messages;
        int window;
        const char* knownId;  // a message the account has already, or ""
        int abortAtReading;   // 0: no abort
        bool pipelines;       // the server announces PIPELINING
        bool sameCommands;    // the server sees the serial commands in their order
    } cases[] = {
        {"normal", "7", 3, "", 0, true, true},
        {"normal", "7", 3, "fake-uid-0003", 0, true, true},
        {"normal", "7", 3, "", 4, true, false},  // aborted with a window's replies unread
        {"split", "4", 2, "", 0, true, true},
        {"lfcr", "5", 2, "fake-uid-0002", 0, true, true},
        {"barelf", "5", 2, "", 0, true, true},
        {"duplicate-ids", "3", 2, "", 0, true, true},
        {"uidl-missing-id", "3", 2, "", 0, true, true},
        {"no-noop-after-top", "3", 2, "", 0, true, false},  // replies left out: out of step
        {"no-noop-after-top", "3", 1, "", 0, true, false},  // the probe times out in a window
        {"refuse-top", "1", 2, "", 0, true, false},         // a one-line refusal in a window
        {"no-capa", "3", 2, "", 0, false, true},
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.scenario) + " known:" + c.knownId + " abort:" + std::to_string(c.abortAtReading);
        FakePop3 serialServer(std::string(c.scenario) + ",no-pipelining", c.messages);
        FakePop3 pipelinedServer(c.scenario, c.messages);
        const ListingOutcome serial = Listing(serialServer, c.window, c.knownId, c.abortAtReading);
        const ListingOutcome pipelined = Listing(pipelinedServer, c.window, c.knownId, c.abortAtReading);
        EXPECT_EQ(serial, pipelined) << what;
        EXPECT_FALSE(serial.messages.empty()) << what;
        EXPECT_NE(serial.bodyAfter, "") << what;
        EXPECT_EQ(serialServer.AheadLog(), "") << what;
        EXPECT_EQ(pipelinedServer.AheadLog() != "", c.pipelines) << what;
        if (c.sameCommands) {
            EXPECT_EQ(serialServer.Log(), pipelinedServer.Log()) << what;
        }
    }
}

TEST(Pop3Client, AbortStopsTheListingBetweenMessages) {
    FakePop3 server("normal");
    ASSERT_TRUE(server.Pop().Login());
    server.Context().abort = true;
    // Nothing more is asked of the server once the user aborted; what was done stands.
    EXPECT_TRUE(server.Pop().GetAllHeaders());
    EXPECT_TRUE(server.Pop().m_messages.empty());
    EXPECT_EQ(server.Log().find("UIDL"), std::string::npos);
}

}  // namespace
}  // namespace ph
