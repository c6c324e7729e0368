#pragma once
// A server on 127.0.0.1 that plays a script to the one client that connects: pieces of a reply
// with pauses between them, reading what the client sends, closing, or falling silent (after
// the last step it keeps the connection open until the client closes or the server is
// destroyed). With a TlsIdentity it speaks TLS with that certificate.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ph::test {

struct ServerStep {
    enum Kind { kSend, kPause, kClose, kExpect, kExpectCloseNotify } kind;
    std::string bytes;
    int ms = 0;
};

inline ServerStep Send(std::string bytes) {
    return {ServerStep::kSend, std::move(bytes)};
}
inline ServerStep Pause(int ms) {
    return {ServerStep::kPause, {}, ms};
}
inline ServerStep Close() {
    return {ServerStep::kClose, {}};
}
// Reads until `bytes` more have come and keeps them for Received().
inline ServerStep Expect(std::string bytes) {
    return {ServerStep::kExpect, std::move(bytes)};
}
// Reads until the client's closing alert (or the end of the connection).
inline ServerStep ExpectCloseNotify() {
    return {ServerStep::kExpectCloseNotify, {}};
}
// One send per byte with a pause after each, so that the client receives them one by one.
std::vector<ServerStep> Trickle(const std::string& bytes, int pauseMs);

struct TlsIdentity {
    std::string certFile;
    std::string keyFile;
    std::string ocspStaple;  // DER; sent when the client asks for the status and not empty
};

class LoopbackServer {
public:
    explicit LoopbackServer(std::vector<ServerStep> script, const TlsIdentity* tls = nullptr);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return m_port; }
    // Waits until the script has run to its end (a silent end lasts until the client closes).
    void Join();
    std::string Received() const;
    bool SawCloseNotify() const { return m_sawCloseNotify; }

private:
    struct Connection;
    void Run();
    bool PauseFor(int ms);
    void Linger(int fd);

    std::vector<ServerStep> m_script;
    const TlsIdentity* m_tls;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_sawCloseNotify{false};
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::string m_received;  // guarded by m_lock
    std::thread m_thread;
};

}  // namespace ph::test
