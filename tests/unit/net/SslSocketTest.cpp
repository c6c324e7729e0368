#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>

#include "LoopbackServer.h"
#include "TestPki.h"
#include "net/CSslSocket.h"

namespace ph {
namespace {

using namespace ph::test;

const TestPki& Pki() {
    const TestPki& pki = TestPki::Get();
    EXPECT_TRUE(pki.ok) << pki.log;
    return pki;
}

TlsIdentity WithStaple(TlsIdentity identity, const std::string& staple) {
    identity.ocspStaple = staple;
    return identity;
}

void ExpectNothingPasses(CSslSocket& socket) {
    char buffer[16];
    bool readable = true;
    EXPECT_EQ(socket.Send("x", 1), 0);
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 0);
    EXPECT_FALSE(socket.WaitReadable(0, readable));
    EXPECT_FALSE(socket.IsSecure());
}

TEST(SslSocket, ServerIsVerifiedBeforeAnythingPasses) {
    const TestPki& pki = Pki();
    ASSERT_TRUE(pki.ok);
    const struct {
        const char* name;
        TlsIdentity server;
        std::string caFile;
        const char* host;
        int verifyError;  // X509_V_OK: accepted
        const char* reason;
    } cases[] = {
        {"good certificate by name", pki.good, pki.caFile, "localhost", X509_V_OK, ""},
        {"good certificate by address", pki.good, pki.caFile, "127.0.0.1", X509_V_OK, ""},
        {"expired", pki.expired, pki.caFile, "localhost", X509_V_ERR_CERT_HAS_EXPIRED,
         "certificate has expired"},
        {"other host's certificate", pki.wrongHost, pki.caFile, "localhost",
         X509_V_ERR_HOSTNAME_MISMATCH, "hostname mismatch"},
        {"untrusted issuer", pki.untrusted, pki.caFile, "localhost",
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, "unable to get local issuer certificate"},
        {"revoked by a CRL in the store", pki.revoked, pki.caWithCrlFile, "localhost",
         X509_V_ERR_CERT_REVOKED, "certificate revoked"},
        {"good beside a CRL of its issuer", pki.good, pki.caWithCrlFile, "localhost", X509_V_OK,
         ""},
        {"revoked by a stapled status", WithStaple(pki.revoked, pki.revokedStaple), pki.caFile,
         "localhost", X509_V_ERR_CERT_REVOKED, "certificate revoked"},
        {"good stapled status", WithStaple(pki.good, pki.goodStaple), pki.caFile, "localhost",
         X509_V_OK, ""},
        {"staple for another certificate proves nothing", WithStaple(pki.good, pki.revokedStaple),
         pki.caFile, "localhost", X509_V_OK, ""},
        {"revoked but nothing at hand says so", pki.revoked, pki.caFile, "localhost", X509_V_OK,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool accepted = c.verifyError == X509_V_OK;
        LoopbackServer server(accepted ? std::vector<ServerStep>{Send("+OK hi\r\n"), Expect("bye")}
                                       : std::vector<ServerStep>{},
                              &c.server);
        CSslSocket socket(TlsOptions{c.caFile, {}, 5000});
        ASSERT_TRUE(socket.Create());
        EXPECT_EQ(socket.Connect(c.host, server.Port()), accepted);
        if (!accepted) {
            EXPECT_EQ(socket.LastErrorKind(), TlsErrorKind::Verify);
            EXPECT_EQ(socket.LastError(), c.verifyError);
            EXPECT_EQ(socket.LastErrorText(), c.reason);
            EXPECT_FALSE(socket.IsOpen());
            ExpectNothingPasses(socket);
            continue;
        }
        EXPECT_TRUE(socket.IsSecure()) << socket.LastErrorText();
        char buffer[64];
        const int received = socket.Receive(buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(std::max(received, 0))), "+OK hi\r\n");
        EXPECT_EQ(socket.Send("bye", 3), 3);
        socket.Close();
        server.Join();
        EXPECT_EQ(server.Received(), "bye");
    }
}

TEST(SslSocket, PlaintextBeyondTheBufferComesBeforeAnyNewRead) {
    const TestPki& pki = Pki();
    ASSERT_TRUE(pki.ok);
    std::string record;
    for (int i = 0; i < 1000; ++i) record += static_cast<char>('a' + i % 26);
    // The server sends nothing more until the client has taken the whole record and answered,
    // so a receive that went to the network first would wait for ever (here: until the
    // server's read gives up and the connection ends).
    LoopbackServer server({Send(record), Expect("ack"), Send("tail"), ExpectCloseNotify()},
                          &pki.good);
    CSslSocket socket(TlsOptions{pki.caFile, {}, 5000});
    ASSERT_TRUE(socket.Connect("localhost", server.Port())) << socket.LastErrorText();
    std::string delivered;
    char buffer[100];
    bool readable = false;
    ASSERT_TRUE(socket.WaitReadable(5000, readable));
    while (delivered.size() < record.size()) {
        ASSERT_TRUE(readable) << "held plaintext must count as readable at once";
        const int received = socket.Receive(buffer, sizeof buffer);
        ASSERT_EQ(received, 100);
        delivered.append(buffer, 100);
        ASSERT_TRUE(socket.WaitReadable(0, readable));
    }
    EXPECT_FALSE(readable);
    EXPECT_EQ(delivered, record);
    ASSERT_EQ(socket.Send("ack", 3), 3);
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 4);
    socket.Close();
    server.Join();
    EXPECT_TRUE(server.SawCloseNotify());
    EXPECT_FALSE(socket.IsOpen());
}

TEST(SslSocket, HandshakeFailuresSayWhy) {
    const struct {
        const char* name;
        std::vector<ServerStep> script;
        TlsErrorKind kind;
        long code;
    } cases[] = {
        {"server closes during the handshake",
         {Close()},
         TlsErrorKind::PeerClosed,
         CSslSocket::kErrPeerClosedInHandshake},
        {"server never answers", {}, TlsErrorKind::TimedOut, CSslSocket::kErrTimedOut},
        {"server speaks plain text",
         {Send("+OK POP3 server ready\r\n"), Pause(100)},
         TlsErrorKind::Protocol,
         -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server(c.script);
        CSslSocket socket(TlsOptions{{}, {}, 300});
        EXPECT_FALSE(socket.Connect("localhost", server.Port()));
        EXPECT_EQ(socket.LastErrorKind(), c.kind) << socket.LastErrorText();
        if (c.code >= 0) {
            EXPECT_EQ(socket.LastError(), c.code);
        }
        EXPECT_FALSE(socket.LastErrorText().empty());
        EXPECT_FALSE(socket.IsOpen());
    }
}

TEST(SslSocket, NothingPassesBeforeTheHandshake) {
    CSslSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_TRUE(socket.IsOpen());
    ExpectNothingPasses(socket);
    EXPECT_EQ(socket.LastErrorKind(), TlsErrorKind::NotReady);
    socket.Close();
    socket.Close();
    EXPECT_FALSE(socket.IsOpen());
}

TEST(SslSocket, UnreadableTrustStoreFailsClosed) {
    CSslSocket socket(TlsOptions{"/nonexistent/roots.pem", {}, 5000});
    EXPECT_FALSE(socket.Create());
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(socket.LastErrorKind(), TlsErrorKind::Protocol);
    EXPECT_FALSE(socket.Connect("127.0.0.1", 995));
    EXPECT_FALSE(socket.LastErrorText().empty());
}

TEST(SslSocket, SystemStoreIsUsedAndSslCertFileHonoured) {
    const TestPki& pki = Pki();
    ASSERT_TRUE(pki.ok);
    for (const bool trustedByEnvironment : {false, true}) {
        SCOPED_TRACE(trustedByEnvironment ? "SSL_CERT_FILE names the root" : "system store");
        if (trustedByEnvironment) ::setenv("SSL_CERT_FILE", pki.caFile.c_str(), 1);
        LoopbackServer server({Send("+OK\r\n")}, &pki.good);
        CSslSocket socket;
        EXPECT_EQ(socket.Connect("localhost", server.Port()), trustedByEnvironment);
        if (!trustedByEnvironment) {
            EXPECT_EQ(socket.LastError(), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
        }
        ::unsetenv("SSL_CERT_FILE");
    }
}

}  // namespace
}  // namespace ph
