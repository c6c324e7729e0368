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

ChunkCache::Chunk* ChunkCache::Acquire(uint64_t index) {
    // Most reads fall in the chunk of the read before.
    if (m_last && m_last->index == index) return m_last;
    Chunk* victim = &m_chunks[0];
    Chunk* found = nullptr;
    for (Chunk& c : m_chunks) {
        if (c.index == index) {
            found = &c;
            break;
        }
        if (c.lastUse < victim->lastUse) victim = &c;
    }
    if (!found) {
        if (!m_memory) {
            m_memory = std::make_unique<TableBlock>(kChunkCount * kChunkSize);
            for (size_t i = 0; i < kChunkCount; ++i) m_chunks[i].data = m_memory->Data() + i * kChunkSize;
        }
        victim->index = UINT64_MAX;
        const int64_t got = PreadAll(m_fd, index * kChunkSize, victim->data, kChunkSize);
        if (got < 0) return nullptr;
        victim->index = index;
        victim->valid = static_cast<size_t>(got);
        found = victim;
    }
    found->lastUse = ++m_clock;
    m_last = found;
    return found;
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

void ChunkCache::GrowTo(Chunk& c, uint64_t fileEnd) {
    // Invariant: a chunk shorter than a whole one ends where the file ends.
    const uint64_t chunkStart = c.index * kChunkSize;
    if (c.valid == kChunkSize || fileEnd <= chunkStart + c.valid) return;
    const size_t valid = static_cast<size_t>(std::min<uint64_t>(kChunkSize, fileEnd - chunkStart));
    std::memset(c.data + c.valid, 0, valid - c.valid);
    c.valid = valid;
}

void ChunkCache::Written(uint64_t offset, const void* data, size_t size) {
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
