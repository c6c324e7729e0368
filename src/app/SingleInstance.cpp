#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/Format.h"
#include "common/Trace.h"

namespace ph {
namespace {

constexpr std::string_view kShowRequest = "show\n";
constexpr size_t kMaxPending = 16;
constexpr size_t kMaxRequestBytes = 64;

bool FillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

}  // namespace

std::string InstanceDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        struct stat st {};
        if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) return runtime;
    }
    // /tmp is shared with every user: the directory must be ours alone, or anyone could hold
    // our lock or answer in our place.
    const uid_t uid = ::getuid();
    const std::string dir = Format("/tmp/postharbour-%lu", static_cast<unsigned long>(uid));
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 077) != 0) {
        Trace("instance directory %s is not private, running without the single-instance guard", dir.c_str());
        return {};
    }
    return dir;
}

SingleInstance::SingleInstance(const std::string& directory) {
    if (directory.empty()) return;
    m_lockPath = directory + "/" + kInstanceMutexName + ".lock";
    m_socketPath = directory + "/" + kInstanceMutexName + ".sock";
    m_lockFd = ::open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lockFd < 0) {
        Trace("cannot open %s: %s", m_lockPath.c_str(), std::strerror(errno));
        return;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(m_lockFd);
        m_lockFd = -1;
        if (err == EWOULDBLOCK) m_role = Role::AlreadyRunning;
        else Trace("cannot lock %s: %s", m_lockPath.c_str(), std::strerror(err));
        return;
    }
    m_role = Role::First;
    Listen();
}

void SingleInstance::Listen() {
    sockaddr_un addr;
    if (!FillAddress(m_socketPath, addr)) {
        Trace("socket path %s is too long, show requests are not taken", m_socketPath.c_str());
        return;
    }
    // Holding the lock means no live instance owns a socket here: whatever is there was left by
    // one that crashed, and would make bind fail.
    ::unlink(m_socketPath.c_str());
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) return;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_listenFd, 8) != 0) {
        Trace("cannot listen on %s: %s", m_socketPath.c_str(), std::strerror(errno));
        ::close(m_listenFd);
        m_listenFd = -1;
    }
}

SingleInstance::~SingleInstance() {
    for (const Pending& p : m_pending) ::close(p.fd);
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        // Removed while we still hold the lock, so we never remove a successor's socket.
        ::unlink(m_socketPath.c_str());
    }
    if (m_lockFd >= 0) ::close(m_lockFd);
}

bool SingleInstance::AskFirstToShow() const {
    sockaddr_un addr;
    if (m_role != Role::AlreadyRunning || !FillAddress(m_socketPath, addr)) return false;
    // The first instance takes the lock a moment before it listens; a start in that gap retries
    // briefly instead of giving up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        timeval timeout{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            const ssize_t sent = ::send(fd, kShowRequest.data(), kShowRequest.size(), MSG_NOSIGNAL);
            ::close(fd);
            return sent == static_cast<ssize_t>(kShowRequest.size());
        }
        const int err = errno;
        ::close(fd);
        if ((err != ENOENT && err != ECONNREFUSED && err != EAGAIN) || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool SingleInstance::TakeShowRequest() {
    if (m_listenFd < 0) return false;
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        if (m_pending.size() == kMaxPending) {
            ::close(m_pending.front().fd);
            m_pending.erase(m_pending.begin());
        }
        m_pending.push_back({fd, {}});
    }

    bool requested = false;
    for (size_t i = 0; i < m_pending.size();) {
        Pending& p = m_pending[i];
        bool done = false;
        for (;;) {
            char buf[kMaxRequestBytes];
            const ssize_t n = ::recv(p.fd, buf, sizeof buf, 0);
            if (n > 0) {
                p.received.append(buf, static_cast<size_t>(n));
                if (p.received.size() <= kMaxRequestBytes) continue;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A request may arrive in pieces: wait for the rest on a later call.
                if (p.received.find(kShowRequest) == std::string::npos) break;
            }
            done = true;  // complete, the sender closed, or it sent more than any request is
            break;
        }
        if (!done) {
            ++i;
            continue;
        }
        if (p.received.find(kShowRequest) != std::string::npos) requested = true;
        ::close(p.fd);
        m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return requested;
}

}  // namespace ph
