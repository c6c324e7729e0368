#include "store/cfb/ChunkCache.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ph::cfb {

int64_t PreadAll(int fd, uint64_t offset, void* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, static_cast<char*>(buffer) + done, size - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

ChunkCache::Chunk* ChunkCache::Find(uint64_t index) {
    for (Chunk& c : m_chunks)
        if (c.index == index) return &c;
    return nullptr;
}

ChunkCache::Chunk* ChunkCache::Victim() {
    Chunk* victim = nullptr;
    for (Chunk& c : m_chunks) {
        if (c.loading) continue;
        if (c.index == UINT64_MAX) return &c;
        if (!victim || (victim->expected && !c.expected) ||
            (victim->expected == c.expected && c.lastUse < victim->lastUse))
            victim = &c;
    }
    return victim;
}

void ChunkCache::AllocateMemory() {
    m_memory = std::make_unique<TableBlock>(kChunkCount * kChunkSize);
    for (size_t i = 0; i < kChunkCount; ++i) m_chunks[i].data = m_memory->Data() + i * kChunkSize;
}

bool ChunkCache::Collect(Chunk& c) {
    const int64_t got = m_loader.Result(TicketOf(c));
    c.loading = false;
    --m_loading;
    if (got < 0) {
        c.index = UINT64_MAX;
        return false;
    }
    c.valid = static_cast<size_t>(got);
    return true;
}

void ChunkCache::CollectDone() {
    for (Chunk& c : m_chunks)
        if (c.loading && m_loader.IsDone(TicketOf(c))) Collect(c);
}

ChunkCache::Chunk* ChunkCache::Acquire(uint64_t index) {
    // Most reads fall in the chunk of the read before, or of the one before that.
    if (m_last && m_last->index == index) return m_last;
    if (m_previous && m_previous->index == index && !m_previous->loading) {
        std::swap(m_last, m_previous);
        m_last->lastUse = ++m_clock;
        return m_last;
    }
    Chunk* c = Find(index);
    bool here = c != nullptr;
    if (c && c->loading) {
        const unsigned ticket = TicketOf(*c);
        using Withdrawal = ChunkLoader::Withdrawal;
        const Withdrawal withdrawal =
            m_loader.IsDone(ticket) ? Withdrawal::Started : m_loader.Withdraw(ticket);
        if (withdrawal == Withdrawal::Withdrawn) {
            // Not started: reading it now beats waiting behind the reads queued before it.
            c->loading = false;
            --m_loading;
            here = false;
        } else if (withdrawal == Withdrawal::Started && m_loader.AwaitBriefly(ticket)) {
            if (!Collect(*c)) return nullptr;
        } else {
            // The helper has been put off: the chunk is read into another place, and this
            // one stays the helper's, holding nothing, until its read is collected.
            c->index = UINT64_MAX;
            c = nullptr;
            here = false;
        }
    }
    if (!here) {
        if (!m_memory) AllocateMemory();
        if (!c) c = Victim();  // there is one: at most kReadAhead chunks are loading
        c->index = UINT64_MAX;
        const int64_t got = PreadAll(m_fd, index * kChunkSize, c->data, kChunkSize);
        if (got < 0) return nullptr;
        c->index = index;
        c->valid = static_cast<size_t>(got);
    }
    c->lastUse = ++m_clock;
    c->expected = false;
    if (m_last != c) m_previous = m_last;
    m_last = c;
    return c;
}

bool ChunkCache::QueueAhead(uint64_t index) {
    if (m_loading >= kReadAhead) CollectDone();
    if (m_loading >= kReadAhead) return false;
    if (!m_memory) AllocateMemory();
    Chunk* c = Victim();
    if (c == m_last || c == m_previous) return false;
    c->index = index;
    c->valid = 0;
    c->lastUse = ++m_clock;
    c->expected = true;
    if (!m_loader.Queue(TicketOf(*c), index * kChunkSize, c->data, kChunkSize)) {
        c->index = UINT64_MAX;
        c->expected = false;
        return false;
    }
    c->loading = true;
    ++m_loading;
    return true;
}

void ChunkCache::Expect(uint64_t offset, uint64_t size) {
    if (size == 0 || offset >= m_fileSize) return;
    const uint64_t last = (std::min(offset + size, m_fileSize) - 1) / kChunkSize;
    bool queued = false;
    for (uint64_t index = offset / kChunkSize; index <= last; ++index) {
        if (index == m_lastExpected) continue;
        m_lastExpected = index;
        if (Find(index)) continue;
        if (!QueueAhead(index)) break;
        queued = true;
    }
    if (queued) m_loader.Start();
}

void ChunkCache::LetGoOfLoading() {
    m_lastExpected = UINT64_MAX;
    for (Chunk& c : m_chunks)
        if (c.loading) c.index = UINT64_MAX;
}

int64_t ChunkCache::Read(uint64_t offset, void* buffer, size_t size) {
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const uint64_t at = offset + done;
        const Chunk* c = Acquire(at / kChunkSize);
        if (!c) return -1;
        const size_t within = static_cast<size_t>(at % kChunkSize);
        if (within >= c->valid) break;
        const size_t n = std::min(size - done, c->valid - within);
        std::memcpy(out + done, c->data + within, n);
        done += n;
    }
    return static_cast<int64_t>(done);
}

const char* ChunkCache::Peek(uint64_t offset, size_t& size) {
    const Chunk* c = Acquire(offset / kChunkSize);
    if (!c) return nullptr;
    const size_t within = static_cast<size_t>(offset % kChunkSize);
    // A view shorter than asked for ends at the chunk's end, never where the file does.
    if (within + size > c->valid) {
        if (c->valid < kChunkSize) return nullptr;
        size = kChunkSize - within;
    }
    return c->data + within;
}

void ChunkCache::GrowTo(Chunk& c, uint64_t fileEnd) {
    // Invariant: a chunk shorter than a whole one ends where the file ends.
    const uint64_t chunkStart = c.index * kChunkSize;
    if (c.valid == kChunkSize || fileEnd <= chunkStart + c.valid) return;
    const size_t valid = static_cast<size_t>(std::min<uint64_t>(kChunkSize, fileEnd - chunkStart));
    std::memset(c.data + c.valid, 0, valid - c.valid);
    c.valid = valid;
}

void ChunkCache::Written(uint64_t offset, const void* data, size_t size) {
    LetGoOfLoading();
    m_fileSize = std::max<uint64_t>(m_fileSize, offset + size);
    for (Chunk& c : m_chunks) {
        if (c.index == UINT64_MAX) continue;
        GrowTo(c, offset + size);
        const uint64_t chunkStart = c.index * kChunkSize;
        const uint64_t from = std::max(offset, chunkStart);
        const uint64_t to = std::min<uint64_t>(offset + size, chunkStart + c.valid);
        if (from >= to) continue;
        std::memcpy(c.data + (from - chunkStart), static_cast<const char*>(data) + (from - offset), to - from);
    }
}

void ChunkCache::Truncated(uint64_t size) {
    LetGoOfLoading();
    m_fileSize = size;
    for (Chunk& c : m_chunks) {
        if (c.index == UINT64_MAX) continue;
        const uint64_t chunkStart = c.index * kChunkSize;
        if (chunkStart >= size)
            c.index = UINT64_MAX;
        else if (size - chunkStart < c.valid)
            c.valid = static_cast<size_t>(size - chunkStart);
        else
            GrowTo(c, size);
    }
}

}  // namespace ph::cfb
