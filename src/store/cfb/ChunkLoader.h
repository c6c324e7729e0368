#pragma once
// Reads pieces of a file on a helper thread, so that a walk through a large store finds the
// next chunks in memory instead of waiting for each copy out of the page cache. Copying a
// store of 100,000 messages out of the page cache takes about as long as everything else a
// walk does; on a second core the two overlap.
//
// Used by one thread (the owner); the helper only runs the reads it is given. A buffer handed
// to Queue belongs to the helper until IsDone says its read is done, or Withdraw has taken
// the read back.
//
// The helper runs at the lowest priority: it uses a core nobody else wants and never competes
// with the owner or other programs. So the owner never blocks on it: it takes back a read
// that has not started, waits only briefly for one under way (AwaitBriefly), and gives up on
// a queue the helper is holding at that moment.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace ph::cfb {

class ChunkLoader {
public:
    // Tickets name the reads in flight; each is a number below kMaxTickets.
    static constexpr unsigned kMaxTickets = 64;

    // `fd` must stay open until this object is gone.
    explicit ChunkLoader(int fd);
    // Waits for the read under way, if any; queued ones are dropped.
    ~ChunkLoader();
    ChunkLoader(const ChunkLoader&) = delete;
    ChunkLoader& operator=(const ChunkLoader&) = delete;

    // Queues a read of `size` bytes at `offset` into `buffer` under `ticket`, which must not
    // be in flight. False, with nothing queued, when there is no helper thread or it is busy
    // with the queue just now. The helper is not woken until Start, so that several reads
    // cost one wake-up.
    bool Queue(unsigned ticket, uint64_t offset, char* buffer, size_t size);
    void Start();
    // Whether the read of a ticket in flight is done.
    bool IsDone(unsigned ticket) const {
        return m_results[ticket].load(std::memory_order_acquire) != kPending;
    }
    // Waits a little (about as long as a chunk takes to read) for the read of a ticket in
    // flight; whether it is done.
    bool AwaitBriefly(unsigned ticket) const;
    // For a ticket whose read is done: the count read (short only at the end of the file), or
    // -1 on an I/O error. The ticket is free again.
    int64_t Result(unsigned ticket) const {
        return m_results[ticket].load(std::memory_order_acquire);
    }
    // Takes back the read of `ticket` if it has not started (Withdrawn: the ticket is free
    // again). The owner would rather read for itself than wait behind other reads, or for a
    // helper the system has not got round to running. Started: the read is under way or done.
    // Busy: the helper holds the queue just now, most likely put off in the middle of taking
    // a job; the read is still the helper's.
    enum class Withdrawal { Withdrawn, Started, Busy };
    Withdrawal Withdraw(unsigned ticket);

private:
    static constexpr int64_t kPending = INT64_MIN;
    struct Job {
        unsigned ticket;
        uint64_t offset;
        char* buffer;
        size_t size;
    };
    void Run();

    const int m_fd;
    std::mutex m_lock;
    std::condition_variable m_wake;  // the helper waits here for jobs or the stop
    std::deque<Job> m_jobs;          // guarded by m_lock
    bool m_stop = false;             // guarded by m_lock
    // Stored by the helper when a read is done, read by the owner without a lock.
    std::array<std::atomic<int64_t>, kMaxTickets> m_results;
    std::thread m_helper;        // started by the first Queue
    bool m_unavailable = false;  // owner only: a helper could not be started
};

}  // namespace ph::cfb
