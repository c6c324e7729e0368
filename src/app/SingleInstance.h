#pragma once
// One program per user: the first instance holds a lock on a file named after the program's
// mutex text and listens on a local socket beside it; a later start finds the lock taken and
// asks the running one, over that socket, to show its window.
#include <string>
#include <vector>

namespace ph {

inline constexpr char kInstanceMutexName[] = "POSTHARBOUR-0D9847E0-F889-11d6-B807-00E0296A1666";

// $XDG_RUNTIME_DIR, else a private directory /tmp/postharbour-<uid> (made when missing); empty
// when neither can be used safely.
std::string InstanceDirectory();

class SingleInstance {
public:
    enum class Role {
        First,           // we hold the lock (and, unless the socket failed, listen for requests)
        AlreadyRunning,  // another process holds it
        Unguarded,       // the lock could not be taken at all; run without the guard
    };

    // Takes the lock in `directory` when it is free. Touches nothing when another instance runs.
    explicit SingleInstance(const std::string& directory);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    Role GetRole() const { return m_role; }
    bool IsFirst() const { return m_role == Role::First; }

    // For a later instance: asks the first to show its window. False when no instance answered
    // within about a second (it may still be starting, or it went away).
    bool AskFirstToShow() const;

    // For the first instance: true when at least one show request came in since the last call.
    // Never blocks, so the frame timer can call it on every tick.
    bool TakeShowRequest();
    // The listening socket, for a front end that would rather be woken when a request arrives
    // than poll; -1 when there is none.
    int RequestFd() const { return m_listenFd; }

    const std::string& LockPath() const { return m_lockPath; }
    const std::string& SocketPath() const { return m_socketPath; }

private:
    void Listen();

    struct Pending {
        int fd;
        std::string received;
    };

    Role m_role = Role::Unguarded;
    std::string m_lockPath;
    std::string m_socketPath;
    int m_lockFd = -1;
    int m_listenFd = -1;
    std::vector<Pending> m_pending;  // connections whose request has not fully arrived yet
};

}  // namespace ph
