#pragma once
// Deleting a POP3 account's queued messages on its server, in a worker of its own.
//
// The worker talks through a second Pop3Mail made like the account's (same user, server, TLS
// choice and options, time-outs), so the account's own object keeps its listing and outcome.
// It holds the account's lock for its whole run: no check of the account can start meanwhile,
// and the queued messages it reads and renumbers are not changed under it. It reports through
// the account's delete-finished flag and the deleted count; the interface thread takes it from
// there and finally removes the queued messages locally.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace ph {

class CEmailAccount;
class CEmailMessage;
class Pop3Mail;

class CDeleteAccountMsgsThread {
public:
    // Starts deleting `queue` (messages of `account`, in list order) at once. `deletedCount`
    // goes up by one for every DELE sent. The account, its messages and the count outlive this
    // object. An account without a POP3 access object is finished without a connection.
    CDeleteAccountMsgsThread(CEmailAccount& account, std::vector<CEmailMessage*> queue,
                             std::atomic<int>& deletedCount);
    // Waits for the run to end (it is bounded by the connection's time-outs).
    ~CDeleteAccountMsgsThread();
    CDeleteAccountMsgsThread(const CDeleteAccountMsgsThread&) = delete;
    CDeleteAccountMsgsThread& operator=(const CDeleteAccountMsgsThread&) = delete;

    CEmailAccount& Account() const { return m_account; }
    // The run is over (the account's delete-finished flag is set by then); Join returns at once.
    bool Finished() const { return m_finished; }
    void Join();

private:
    void Run();
    // DELE for every queued message its unique id finds; how many were sent.
    int DeleteByUniqueId();
    // DELE for every listed message whose header fields match a queued one.
    void DeleteByListedFields();
    void Delete(const std::string& number);

    CEmailAccount& m_account;
    const std::vector<CEmailMessage*> m_queue;
    std::atomic<int>& m_deletedCount;
    const std::unique_ptr<Pop3Mail> m_pop;
    std::atomic<bool> m_finished{false};
    std::thread m_thread;  // last: it starts once everything above is in place
};

// DeleteMsgsFromServer for a POP3 account, in the interface thread: every message that is
// marked for delete and not queued yet is queued (and lowers the account's message count),
// the account is marked deleting, and the worker is started and handed to the caller, who
// shows "Deleting from " and the account's address and reaps the worker when it is finished.
// With nothing to queue the account is left delete-finished and no worker is made (null).
// Null, with nothing changed, for an account without a POP3 access object.
std::unique_ptr<CDeleteAccountMsgsThread> DeleteMsgsFromServer(CEmailAccount& account,
                                                               std::atomic<int>& deletedCount);

}  // namespace ph
