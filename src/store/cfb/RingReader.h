#pragma once
// Reads many scattered pieces of a file with few system calls: through an io_uring when the
// kernel offers one (a call per batch of pieces instead of one each), else one pread each.
// Opening a large store reads its FAT, thousands of sectors one per 64 KB of file, and on the
// virtual machines we run on each system call costs more than the copy it makes.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ph::cfb {

struct ReadPiece {
    uint64_t offset;
    char* buffer;
    size_t size;
};

class RingReader {
public:
    // `fd` must stay open while this object lives.
    explicit RingReader(int fd) : m_fd(fd) {}
    ~RingReader();
    RingReader(const RingReader&) = delete;
    RingReader& operator=(const RingReader&) = delete;

    // Reads every piece; `got` receives each one's count (short only at the end of the file,
    // the rest of its buffer untouched). False on an I/O error.
    bool Read(const std::vector<ReadPiece>& pieces, std::vector<int64_t>& got);

private:
    // Sets the ring up on first use; false when the kernel will not give one.
    bool Ready();
    // Submits pieces [first, first + count) (count at most the ring's size) and waits for
    // their results; false when the ring fails, which leaves the pieces to pread.
    bool RunBatch(const std::vector<ReadPiece>& pieces, size_t first, size_t count,
                  std::vector<int64_t>& got);

    struct Mapping {
        void* address = nullptr;
        size_t size = 0;
    };

    const int m_fd;
    int m_ring = -1;
    bool m_unavailable = false;
    unsigned m_entries = 0;
    Mapping m_sqRing, m_cqRing, m_sqes;
    // Within the mappings (see the io_uring documentation for what each one is).
    unsigned* m_sqTail = nullptr;
    unsigned* m_sqMask = nullptr;
    unsigned* m_sqArray = nullptr;
    unsigned* m_cqHead = nullptr;
    unsigned* m_cqTail = nullptr;
    unsigned* m_cqMask = nullptr;
    void* m_cqes = nullptr;
};

}  // namespace ph::cfb
