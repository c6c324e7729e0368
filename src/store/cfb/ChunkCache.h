#pragma once
// Aligned chunks of an open file kept in memory, so that a walk through records costs one
// system call per chunk instead of one per record. Writes through the owner keep every
// cached chunk equal to the file.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "store/cfb/LargeTable.h"

namespace ph::cfb {

// pread until `size` bytes are in or the file ends; the count read, or -1 on an I/O error.
int64_t PreadAll(int fd, uint64_t offset, void* buffer, size_t size);

class ChunkCache {
public:
    static constexpr size_t kChunkSize = 64 * 1024;
    static constexpr size_t kChunkCount = 32;

    // `fd` stays open for the life of this object.
    explicit ChunkCache(int fd) : m_fd(fd) {}
    ChunkCache(const ChunkCache&) = delete;
    ChunkCache& operator=(const ChunkCache&) = delete;

    // Copies what the file holds of [offset, offset + size) into `buffer`; the count copied
    // (short only at the end of the file), or -1 on an I/O error.
    int64_t Read(uint64_t offset, void* buffer, size_t size);
    // The owner wrote `size` bytes at `offset`, or cut (or zero-extended) the file to `size`:
    // cached chunks follow.
    void Written(uint64_t offset, const void* data, size_t size);
    void Truncated(uint64_t size);

private:
    struct Chunk {
        uint64_t index = UINT64_MAX;  // UINT64_MAX: holds nothing
        size_t valid = 0;             // bytes of the chunk that exist in the file
        uint64_t lastUse = 0;
        char* data = nullptr;  // in m_memory
    };

    // The chunk holding file chunk `index`, read when needed; null on an I/O error.
    Chunk* Acquire(uint64_t index);
    // The file now runs to `fileEnd` at least: a chunk that held its old end takes in the
    // new bytes as zeros.
    static void GrowTo(Chunk& c, uint64_t fileEnd);

    const int m_fd;
    std::unique_ptr<TableBlock> m_memory;  // every chunk's bytes, taken at the first read
    std::array<Chunk, kChunkCount> m_chunks;
    Chunk* m_last = nullptr;  // the chunk of the previous read
    uint64_t m_clock = 0;
};

}  // namespace ph::cfb
