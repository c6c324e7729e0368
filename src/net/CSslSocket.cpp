#include "net/CSslSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <system_error>

#include "common/Format.h"
#include "common/Trace.h"
#include "net/Resolve.h"

namespace ph {
namespace {

using Clock = std::chrono::steady_clock;

// The longest single wait on the socket, so that no wait outlasts its deadline by much.
constexpr int kPollSliceMs = 250;

// The library's own socket BIO writes with write(2), which raises SIGPIPE once the server has
// gone and kills a program that has not chosen to ignore it. This one sends with MSG_NOSIGNAL.
int DescriptorOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

int BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do n = ::send(DescriptorOf(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int BioRead(BIO* bio, char* buffer, int capacity) {
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do n = ::recv(DescriptorOf(bio), buffer, static_cast<size_t>(capacity), 0);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long BioControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Built once and never changed afterwards, so threads may share it.
const BIO_METHOD* NoSignalSocketMethod() {
    static BIO_METHOD* const method = [] {
        const int index = BIO_get_new_index();
        BIO_METHOD* m = index < 0 ? nullptr
                                  : BIO_meth_new(index | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                                 "socket without SIGPIPE");
        if (m) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioControl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char scratch[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), scratch) == 1 ||
           inet_pton(AF_INET6, host.c_str(), scratch) == 1;
}

// The order in which verification failures decide: the server's own dates, then its name,
// then the chain, then revocation.
int VerifyRank(int error, int depth) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return depth == 0 ? 1 : 3;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return 2;
        case X509_V_ERR_CERT_REVOKED:
        case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_CRL_NOT_YET_VALID:
        case X509_V_ERR_CRL_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
            return 4;
        default:
            return 3;
    }
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

struct OcspResponseFree {
    void operator()(OCSP_RESPONSE* r) const { OCSP_RESPONSE_free(r); }
};
struct OcspBasicFree {
    void operator()(OCSP_BASICRESP* r) const { OCSP_BASICRESP_free(r); }
};
struct OcspCertIdFree {
    void operator()(OCSP_CERTID* id) const { OCSP_CERTID_free(id); }
};

}  // namespace

CSslSocket::CSslSocket(TlsOptions options) : m_options(std::move(options)) {}

CSslSocket::~CSslSocket() {
    Close();
    SSL_CTX_free(m_ctx);
}

void CSslSocket::Fail(TlsErrorKind kind, long code) {
    m_errorKind = kind;
    m_error = code;
}

bool CSslSocket::Create() {
    Close();
    Fail(TlsErrorKind::None, 0);
    if (!m_ctx && !CreateContext()) return false;
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        Fail(TlsErrorKind::Socket, errno);
        return false;
    }
    return true;
}

bool CSslSocket::CreateContext() {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        Fail(TlsErrorKind::OutOfMemory, kErrOutOfMemory);
        return false;
    }
    const bool ownStore = !m_options.caFile.empty() || !m_options.caDir.empty();
    const int loaded = ownStore
                           ? SSL_CTX_load_verify_locations(
                                 ctx, m_options.caFile.empty() ? nullptr : m_options.caFile.c_str(),
                                 m_options.caDir.empty() ? nullptr : m_options.caDir.c_str())
                           : SSL_CTX_set_default_verify_paths(ctx);
    if (loaded != 1 || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
        Fail(TlsErrorKind::Protocol, static_cast<long>(ERR_peek_last_error()));
        SSL_CTX_free(ctx);
        return false;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, VerifyServerChain, this);
    // Revocation of every certificate of the chain, by whatever CRLs the store holds;
    // RecordVerifyError lets a certificate pass for which the store has none.
    X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(ctx),
                                X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    m_ctx = ctx;
    return true;
}

bool CSslSocket::Connect(const std::string& host, int port) {
    sockaddr_in address;
    if (!ResolveIPv4(host, port, address)) {
        DropConnection();
        m_hostName = host;
        Fail(TlsErrorKind::HostNotFound, kErrHostNotFound);
        return false;
    }
    return Connect(address, host);
}

bool CSslSocket::Connect(const sockaddr_in& address, const std::string& hostName) {
    // Always a fresh socket: one that was connected before cannot be connected again.
    if (!Create()) return false;
    m_hostName = hostName;
    if (hostName.empty()) {
        DropConnection();
        Fail(TlsErrorKind::NoHostName, 0);
        return false;
    }
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Fail(TlsErrorKind::Socket, errno);
        DropConnection();
        return false;
    }
    // From here every wait is a poll with a deadline, so the socket must never block.
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        Fail(TlsErrorKind::Socket, errno);
        DropConnection();
        return false;
    }
    if (!Handshake() || !CheckStapledStatus()) {
        Trace("TLS connection to %s failed: %s", m_hostName.c_str(), LastErrorText().c_str());
        DropConnection();
        return false;
    }
    m_secure = true;
    return true;
}

bool CSslSocket::Handshake() {
    ERR_clear_error();
    m_ssl = SSL_new(m_ctx);
    BIO* bio = m_ssl && NoSignalSocketMethod() ? BIO_new(NoSignalSocketMethod()) : nullptr;
    if (!bio) {
        Fail(TlsErrorKind::OutOfMemory, kErrOutOfMemory);
        return false;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(m_fd)));
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_app_data(m_ssl, this);

    X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const bool named = !IsAddressLiteral(m_hostName);
    // Server name indication carries names only, never addresses.
    const int targetSet = named ? X509_VERIFY_PARAM_set1_host(param, m_hostName.c_str(), 0) &&
                                      SSL_set_tlsext_host_name(m_ssl, m_hostName.c_str())
                                : X509_VERIFY_PARAM_set1_ip_asc(param, m_hostName.c_str());
    if (!targetSet) {
        Fail(TlsErrorKind::NoHostName, 0);
        return false;
    }
    SSL_set_tlsext_status_type(m_ssl, TLSEXT_STATUSTYPE_ocsp);

    m_verifyError = X509_V_OK;
    m_verifyRank = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_options.stallTimeoutMs);
    for (;;) {
        ERR_clear_error();
        const int result = SSL_connect(m_ssl);
        if (result == 1) return true;
        const int error = SSL_get_error(m_ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            RecordHandshakeFailure(result, error);
            return false;
        }
        const int left = MillisecondsLeft(deadline);
        if (left == 0) {
            Fail(TlsErrorKind::TimedOut, kErrTimedOut);
            return false;
        }
        if (!WaitFor(error == SSL_ERROR_WANT_WRITE, std::min(left, kPollSliceMs))) return false;
    }
}

void CSslSocket::RecordHandshakeFailure(int result, int error) {
    const int savedErrno = errno;
    const unsigned long code = ERR_peek_last_error();
    if (m_verifyRank != 0) {
        Fail(TlsErrorKind::Verify, m_verifyError);
    } else if (error == SSL_ERROR_ZERO_RETURN ||
               (error == SSL_ERROR_SYSCALL && code == 0 && (result == 0 || savedErrno == 0)) ||
               (error == SSL_ERROR_SSL &&
                ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
        Fail(TlsErrorKind::PeerClosed, kErrPeerClosedInHandshake);
    } else {
        RecordIoFailure(error, code, savedErrno);
    }
}

void CSslSocket::RecordIoFailure(int error, unsigned long code, int savedErrno) {
    if (error == SSL_ERROR_SYSCALL && code == 0)
        Fail(TlsErrorKind::Socket, savedErrno);
    else if (ERR_GET_REASON(code) == ERR_R_MALLOC_FAILURE)
        Fail(TlsErrorKind::OutOfMemory, kErrOutOfMemory);
    else
        Fail(TlsErrorKind::Protocol, static_cast<long>(code));
}

int CSslSocket::VerifyServerChain(X509_STORE_CTX* store, void* arg) {
    auto* self = static_cast<CSslSocket*>(arg);
    self->m_verifyError = X509_V_OK;
    self->m_verifyRank = 0;
    X509_STORE_CTX_set_verify_cb(store, RecordVerifyError);
    // Every check runs to the end (RecordVerifyError keeps going) so that the failures can be
    // ranked; the verdict is ours.
    const int verified = X509_verify_cert(store);
    if (self->m_verifyRank == 0 && verified <= 0) {
        const int error = X509_STORE_CTX_get_error(store);
        self->m_verifyError = error != X509_V_OK ? error : X509_V_ERR_UNSPECIFIED;
        self->m_verifyRank = 3;
    }
    if (self->m_verifyRank == 0) return 1;
    X509_STORE_CTX_set_error(store, self->m_verifyError);
    return 0;
}

int CSslSocket::RecordVerifyError(int ok, X509_STORE_CTX* store) {
    if (ok) return 1;
    const int error = X509_STORE_CTX_get_error(store);
    // The store holds no CRL for this issuer: revocation cannot be known here, and that alone
    // does not refuse the server.
    if (error == X509_V_ERR_UNABLE_TO_GET_CRL) return 1;
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = ssl ? static_cast<CSslSocket*>(SSL_get_app_data(ssl)) : nullptr;
    if (!self) return 0;
    const int rank = VerifyRank(error, X509_STORE_CTX_get_error_depth(store));
    if (self->m_verifyRank == 0 || rank < self->m_verifyRank) {
        self->m_verifyRank = rank;
        self->m_verifyError = error;
    }
    return 1;
}

// A stapled OCSP status counts only when it covers the server's certificate, is signed by a
// responder the trust store vouches for and is current; then "revoked" refuses the server.
// Anything else stapled is ignored: it proves nothing either way.
bool CSslSocket::CheckStapledStatus() {
    const unsigned char* der = nullptr;
    const long length = SSL_get_tlsext_status_ocsp_resp(m_ssl, &der);
    STACK_OF(X509)* chain = SSL_get0_verified_chain(m_ssl);
    if (length <= 0 || !der || !chain || sk_X509_num(chain) < 2) return true;

    std::unique_ptr<OCSP_RESPONSE, OcspResponseFree> response(
        d2i_OCSP_RESPONSE(nullptr, &der, length));
    if (!response || OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL)
        return true;
    std::unique_ptr<OCSP_BASICRESP, OcspBasicFree> basic(OCSP_response_get1_basic(response.get()));
    std::unique_ptr<OCSP_CERTID, OcspCertIdFree> id(
        OCSP_cert_to_id(nullptr, sk_X509_value(chain, 0), sk_X509_value(chain, 1)));
    int status = V_OCSP_CERTSTATUS_UNKNOWN;
    int reason = 0;
    ASN1_GENERALIZEDTIME* revokedAt = nullptr;
    ASN1_GENERALIZEDTIME* thisUpdate = nullptr;
    ASN1_GENERALIZEDTIME* nextUpdate = nullptr;
    const bool revoked =
        basic && id &&
        OCSP_basic_verify(basic.get(), chain, SSL_CTX_get_cert_store(m_ctx), 0) == 1 &&
        OCSP_resp_find_status(basic.get(), id.get(), &status, &reason, &revokedAt, &thisUpdate,
                              &nextUpdate) == 1 &&
        OCSP_check_validity(thisUpdate, nextUpdate, 300, -1) == 1 &&
        status == V_OCSP_CERTSTATUS_REVOKED;
    ERR_clear_error();
    if (!revoked) return true;
    Fail(TlsErrorKind::Verify, X509_V_ERR_CERT_REVOKED);
    return false;
}

bool CSslSocket::WaitFor(bool forWrite, int waitMs) {
    pollfd entry{m_fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    if (::poll(&entry, 1, waitMs) < 0 && errno != EINTR) {
        Fail(TlsErrorKind::Socket, errno);
        return false;
    }
    return true;
}

int CSslSocket::Send(const void* data, int length) {
    if (!m_secure) {
        if (m_errorKind == TlsErrorKind::None) Fail(TlsErrorKind::NotReady, 0);
        return 0;
    }
    const auto* bytes = static_cast<const char*>(data);
    int sent = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(m_options.stallTimeoutMs);
    while (sent < length) {
        ERR_clear_error();
        const int result = SSL_write(m_ssl, bytes + sent, length - sent);
        if (result > 0) {
            sent += result;
            deadline = Clock::now() + std::chrono::milliseconds(m_options.stallTimeoutMs);
            continue;
        }
        const int error = SSL_get_error(m_ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            FailSecureIo(error);
            return 0;
        }
        const int left = MillisecondsLeft(deadline);
        if (left == 0) {
            Fail(TlsErrorKind::TimedOut, kErrTimedOut);
            return 0;
        }
        if (!WaitFor(error == SSL_ERROR_WANT_WRITE, std::min(left, kPollSliceMs))) return 0;
    }
    return sent;
}

int CSslSocket::Receive(void* buffer, int capacity) {
    if (!m_secure) {
        if (m_errorKind == TlsErrorKind::None) Fail(TlsErrorKind::NotReady, 0);
        return 0;
    }
    if (capacity <= 0) return 0;
    for (;;) {
        // Plaintext the library holds from an earlier record comes out here without any read.
        ERR_clear_error();
        const int result = SSL_read(m_ssl, buffer, capacity);
        if (result > 0) return result;
        const int error = SSL_get_error(m_ssl, result);
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            FailSecureIo(error);
            return 0;
        }
        if (!WaitFor(error == SSL_ERROR_WANT_WRITE, kPollSliceMs)) return 0;
    }
}

bool CSslSocket::WaitReadable(int waitMs, bool& readable) {
    readable = false;
    if (!m_secure) {
        if (m_errorKind == TlsErrorKind::None) Fail(TlsErrorKind::NotReady, 0);
        return false;
    }
    if (SSL_pending(m_ssl) > 0) {
        readable = true;
        return true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(waitMs, 0));
    // Raw bytes the library holds already may complete a record without any network read.
    bool mustPoll = !SSL_has_pending(m_ssl);
    for (;;) {
        if (mustPoll) {
            pollfd entry{m_fd, POLLIN, 0};
            const int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
            if (ready < 0 && errno != EINTR) {
                Fail(TlsErrorKind::Socket, errno);
                return false;
            }
            if (ready <= 0) return true;
        }
        // Bytes have come, but they may be only part of a record or a record that carries no
        // application data (a session ticket); peeking decrypts what is complete and tells.
        unsigned char first;
        ERR_clear_error();
        const int result = SSL_peek(m_ssl, &first, 1);
        const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(m_ssl, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (MillisecondsLeft(deadline) == 0) return true;
            mustPoll = true;
            continue;
        }
        // Data, the peer's closing alert or a failure: the next Receive reports which.
        if (error != SSL_ERROR_NONE && error != SSL_ERROR_ZERO_RETURN) FailSecureIo(error);
        readable = true;
        return true;
    }
}

void CSslSocket::FailSecureIo(int error) {
    const int savedErrno = errno;
    RecordIoFailure(error, ERR_peek_last_error(), savedErrno);
    // After a fatal error the connection must not be used again, not even for the closing
    // alert.
    m_secure = false;
}

void CSslSocket::Close() {
    if (m_ssl && m_secure) {
        ERR_clear_error();
        SSL_shutdown(m_ssl);
    }
    DropConnection();
}

void CSslSocket::DropConnection() {
    m_secure = false;
    if (m_ssl) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    ERR_clear_error();
}

std::string CSslSocket::LastErrorText() const {
    switch (m_errorKind) {
        case TlsErrorKind::None:
            return {};
        case TlsErrorKind::NotReady:
            return "the TLS connection is not established";
        case TlsErrorKind::Socket:
            return std::error_code(static_cast<int>(m_error), std::generic_category()).message();
        case TlsErrorKind::HostNotFound:
            return "host name could not be resolved";
        case TlsErrorKind::PeerClosed:
            return "the server closed the connection during the TLS handshake";
        case TlsErrorKind::Protocol: {
            const char* reason = ERR_reason_error_string(static_cast<unsigned long>(m_error));
            return reason ? Format("TLS failure: %s", reason)
                          : Format("TLS failure (error %lx)", static_cast<unsigned long>(m_error));
        }
        case TlsErrorKind::Verify:
            return X509_verify_cert_error_string(m_error);
        case TlsErrorKind::NoHostName:
            return "no host name to verify the server against";
        case TlsErrorKind::TimedOut:
            return "timed out";
        case TlsErrorKind::OutOfMemory:
            return "out of memory";
    }
    return {};
}

}  // namespace ph
