#pragma once
// A worker that checks its accounts one after the other, each in one try under the account's
// lock, and leaves every account finished (or still checking, for the kinds whose own window
// finishes them) for the frame's completion pass. The thread is joined when the object goes.
#include <atomic>
#include <thread>
#include <vector>

namespace ph {

class CEmailAccount;

class CCheckMailThread {
public:
    CCheckMailThread() = default;
    // Asks the thread to stop between steps and waits for it.
    ~CCheckMailThread();
    CCheckMailThread(const CCheckMailThread&) = delete;
    CCheckMailThread& operator=(const CCheckMailThread&) = delete;

    // Before Start only. The accounts outlive the thread.
    void AddAccount(CEmailAccount& account) { m_accounts.push_back(&account); }
    const std::vector<CEmailAccount*>& Accounts() const { return m_accounts; }
    void Start();
    bool Started() const { return m_thread.joinable(); }
    // Every account of the thread has had its turn.
    bool Finished() const { return m_finished; }

private:
    void Run();
    void CheckAccount(CEmailAccount& account, bool first);
    // Sleeps `ms` in short slices; false when asked to stop meanwhile.
    bool Pause(unsigned ms) const;
    bool StopAsked(const CEmailAccount& account) const;

    std::vector<CEmailAccount*> m_accounts;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};

}  // namespace ph
