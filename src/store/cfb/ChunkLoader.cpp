#include "store/cfb/ChunkLoader.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

#include "store/cfb/ChunkCache.h"

namespace ph::cfb {
namespace {

// A read of a chunk takes a few tens of microseconds. Sleeping and being woken costs about as
// much on the virtual machines we run on, so a brief wait looks again and again instead.
constexpr auto kBriefWait = std::chrono::microseconds(40);

void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

}  // namespace

ChunkLoader::ChunkLoader(int fd) : m_fd(fd) {
    for (auto& result : m_results) result.store(kPending, std::memory_order_relaxed);
}

ChunkLoader::~ChunkLoader() {
    if (!m_helper.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
        m_jobs.clear();
    }
    m_wake.notify_one();
    m_helper.join();
}

bool ChunkLoader::Queue(unsigned ticket, uint64_t offset, char* buffer, size_t size) {
    if (m_unavailable || ticket >= kMaxTickets) return false;
    if (!m_helper.joinable()) {
        try {
            m_helper = std::thread(&ChunkLoader::Run, this);
        } catch (const std::system_error&) {
            // Out of threads: the owner reads for itself, as it would without this object.
            m_unavailable = true;
            return false;
        }
    }
    std::unique_lock<std::mutex> lock(m_lock, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    m_results[ticket].store(kPending, std::memory_order_relaxed);
    m_jobs.push_back({ticket, offset, buffer, size});
    return true;
}

void ChunkLoader::Start() {
    m_wake.notify_one();
}

bool ChunkLoader::AwaitBriefly(unsigned ticket) const {
    const auto until = std::chrono::steady_clock::now() + kBriefWait;
    while (!IsDone(ticket)) {
        for (int spin = 0; spin < 64; ++spin) Pause();
        if (std::chrono::steady_clock::now() > until) return IsDone(ticket);
    }
    return true;
}

ChunkLoader::Withdrawal ChunkLoader::Withdraw(unsigned ticket) {
    std::unique_lock<std::mutex> lock(m_lock, std::try_to_lock);
    if (!lock.owns_lock()) return Withdrawal::Busy;
    for (auto it = m_jobs.begin(); it != m_jobs.end(); ++it) {
        if (it->ticket == ticket) {
            m_jobs.erase(it);
            return Withdrawal::Withdrawn;
        }
    }
    return Withdrawal::Started;
}

void ChunkLoader::Run() {
    // Lowest priority for this thread alone (a thread's nice value is its own on Linux). A
    // refusal leaves it at the owner's priority, which is only less polite.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_stop) return;
        const Job job = m_jobs.front();
        m_jobs.pop_front();
        lock.unlock();
        m_results[job.ticket].store(PreadAll(m_fd, job.offset, job.buffer, job.size),
                                    std::memory_order_release);
        lock.lock();
    }
}

}  // namespace ph::cfb
