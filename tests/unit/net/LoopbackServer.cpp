#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace ph::test {
namespace {

// Bounds every blocking read of the server, so that a client that misbehaves cannot keep a
// test from ending.
constexpr int kIoTimeoutSeconds = 5;

int StapleStatus(SSL* ssl, void* arg) {
    const auto* tls = static_cast<const TlsIdentity*>(arg);
    if (tls->ocspStaple.empty()) return SSL_TLSEXT_ERR_NOACK;
    auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(tls->ocspStaple.size()));
    if (!copy) return SSL_TLSEXT_ERR_ALERT_FATAL;
    std::memcpy(copy, tls->ocspStaple.data(), tls->ocspStaple.size());
    SSL_set_tlsext_status_ocsp_resp(ssl, copy, static_cast<long>(tls->ocspStaple.size()));
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

std::vector<ServerStep> Trickle(const std::string& bytes, int pauseMs) {
    std::vector<ServerStep> steps;
    for (char c : bytes) {
        steps.push_back(Send(std::string(1, c)));
        steps.push_back(Pause(pauseMs));
    }
    return steps;
}

// One accepted client, plain or inside TLS.
struct LoopbackServer::Connection {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;

    ~Connection() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        if (fd >= 0) ::close(fd);
    }

    bool StartTls(const TlsIdentity& tls) {
        ctx = SSL_CTX_new(TLS_server_method());
        if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, tls.certFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            return false;
        SSL_CTX_set_tlsext_status_cb(ctx, StapleStatus);
        SSL_CTX_set_tlsext_status_arg(ctx, const_cast<TlsIdentity*>(&tls));
        ssl = SSL_new(ctx);
        return ssl && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1;
    }

    bool Write(const std::string& bytes) {
        if (ssl) return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    long Read(char* buffer, size_t capacity) {
        if (ssl) return SSL_read(ssl, buffer, static_cast<int>(capacity));
        return static_cast<long>(::recv(fd, buffer, capacity, 0));
    }

    void Shut() {
        if (ssl) SSL_shutdown(ssl);
        ::shutdown(fd, SHUT_WR);
    }
};

LoopbackServer::LoopbackServer(std::vector<ServerStep> script, const TlsIdentity* tls)
    : m_script(std::move(script)), m_tls(tls) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 ||
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 1) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;  // Port() stays 0 and the client's connect fails
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Run(); });
}

void LoopbackServer::Join() {
    if (m_thread.joinable()) m_thread.join();
}

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
    if (m_listener >= 0) ::close(m_listener);
}

std::string LoopbackServer::Received() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_received;
}

bool LoopbackServer::PauseFor(int ms) {
    std::unique_lock<std::mutex> guard(m_lock);
    return !m_wake.wait_for(guard, std::chrono::milliseconds(ms), [this] { return m_stop.load(); });
}

void LoopbackServer::Run() {
    // The server's TLS library writes with write(2); a client that has already gone must not
    // raise SIGPIPE for the whole test program. Blocked here it stays with this thread, so a
    // client that raised it would still be caught.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    Connection client;
    while (client.fd < 0) {
        if (m_stop) return;
        pollfd entry{m_listener, POLLIN, 0};
        if (::poll(&entry, 1, 50) > 0)
            client.fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    const int one = 1;
    ::setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval bound{kIoTimeoutSeconds, 0};
    ::setsockopt(client.fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(client.fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    if (m_tls && !client.StartTls(*m_tls)) return;

    char buffer[4096];
    for (const ServerStep& step : m_script) {
        switch (step.kind) {
            case ServerStep::kSend:
                if (!client.Write(step.bytes)) return;
                break;
            case ServerStep::kPause:
                if (!PauseFor(step.ms)) return;
                break;
            case ServerStep::kClose:
                // The client sees the end of the stream; what it still sends is read and
                // dropped, so that the final close does not turn into a reset.
                client.Shut();
                Linger(client.fd);
                return;
            case ServerStep::kExpect:
                for (size_t got = 0; got < step.bytes.size();) {
                    const long n =
                        client.Read(buffer, std::min(sizeof buffer, step.bytes.size() - got));
                    if (n <= 0) return;
                    got += static_cast<size_t>(n);
                    std::lock_guard<std::mutex> guard(m_lock);
                    m_received.append(buffer, static_cast<size_t>(n));
                }
                break;
            case ServerStep::kExpectCloseNotify:
                while (client.Read(buffer, sizeof buffer) > 0) {
                }
                m_sawCloseNotify =
                    client.ssl && (SSL_get_shutdown(client.ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
                return;
        }
    }
    Linger(client.fd);
}

// Holds the connection without sending until the client closes or the test ends.
void LoopbackServer::Linger(int fd) {
    char sink[4096];
    while (!m_stop) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) > 0 && ::recv(fd, sink, sizeof sink, 0) <= 0) return;
    }
}

}  // namespace ph::test
