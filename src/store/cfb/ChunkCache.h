#pragma once
// Aligned chunks of an open file kept in memory, so that a walk through records costs one
// system call per chunk instead of one per record. Writes through the owner keep every
// cached chunk equal to the file.
//
// Chunks a walk announces (Expect) are read on a helper thread (ChunkLoader), so the copy out
// of the page cache overlaps the work on the chunks already here. Nothing announced, nothing
// read ahead: a file used a record at a time never starts the helper.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "store/cfb/ChunkLoader.h"
#include "store/cfb/LargeTable.h"

namespace ph::cfb {

// pread until `size` bytes are in or the file ends; the count read, or -1 on an I/O error.
int64_t PreadAll(int fd, uint64_t offset, void* buffer, size_t size);

class ChunkCache {
public:
    static constexpr size_t kChunkSize = 128 * 1024;
    static constexpr size_t kChunkCount = 32;
    // Chunks being read ahead at most; well below kChunkCount, so that the chunks a walk
    // still uses are not given up for them.
    static constexpr size_t kReadAhead = 16;
    static_assert(kChunkCount <= ChunkLoader::kMaxTickets);

    // `fd` stays open for the life of this object; the file holds `fileSize` bytes.
    ChunkCache(int fd, uint64_t fileSize) : m_fd(fd), m_fileSize(fileSize), m_loader(fd) {}
    ChunkCache(const ChunkCache&) = delete;
    ChunkCache& operator=(const ChunkCache&) = delete;

    // Copies what the file holds of [offset, offset + size) into `buffer`; the count copied
    // (short only at the end of the file), or -1 on an I/O error.
    int64_t Read(uint64_t offset, void* buffer, size_t size);
    // The cached bytes at `offset`, the chunk read when needed: `size` of them, or fewer up to
    // the end of the chunk. Null on an I/O error or when the file ends before; valid until the
    // next call.
    const char* Peek(uint64_t offset, size_t& size);
    // [offset, offset + size) will be read soon: the chunks holding it that are not here are
    // read ahead, as far as there is room.
    void Expect(uint64_t offset, uint64_t size);
    // The owner wrote `size` bytes at `offset`, or cut (or zero-extended) the file to `size`:
    // cached chunks follow. Chunks the helper is reading may hold bytes from before the
    // change: they are let go of (see LetGoOfLoading).
    void Written(uint64_t offset, const void* data, size_t size);
    void Truncated(uint64_t size);

private:
    struct Chunk {
        uint64_t index = UINT64_MAX;  // UINT64_MAX: holds nothing
        size_t valid = 0;             // bytes of the chunk that exist in the file
        uint64_t lastUse = 0;
        char* data = nullptr;  // in m_memory
        // Being read by the helper: `data` and `valid` are not ours until it is collected.
        bool loading = false;
        // Read ahead and not used yet: the walk is on its way here.
        bool expected = false;
    };

    Chunk* Find(uint64_t index);
    // The chunk to give up for another: an empty one, else the least recently used one that
    // is not expected, else the oldest expected one; never one that is loading.
    Chunk* Victim();
    // The chunk holding file chunk `index`, read when needed; null on an I/O error.
    Chunk* Acquire(uint64_t index);
    // Takes over a chunk whose read the helper has done; false (the chunk emptied) on an
    // I/O error.
    bool Collect(Chunk& c);
    // Takes over every chunk the helper has finished with.
    void CollectDone();
    // Queues file chunk `index` for the helper; false when there is no room or no helper.
    bool QueueAhead(uint64_t index);
    // The chunks the helper holds will hold nothing once it is done with them: whatever
    // they read may be older than a change the owner has just made.
    void LetGoOfLoading();
    void AllocateMemory();
    // The file now runs to `fileEnd` at least: a chunk that held its old end takes in the
    // new bytes as zeros.
    static void GrowTo(Chunk& c, uint64_t fileEnd);
    unsigned TicketOf(const Chunk& c) const { return static_cast<unsigned>(&c - m_chunks.data()); }

    const int m_fd;
    uint64_t m_fileSize;
    std::unique_ptr<TableBlock> m_memory;  // every chunk's bytes, taken at the first read
    std::array<Chunk, kChunkCount> m_chunks;
    Chunk* m_last = nullptr;      // the chunk of the previous read
    Chunk* m_previous = nullptr;  // the one before: walks often take turns between two
    uint64_t m_clock = 0;
    uint64_t m_lastExpected = UINT64_MAX;  // announcements mostly repeat the chunk before
    size_t m_loading = 0;                  // chunks the helper holds
    // Declared after the memory it reads into, so that it is stopped before that goes.
    ChunkLoader m_loader;
};

}  // namespace ph::cfb
