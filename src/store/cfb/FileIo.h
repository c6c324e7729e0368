#pragma once
// The file interface the compound-file engine writes through. Keeping it this small lets the
// crash tests put a double underneath that fails the Nth write or forgets what was not synced.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/cfb/ChunkCache.h"
#include "store/cfb/RingReader.h"

namespace ph::cfb {

class IFile {
public:
    virtual ~IFile() = default;
    // Reads up to `size` bytes at `offset`; returns the count read (short only at end of file),
    // or -1 on an I/O error. Meant for reads near earlier ones (a walk through a stream).
    virtual int64_t ReadAt(uint64_t offset, void* buffer, size_t size) = 0;
    // The same for a read with no neighbours to expect (scattered metadata).
    virtual int64_t ReadIsolated(uint64_t offset, void* buffer, size_t size) {
        return ReadAt(offset, buffer, size);
    }
    // Reads every piece, each as ReadIsolated would, and gives each one's count in `got`;
    // false on an I/O error. For many scattered reads at once, which a file may do with fewer
    // system calls than one each.
    virtual bool ReadBatch(const std::vector<ReadPiece>& pieces, std::vector<int64_t>& got);
    // The bytes at `offset` where the file already holds them in memory, so that a reader
    // can take them from there without a copy: null, or a view of `size` bytes, or fewer when
    // the view ends at a multiple of 64 KB. Valid until the next call on the file.
    virtual const char* Peek(uint64_t /*offset*/, size_t& /*size*/) { return nullptr; }
    // A hint: a walk will read [offset, offset + size) soon. A file may start reading it.
    virtual void ReadSoon(uint64_t /*offset*/, uint64_t /*size*/) {}
    // Writes all of `size` bytes at `offset`, extending the file when needed.
    virtual bool WriteAt(uint64_t offset, const void* data, size_t size) = 0;
    // Makes every earlier write durable.
    virtual bool Sync() = 0;
    virtual bool Truncate(uint64_t size) = 0;
    virtual uint64_t Size() const = 0;
};

// Reads pieces of `pieceSize` bytes at scattered `offsets` into `out` (piece i at
// i * pieceSize) with few system calls: pieces are taken in file order, neighbours with
// small gaps between them are read in one go, and all of it in one batch (ReadBatch).
// Pieces past the end of the file read as zeros.
bool ReadScattered(IFile& file, const std::vector<uint64_t>& offsets, size_t pieceSize, char* out);

// Collects the sector writes of a commit and writes them in file order, adjacent ones in one
// call, so a commit costs a few system calls rather than one per sector.
class WriteBatch {
public:
    void Add(uint64_t offset, const void* data, size_t size);
    bool Flush(IFile& file);
    bool Empty() const { return m_pieces.empty(); }

private:
    struct Piece {
        uint64_t offset;
        std::string bytes;
    };
    std::vector<Piece> m_pieces;
};

// A file on disk, opened read/write and locked exclusively (flock): a second opener, in this
// process or another, is refused while this object lives.
//
// Reads near each other are served from a cache of aligned chunks (ChunkCache), so a walk
// through records costs one system call per chunk instead of one per record; the chunks a
// walk announces (ReadSoon) are read ahead on a helper thread. Writes go straight to the
// file and into the cached chunks, so the cache never holds stale bytes.
// (System calls and page faults are both dear on the machines we run on; a cache filled by
// pread beats mapping the file, whose page-table set-up costs more than the copies.)
class PosixFile final : public IFile {
public:
    // Opens (create: creates or empties) `path`. On failure returns null and says why.
    static std::unique_ptr<PosixFile> Open(const std::string& path, bool create,
                                           std::string* error);
    ~PosixFile() override = default;
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    int64_t ReadAt(uint64_t offset, void* buffer, size_t size) override;
    int64_t ReadIsolated(uint64_t offset, void* buffer, size_t size) override;
    bool ReadBatch(const std::vector<ReadPiece>& pieces, std::vector<int64_t>& got) override {
        return m_batch.Read(pieces, got);
    }
    const char* Peek(uint64_t offset, size_t& size) override;
    void ReadSoon(uint64_t offset, uint64_t size) override { m_cache.Expect(offset, size); }
    bool WriteAt(uint64_t offset, const void* data, size_t size) override;
    bool Sync() override;
    bool Truncate(uint64_t size) override;
    uint64_t Size() const override { return m_size; }

private:
    // Closes the file, and so drops the lock. Declared first: the cache, whose helper thread
    // reads from the file, must be gone before it closes.
    struct Descriptor {
        int fd;
        ~Descriptor();
    };

    PosixFile(int fd, uint64_t size) : m_fd{fd}, m_size(size), m_cache(fd, size), m_batch(fd) {}

    const Descriptor m_fd;
    uint64_t m_size;
    ChunkCache m_cache;
    RingReader m_batch;
};

}  // namespace ph::cfb
