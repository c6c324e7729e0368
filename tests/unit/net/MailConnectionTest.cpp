#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "LoopbackServer.h"
#include "TestPki.h"
#include "net/MailConnection.h"
#include "net/Resolve.h"

namespace ph {
namespace {

using namespace ph::test;

// Far beyond every time-out configured below; only there to tell a hang from a failure.
constexpr auto kHangBound = std::chrono::seconds(10);

struct ReplyCase {
    const char* name;
    std::vector<ServerStep> script;
    std::string text;  // the reply on success, the failure text otherwise
    struct {
        bool positive = true;
        int socketError = 0;
        int state = 7;  // the owner's state afterwards (7: untouched)
    } outcome;
    struct {
        const char* terminator = "\n.\n";
        size_t capacity = 1000;
        size_t growth = 4096;
        unsigned replyTimeoutMs = 5000;
        unsigned silenceMs = 5000;
    } limits;
};

TEST(MailConnection, ReadResponseCollectsOneReply) {
    const std::string listing = "+OK 2 messages\r\n1 120\r\n2 200\r\n.\r\n";
    const std::string listed = "+OK 2 messages\r\n1 120\r\n2 200";
    const int lost = kStateNoConnection;
    // clang-format off
    const ReplyCase cases[] = {
        {"one line", {Send("+OK ready\r\n")}, "+OK ready", {}, {.terminator = "\n"}},
        {"positive in any case", {Send("+oK fine\r\n")}, "+oK fine", {}, {.terminator = "\n"}},
        {"many small pieces", Trickle(listing, 2), listed, {}, {}},
        {"bare lf at the dot line", {Send("+OK\n1 1\n.\n")}, "+OK\n1 1", {}, {}},
        {"lf cr at the dot line", {Send("+OK\n\r1 1\n\r.\n\r")}, "+OK\n\r1 1", {}, {}},
        {"lone cr at the dot line", {Send("+OK\r1 1\r.\r")}, "+OK\r1 1", {}, {}},
        {"dot line complete at its cr", {Send("+OK\r\nx\r\n.\r")}, "+OK\r\nx", {}, {}},
        {"buffer fills exactly and grows", {Send("+OK 12345"), Pause(50), Send("6\r\n.\r\n")},
         "+OK 123456", {}, {.capacity = 10, .growth = 4}},
        {"small buffer grows many times", {Send(listing)}, listed, {}, {.capacity = 4, .growth = 3}},
        {"negative reply", {Send("-ERR no such message\r\n")}, "-ERR no such message",
         {false, kSockErrNegativeReply}, {.terminator = "\n"}},
        {"+OK not at the start", {Send(" +OK\r\n")}, " +OK", {false, kSockErrNegativeReply},
         {.terminator = "\n"}},
        {"peer closes mid-reply", {Send("+OK part"), Pause(50), Close()}, "+OK part", {false}, {}},
        {"silence before the first byte", {}, "", {false, kSockErrTimedOut, lost},
         {.replyTimeoutMs = 150}},
        {"silence after data within the allowance", {Send("+OK"), Pause(400), Send("\r\n")}, "+OK",
         {}, {.terminator = "\n", .replyTimeoutMs = 100, .silenceMs = 3000}},
        {"silence after data beyond the allowance", {Send("+OK partial")}, "+OK partial",
         {false, kSockErrTimedOut, lost}, {.silenceMs = 200}},
        // A one-line refusal of a multi-line command has no dot line: only the silence ends it.
        {"negative one-liner to a multi-line command", {Send("-ERR busy\r\n")}, "-ERR busy\r\n",
         {false, kSockErrTimedOut, lost}, {.silenceMs = 200}},
    };
    // clang-format on
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server(c.script);
        std::atomic<int> state{7};
        CMailConnection connection(false, &state);
        connection.SetReplyTimeoutMs(c.limits.replyTimeoutMs);
        connection.SetSilenceAllowanceMs(c.limits.silenceMs);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));

        const auto start = std::chrono::steady_clock::now();
        std::string text;
        const bool positive =
            connection.ReadResponse(text, c.limits.capacity, c.limits.terminator, c.limits.growth);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kHangBound);
        EXPECT_EQ(positive, c.outcome.positive);
        EXPECT_EQ(positive ? text : connection.LastFailureText(), c.text);
        EXPECT_EQ(connection.LastSocketError(), c.outcome.socketError);
        EXPECT_EQ(state.load(), c.outcome.state);
    }
}

TEST(MailConnection, ConversationSendsCommandsAndCountsBytes) {
    LoopbackServer server({Send("+OK hello\r\n"), Expect("USER bob\r\n"), Send("+OK\r\n")});
    CMailConnection connection(false, nullptr);
    std::string text;
    EXPECT_FALSE(connection.ReadResponse(text, 1000, "\n", 4096)) << "not connected yet";
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    EXPECT_TRUE(connection.IsConnected());
    ASSERT_TRUE(connection.ReadResponse(text, 1000, "\n", 4096));
    ASSERT_TRUE(connection.Send("USER bob\r\n"));
    EXPECT_TRUE(connection.ReadResponse(text, 1000, "\n", 4096));
    EXPECT_EQ(text, "+OK");
    EXPECT_EQ(server.Received(), "USER bob\r\n");
    EXPECT_EQ(connection.BytesReceived(), std::string("+OK hello\r\n+OK\r\n").size());
    connection.Close();
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_FALSE(connection.IsOpen());
}

TEST(MailConnection, ConnectFailuresSayWhy) {
    // A bound socket that does not listen refuses connections at once.
    const int closedPort = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(closedPort, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(closedPort, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int refusedPort = ntohs(address.sin_port);

    const struct {
        const char* host;
        int port;
        int socketError;
    } cases[] = {
        {"no such host.invalid", 110, kSockErrHostNotFound},
        {"", 110, kSockErrHostNotFound},
        {"127.0.0.1", 70000, kSockErrHostNotFound},
        {"127.0.0.1", refusedPort, ECONNREFUSED},
    };
    for (const bool tls : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.host) + (tls ? " tls" : " plain"));
            CMailConnection connection(tls, nullptr);
            EXPECT_FALSE(connection.Connect(c.host, c.port));
            EXPECT_FALSE(connection.IsConnected());
            EXPECT_EQ(connection.LastSocketError(), c.socketError);
            EXPECT_FALSE(connection.LastErrorText().empty());
        }
    }
    ::close(closedPort);
}

TEST(MailConnection, DottedAddressIsTakenAsItStands) {
    sockaddr_in address;
    ASSERT_TRUE(ResolveIPv4("192.0.2.7", 995, address));
    EXPECT_EQ(address.sin_addr.s_addr, htonl(0xC0000207));
    EXPECT_EQ(ntohs(address.sin_port), 995);
    ASSERT_TRUE(ResolveIPv4("localhost", 110, address));
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

struct LineCase {
    const char* name;
    std::vector<ServerStep> script;
    std::vector<std::string> lines;  // every line read, the last one ending the stream
    bool lastOk = true;
};

TEST(MailConnection, ReadStreamLineSplitsAStreamedReply) {
    const LineCase cases[] = {
        {"crlf lines", {Send("a\r\nbb\r\n.\r\n")}, {"a", "bb", "."}},
        {"lf lines", {Send("a\nbb\n.\n")}, {"a", "bb", "."}},
        {"cr waiting for its lf",
         {Send("abc\r"), Pause(50), Send("\ndef\r\n"), Pause(50), Send(".\r\n")},
         {"abc", "def", "."}},
        // Nothing follows this CR until the server closes; a reader that waited for its LF
        // would end with an empty line instead of the dot.
        {"dot line complete at its cr", {Send("a\r\n.\r"), Pause(300), Close()}, {"a", "."}},
        {"line split over receives", {Send("ab"), Pause(50), Send("cd\r\n.\r\n")}, {"abcd", "."}},
        {"connection gives out", {Send("a\r\npartial"), Pause(50), Close()}, {"a", "partial"}},
        {"line too long",
         {Send(std::string(400, 'x') + "\r\n.\r\n")},
         {std::string(384, 'x')},
         false},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server(c.script);
        CMailConnection connection(false, nullptr);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
        std::string pending, line;
        bool ok = true;
        std::vector<std::string> lines;
        bool ended = false;
        while (!ended && ok && lines.size() < 10) {
            ended = connection.ReadStreamLine(pending, line, ok);
            EXPECT_LE(pending.size(), 511u);
            lines.push_back(line);
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(ok, c.lastOk);
    }
}

TEST(MailConnection, RepliesOverTlsKeepTheirTimeOuts) {
    const TestPki& pki = TestPki::Get();
    ASSERT_TRUE(pki.ok) << pki.log;
    LoopbackServer server(
        {Send("+OK ready\r\n"), Send("+OK 1\r\n1 5\r\n.\r\n"), Expect("QUIT\r\n")}, &pki.good);
    std::atomic<int> state{7};
    CMailConnection connection(true, &state, TlsOptions{pki.caFile, {}, 5000});
    connection.SetReplyTimeoutMs(200);
    connection.SetSilenceAllowanceMs(300);
    ASSERT_TRUE(connection.Connect("localhost", server.Port())) << connection.LastErrorText();
    std::string text;
    ASSERT_TRUE(connection.ReadResponse(text, 1000, "\n", 4096));
    EXPECT_EQ(text, "+OK ready");
    // The buffer takes the record a few bytes at a time; the rest is already decrypted and
    // must come without waiting on the socket, where nothing more arrives.
    ASSERT_TRUE(connection.ReadResponse(text, 4, "\n.\n", 4)) << connection.LastErrorText();
    EXPECT_EQ(text, "+OK 1\r\n1 5");
    // The server now waits for a command: the reply time-out ends the wait under TLS too.
    EXPECT_FALSE(connection.ReadResponse(text, 1000, "\n", 4096));
    EXPECT_EQ(connection.LastSocketError(), kSockErrTimedOut);
    EXPECT_EQ(state.load(), kStateNoConnection);
    EXPECT_TRUE(connection.Send("QUIT\r\n"));
}

}  // namespace
}  // namespace ph
