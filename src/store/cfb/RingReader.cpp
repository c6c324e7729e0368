#include "store/cfb/RingReader.h"

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "store/cfb/ChunkCache.h"

namespace ph::cfb {
namespace {

constexpr unsigned kRingEntries = 256;
// How often, and how far apart, a ring with reads under way is entered again after it failed.
constexpr int kEnterFailuresMax = 2000;
constexpr useconds_t kEnterRetryUs = 1000;

unsigned Acquired(unsigned* shared) {
    return std::atomic_ref<unsigned>(*shared).load(std::memory_order_acquire);
}
void Release(unsigned* shared, unsigned value) {
    std::atomic_ref<unsigned>(*shared).store(value, std::memory_order_release);
}

void Unmap(void* address, size_t size) {
    if (address && address != MAP_FAILED) ::munmap(address, size);
}

}  // namespace

RingReader::~RingReader() {
    Unmap(m_sqes.address, m_sqes.size);
    if (m_cqRing.address != m_sqRing.address) Unmap(m_cqRing.address, m_cqRing.size);
    Unmap(m_sqRing.address, m_sqRing.size);
    if (m_ring >= 0) ::close(m_ring);
}

bool RingReader::Ready() {
    if (m_unavailable) return false;
    if (m_ring >= 0) return true;
    m_unavailable = true;  // until everything below has worked
    io_uring_params params{};
    const long ring = ::syscall(__NR_io_uring_setup, kRingEntries, &params);
    if (ring < 0) return false;
    m_ring = static_cast<int>(ring);
    auto map = [this](Mapping& m, size_t size, off_t what) {
        m.size = size;
        m.address =
            ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, m_ring, what);
        return m.address != MAP_FAILED;
    };
    const size_t sqSize = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    const size_t cqSize = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    if (params.features & IORING_FEAT_SINGLE_MMAP) {
        // One mapping holds both rings.
        if (!map(m_sqRing, std::max(sqSize, cqSize), IORING_OFF_SQ_RING)) return false;
        m_cqRing = m_sqRing;
    } else if (!map(m_sqRing, sqSize, IORING_OFF_SQ_RING) ||
               !map(m_cqRing, cqSize, IORING_OFF_CQ_RING)) {
        return false;
    }
    if (!map(m_sqes, params.sq_entries * sizeof(io_uring_sqe), IORING_OFF_SQES)) return false;
    auto* sq = static_cast<char*>(m_sqRing.address);
    auto* cq = static_cast<char*>(m_cqRing.address);
    m_sqTail = reinterpret_cast<unsigned*>(sq + params.sq_off.tail);
    m_sqMask = reinterpret_cast<unsigned*>(sq + params.sq_off.ring_mask);
    m_sqArray = reinterpret_cast<unsigned*>(sq + params.sq_off.array);
    m_cqHead = reinterpret_cast<unsigned*>(cq + params.cq_off.head);
    m_cqTail = reinterpret_cast<unsigned*>(cq + params.cq_off.tail);
    m_cqMask = reinterpret_cast<unsigned*>(cq + params.cq_off.ring_mask);
    m_cqes = cq + params.cq_off.cqes;
    m_entries = std::min(params.sq_entries, params.cq_entries);
    m_unavailable = false;
    return true;
}

bool RingReader::RunBatch(const std::vector<ReadPiece>& pieces, size_t first, size_t count,
                          std::vector<int64_t>& got) {
    auto* sqes = static_cast<io_uring_sqe*>(m_sqes.address);
    const unsigned tail = *m_sqTail;  // only this thread moves it
    for (size_t k = 0; k < count; ++k) {
        const ReadPiece& piece = pieces[first + k];
        const unsigned slot = (tail + static_cast<unsigned>(k)) & *m_sqMask;
        io_uring_sqe& sqe = sqes[slot];
        std::memset(&sqe, 0, sizeof sqe);
        sqe.opcode = IORING_OP_READ;
        sqe.fd = m_fd;
        sqe.off = piece.offset;
        sqe.addr = reinterpret_cast<uint64_t>(piece.buffer);
        sqe.len = static_cast<uint32_t>(piece.size);
        sqe.user_data = first + k;
        m_sqArray[slot] = slot;
    }
    Release(m_sqTail, tail + static_cast<unsigned>(count));
    size_t reaped = 0;
    size_t toSubmit = count;
    int failures = 0;
    auto* cqes = static_cast<io_uring_cqe*>(m_cqes);
    while (reaped < count) {
        const long entered = ::syscall(__NR_io_uring_enter, m_ring, toSubmit, count - reaped,
                                       IORING_ENTER_GETEVENTS, nullptr, 0);
        if (entered > 0) toSubmit -= std::min<size_t>(toSubmit, static_cast<size_t>(entered));
        if (entered < 0 && errno != EINTR) {
            // Nothing under way: what is not read yet is the caller's to do.
            if (count - toSubmit == reaped) return false;
            // Reads under way write into the caller's buffers whatever happens here, so they
            // are waited for (a full ring or a short lack of memory passes) before those
            // buffers can go back; a ring that keeps failing gets a bounded time.
            if (++failures > kEnterFailuresMax) return false;
            ::usleep(kEnterRetryUs);
        }
        unsigned head = *m_cqHead;
        const unsigned ready = Acquired(m_cqTail);
        for (; head != ready; ++head, ++reaped) {
            const io_uring_cqe& cqe = cqes[head & *m_cqMask];
            got[cqe.user_data] = cqe.res;
        }
        Release(m_cqHead, head);
    }
    return true;
}

bool RingReader::Read(const std::vector<ReadPiece>& pieces, std::vector<int64_t>& got) {
    got.assign(pieces.size(), -1);
    if (pieces.size() > 1 && Ready()) {
        for (size_t first = 0; first < pieces.size(); first += m_entries) {
            if (!RunBatch(pieces, first, std::min<size_t>(m_entries, pieces.size() - first), got)) {
                // Not to be trusted any more: the rest (and anything unfinished) is read below.
                m_unavailable = true;
                break;
            }
        }
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        const ReadPiece& piece = pieces[i];
        // The ring's answer stands when it is whole or ends at the end of the file; anything
        // else (an error, a read cut short) is done again, or finished, the ordinary way.
        int64_t& count = got[i];
        if (count == static_cast<int64_t>(piece.size)) continue;
        const size_t have = count > 0 ? static_cast<size_t>(count) : 0;
        const int64_t more =
            PreadAll(m_fd, piece.offset + have, piece.buffer + have, piece.size - have);
        if (more < 0) return false;
        count = static_cast<int64_t>(have) + more;
    }
    return true;
}

}  // namespace ph::cfb
