// Deleting queued messages on a scripted server: which numbers go, what stays, and what the
// account is left with for the frame's delete-finished pass.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "FakePop3.h"
#include "Pop3Jobs.h"
#include "model/CEmailAccount.h"
#include "retrieval/CDeleteAccountMsgsThread.h"
#include "retrieval/Pop3Mail.h"

namespace ph {
namespace {

using test::FakePop3;

// The message numbers of the DELE commands in a command log, in order.
std::vector<std::string> Deleted(const std::string& log) {
    std::vector<std::string> numbers;
    for (size_t at = log.find("DELE "); at != std::string::npos; at = log.find("DELE ", at + 1))
        numbers.push_back(log.substr(at + 5, log.find('\r', at) - at - 5));
    return numbers;
}

// Runs the account's server delete to its end; false when no worker was started.
bool DeleteAndWait(CEmailAccount& account, std::atomic<int>& deleted) {
    std::unique_ptr<CDeleteAccountMsgsThread> worker = DeleteMsgsFromServer(account, deleted);
    if (!worker) return false;
    test::WaitLikeTheFrame(*worker, account);
    return true;
}

TEST(ServerDelete, DeletesByUniqueIdElseByHeaderFields) {
    struct Queued {
        const char* id;
        int fieldsOf;  // the listed message whose header fields it carries; 0: none
    };
    const struct {
        const char* name;
        std::vector<Queued> queued;
        std::vector<std::string> deleted;
        std::vector<int> remaining;  // the generated messages left on the server
        const char* transcript;      // what the delete says to the server; null: not checked
    } cases[] = {
        // clang-format off
        {"ids still listed", {{"fake-uid-0002", 0}, {"fake-uid-0004", 0}}, {"2", "4"}, {1, 3, 5},
         "USER alice\r\nPASS ****\r\nSTAT\r\nLIST\r\nUIDL\r\nDELE 2\r\nDELE 4\r\nQUIT\r\n"
         "USER alice\r\nPASS ****\r\nSTAT\r\nLIST\r\nUIDL\r\nQUIT\r\n"},
        {"id gone, header fields listed", {{"renamed-3", 3}}, {"3"}, {1, 2, 4, 5}, nullptr},
        {"no id, header fields listed", {{"", 5}}, {"5"}, {1, 2, 3, 4}, nullptr},
        {"one found by id: no fallback for the other", {{"fake-uid-0001", 0}, {"renamed-4", 4}},
         {"1"}, {2, 3, 4, 5}, nullptr},
        {"neither id nor header fields listed", {{"renamed-9", 0}}, {}, {1, 2, 3, 4, 5},
         "USER alice\r\nPASS ****\r\nSTAT\r\nLIST\r\nUIDL\r\nSTAT\r\nCAPA\r\n"},
        // clang-format on
    };
    for (const auto& c : cases) {
        FakePop3 server("normal", "5");
        const MessageList listed = test::ListServer(server.Pop());
        ASSERT_EQ(listed.size(), 5u) << c.name;
        std::vector<CEmailMessage*> queued;
        for (const Queued& q : c.queued)
            queued.push_back(&test::AddMarked(server.Account(), q.id,
                                              q.fieldsOf ? listed[q.fieldsOf - 1].get() : nullptr));
        const size_t logged = server.Log().size();
        std::atomic<int> deleted{0};

        ASSERT_TRUE(DeleteAndWait(server.Account(), deleted)) << c.name;

        const std::string log = server.Log().substr(logged);
        EXPECT_EQ(Deleted(log), c.deleted) << c.name << "\n" << log;
        EXPECT_EQ(deleted, static_cast<int>(c.deleted.size())) << c.name;
        if (c.transcript) {
            EXPECT_EQ(log.substr(0, std::string(c.transcript).size()), c.transcript) << c.name;
        }
        std::vector<std::string> remaining;
        for (int n : c.remaining) remaining.push_back(listed[n - 1]->MsgUniqueID);
        EXPECT_EQ(test::Ids(test::ListServer(server.Pop())), remaining) << c.name;
        // The frame's pass takes over from here: the messages stay queued until it removes them.
        EXPECT_TRUE(server.Account().m_deleteFinished) << c.name;
        EXPECT_TRUE(server.Account().m_deleting) << c.name;
        for (const CEmailMessage* message : queued)
            EXPECT_TRUE(message->m_queuedForDelete) << c.name;
    }
}

TEST(ServerDelete, QueuesOnlyMarkedMessagesNotQueuedBefore) {
    struct Marks {
        bool marked;
        bool queued;
    };
    const struct {
        const char* name;
        int countBefore;           // the account's outcome from its last check
        std::vector<Marks> marks;  // of the account's messages fake-uid-0001 onwards
        bool workerStarted;
        int countAfter;
        std::vector<std::string> deleted;
    } cases[] = {
        // clang-format off
        {"nothing marked", 4,
         {{false, false}, {false, false}, {false, false}, {false, false}}, false, 4, {}},
        {"marked ones all queued before", 4,
         {{true, true}, {false, false}, {false, false}, {true, true}}, false, 4, {}},
        {"marked ones not queued yet", 4,
         {{true, false}, {false, false}, {true, true}, {true, false}}, true, 2, {"1", "4"}},
        {"an outcome code is not lowered", kCountBadPassword,
         {{true, false}, {false, false}}, true, kCountBadPassword, {"1"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        FakePop3 server("normal", "4");
        CEmailAccount& account = server.Account();
        for (size_t i = 0; i < c.marks.size(); ++i) {
            CEmailMessage& message = *account.AddMessage("fake-uid-000" + std::to_string(i + 1));
            message.MarkedForDelete = c.marks[i].marked;
            message.m_queuedForDelete = c.marks[i].queued;
        }
        server.Pop().m_msgCount = c.countBefore;
        std::atomic<int> deleted{0};

        EXPECT_EQ(DeleteAndWait(account, deleted), c.workerStarted) << c.name;

        EXPECT_EQ(Deleted(server.Log()), c.deleted) << c.name;
        // The worker's own connection leaves the account's outcome alone.
        EXPECT_EQ(server.Pop().m_msgCount, c.countAfter) << c.name;
        EXPECT_EQ(account.m_deleting, c.workerStarted) << c.name;
        EXPECT_TRUE(account.m_deleteFinished) << c.name;
        for (size_t i = 0; i < c.marks.size(); ++i)
            EXPECT_EQ(account.GetMessages()[i]->m_queuedForDelete, c.marks[i].marked)
                << c.name << " " << i;
    }
}

TEST(ServerDelete, AccountWithoutPop3AccessIsLeftAlone) {
    test::NoDocument context;
    CEmailAccount::Settings s;
    s.type = kTypeNone;
    CEmailAccount account(1, s, &context);
    std::atomic<int> deleted{0};
    EXPECT_EQ(DeleteMsgsFromServer(account, deleted), nullptr);
    EXPECT_FALSE(account.m_deleting);
    EXPECT_FALSE(account.m_deleteFinished);
}

TEST(ServerDelete, FailedLoginKeepsTheQueueAndStillFinishes) {
    for (const char* scenario : {"refuse-user", "refuse-pass", "silent-greeting"}) {
        FakePop3 server(scenario, "3");
        CEmailMessage& first = test::AddMarked(server.Account(), "fake-uid-0001");
        CEmailMessage& second = test::AddMarked(server.Account(), "fake-uid-0002");
        std::atomic<int> deleted{0};

        ASSERT_TRUE(DeleteAndWait(server.Account(), deleted)) << scenario;

        EXPECT_TRUE(server.Account().m_deleteFinished) << scenario;
        EXPECT_EQ(deleted, 0) << scenario;
        EXPECT_EQ(server.Log().find("DELE"), std::string::npos) << scenario;
        EXPECT_TRUE(first.m_queuedForDelete && second.m_queuedForDelete) << scenario;
        EXPECT_EQ(server.Account().GetMessages().size(), 2u) << scenario;
    }
}

}  // namespace
}  // namespace ph
