#pragma once
// A TLS client socket: one TCP connection whose calls block their caller. Connect makes the
// TCP connection, runs the client handshake and verifies the server before anything else may
// pass; until then Send and Receive do nothing. Every failure closes the connection (fail closed)
// and is kept as the last error with a reason a person can read.
//
// Verification, first failing check decides: the server's own certificate is inside its
// validity period, the host name (or the dotted address) given to Connect matches it, its chain
// leads to a trusted root, and no certificate of the chain is revoked. Trusted roots come from
// the system store (SSL_CERT_FILE / SSL_CERT_DIR are honoured) unless TlsOptions names a CA file
// or directory instead. Revocation is checked as far as the material at hand allows: a CRL in
// the trust store for an issuer is applied to the certificates of that issuer (and must be
// current, else the server is refused), and an OCSP
// status stapled by the server is applied to the server's certificate once its signature
// verifies against the trust store; no CRL or OCSP responder is fetched from the network. A
// certificate for which no CRL and no staple is at hand counts as not revoked.
#include <netinet/in.h>

#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace ph {

struct TlsOptions {
    // PEM file of trusted certificates (and CRLs) used in place of the system store.
    std::string caFile;
    // Directory of trusted certificates in hashed layout used in place of the system store.
    std::string caDir;
    // How long the handshake or a send may wait for the peer to move. Nothing else bounds
    // them: a server that accepts and then stays silent must not hold a thread for ever.
    int stallTimeoutMs = 60000;
};

enum class TlsErrorKind {
    None,
    NotReady,      // used before Create, or Send/Receive before a completed handshake
    Socket,        // a socket call failed; the code is its errno
    HostNotFound,  // the host name did not resolve; the code is 10022
    PeerClosed,    // the server closed during the handshake; the code is 0xf0
    Protocol,      // the TLS layer failed; the code is OpenSSL's packed error code
    Verify,        // the server was refused; the code is an X509_V_ERR_* value
    NoHostName,    // Connect was given no host name to verify against
    TimedOut,      // the peer stalled beyond stallTimeoutMs; the code is 10060
    OutOfMemory,   // the code is 14
};

class CSslSocket {
public:
    static constexpr long kErrPeerClosedInHandshake = 0xf0;
    static constexpr long kErrOutOfMemory = 14;
    static constexpr long kErrHostNotFound = 10022;
    static constexpr long kErrTimedOut = 10060;

    explicit CSslSocket(TlsOptions options = {});
    ~CSslSocket();
    CSslSocket(const CSslSocket&) = delete;
    CSslSocket& operator=(const CSslSocket&) = delete;

    // Creates the TCP socket (IPv4 stream) and the TLS context with its trust store. False with
    // the error recorded when either fails (an unreadable CA file or directory among them).
    bool Create();

    // Resolves `host` (a dotted address is taken as it stands), connects, runs the handshake
    // and verifies the server against `host`, always on a fresh socket (Create runs again).
    // True only when the connection is secure; on false the connection is closed.
    bool Connect(const std::string& host, int port);
    // The same for a caller that resolved the name already; `hostName` is what the server's
    // certificate must match.
    bool Connect(const sockaddr_in& address, const std::string& hostName);

    // Encrypts and sends all of `length` bytes. The count sent (== length), or 0 on failure or
    // when the connection is not secure.
    int Send(const void* data, int length);

    // Delivers at most `capacity` bytes of plaintext, waiting without limit for the network
    // when none is held. Plaintext already decrypted is always delivered before anything new is
    // read. 0 when the peer closed, on failure, or when the connection is not secure.
    int Receive(void* buffer, int capacity);

    // Waits at most `waitMs` for plaintext to be ready for Receive, returning as soon as it is
    // (a record without application data does not count). `readable` is also set when
    // the peer closed or the connection failed, so that the next Receive reports it. False
    // when the connection is not secure or the socket cannot be polled.
    bool WaitReadable(int waitMs, bool& readable);

    // Sends the closing alert when the connection is secure (without waiting for the peer's),
    // then closes the socket. Safe to call at any time, also twice.
    void Close();

    const TlsOptions& Options() const { return m_options; }
    bool IsOpen() const { return m_fd >= 0; }
    bool IsSecure() const { return m_secure; }
    int Fd() const { return m_fd; }

    TlsErrorKind LastErrorKind() const { return m_errorKind; }
    long LastError() const { return m_error; }
    // "certificate has expired", "hostname mismatch", "unable to get local issuer certificate",
    // "the server closed the connection during the TLS handshake", ...; empty when no error.
    std::string LastErrorText() const;

private:
    static int VerifyServerChain(X509_STORE_CTX* store, void* self);
    static int RecordVerifyError(int ok, X509_STORE_CTX* store);

    bool CreateContext();
    bool Handshake();
    bool CheckStapledStatus();
    bool WaitFor(bool forWrite, int waitMs);
    void RecordHandshakeFailure(int result, int error);
    void RecordIoFailure(int error, unsigned long code, int savedErrno);
    void FailSecureIo(int error);
    void Fail(TlsErrorKind kind, long code);
    void DropConnection();

    TlsOptions m_options;
    std::string m_hostName;
    int m_fd = -1;
    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
    bool m_secure = false;
    // The first failing verification check by the order above, filled during the handshake.
    int m_verifyError = 0;
    int m_verifyRank = 0;
    TlsErrorKind m_errorKind = TlsErrorKind::None;
    long m_error = 0;
};

}  // namespace ph
