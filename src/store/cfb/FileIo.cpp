#include "store/cfb/FileIo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/Format.h"

namespace ph::cfb {
namespace {

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::unique_ptr<PosixFile> PosixFile::Open(const std::string& path, bool create,
                                           std::string* error) {
    const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
    const int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) {
        *error = Format("cannot open %s: %s", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        *error = err == EWOULDBLOCK
                     ? Format("%s is in use by another program", path.c_str())
                     : Format("cannot lock %s: %s", path.c_str(), std::strerror(err));
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = Format("%s is not a regular file", path.c_str());
        return nullptr;
    }
    if (create) {
        // Emptied only once we hold the lock, so a store in use elsewhere is never clobbered.
        if (::ftruncate(fd, 0) != 0) {
            *error = Format("cannot empty %s: %s", path.c_str(), std::strerror(errno));
            ::close(fd);
            return nullptr;
        }
        // The new directory entry must survive a crash as well as the data written later.
        const int dirFd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            ::fsync(dirFd);
            ::close(dirFd);
        }
        st.st_size = 0;
    }
    return std::unique_ptr<PosixFile>(new PosixFile(fd, static_cast<uint64_t>(st.st_size)));
}

PosixFile::Descriptor::~Descriptor() { ::close(fd); }

int64_t PosixFile::ReadAt(uint64_t offset, void* buffer, size_t size) {
    if (offset >= m_size) return 0;
    if (size > m_size - offset) size = static_cast<size_t>(m_size - offset);
    if (size >= ChunkCache::kChunkSize) return PreadAll(m_fd.fd, offset, buffer, size);
    return m_cache.Read(offset, buffer, size);
}

const char* PosixFile::Peek(uint64_t offset, size_t& size) {
    // Large reads go straight to their buffer, as in ReadAt.
    return size < ChunkCache::kChunkSize ? m_cache.Peek(offset, size) : nullptr;
}

int64_t PosixFile::ReadIsolated(uint64_t offset, void* buffer, size_t size) {
    if (offset >= m_size) return 0;
    if (size > m_size - offset) size = static_cast<size_t>(m_size - offset);
    return PreadAll(m_fd.fd, offset, buffer, size);
}

bool PosixFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(m_fd.fd, static_cast<const char*>(data) + done, size - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    if (offset + size > m_size) m_size = offset + size;
    m_cache.Written(offset, data, size);
    return true;
}

bool PosixFile::Sync() {
    while (::fdatasync(m_fd.fd) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool PosixFile::Truncate(uint64_t size) {
    if (::ftruncate(m_fd.fd, static_cast<off_t>(size)) != 0) return false;
    m_size = size;
    m_cache.Truncated(size);
    return true;
}

void WriteBatch::Add(uint64_t offset, const void* data, size_t size) {
    m_pieces.push_back({offset, std::string(static_cast<const char*>(data), size)});
}

bool WriteBatch::Flush(IFile& file) {
    std::sort(m_pieces.begin(), m_pieces.end(),
              [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    std::string run;
    uint64_t runAt = 0;
    for (const Piece& piece : m_pieces) {
        if (!run.empty() && runAt + run.size() != piece.offset) {
            if (!file.WriteAt(runAt, run.data(), run.size())) return false;
            run.clear();
        }
        if (run.empty()) runAt = piece.offset;
        run += piece.bytes;
    }
    const bool ok = run.empty() || file.WriteAt(runAt, run.data(), run.size());
    m_pieces.clear();
    return ok;
}

bool IFile::ReadBatch(const std::vector<ReadPiece>& pieces, std::vector<int64_t>& got) {
    got.clear();
    for (const ReadPiece& piece : pieces) {
        got.push_back(ReadIsolated(piece.offset, piece.buffer, piece.size));
        if (got.back() < 0) return false;
    }
    return true;
}

bool ReadScattered(IFile& file, const std::vector<uint64_t>& offsets, size_t pieceSize, char* out) {
    // Copying a few kilobytes too many costs about what another system call does.
    constexpr uint64_t kMaxGap = 4 * 1024;
    constexpr uint64_t kMaxRun = 1 << 20;
    std::vector<size_t> order(offsets.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return offsets[a] < offsets[b]; });
    struct Run {
        size_t first, last;  // in `order`
        size_t spillAt;      // where it goes in `spill`, unless it goes straight to `out`
        bool inPlace;
    };
    std::vector<Run> runs;
    size_t spilled = 0;
    for (size_t first = 0; first < order.size();) {
        size_t last = first;
        const uint64_t begin = offsets[order[first]];
        while (last + 1 < order.size() && offsets[order[last + 1]] <= offsets[order[last]] + pieceSize + kMaxGap &&
               offsets[order[last + 1]] + pieceSize - begin <= kMaxRun)
            ++last;
        // Pieces that follow each other in the file and in `out` alike go straight in.
        bool inPlace = true;
        for (size_t k = first; k < last && inPlace; ++k)
            inPlace = order[k + 1] == order[k] + 1 && offsets[order[k + 1]] == offsets[order[k]] + pieceSize;
        runs.push_back({first, last, spilled, inPlace});
        if (!inPlace) spilled += offsets[order[last]] + pieceSize - begin;
        first = last + 1;
    }
    std::vector<char> spill(spilled);
    std::vector<ReadPiece> reads;
    reads.reserve(runs.size());
    for (const Run& run : runs) {
        const uint64_t begin = offsets[order[run.first]];
        const size_t length = static_cast<size_t>(offsets[order[run.last]] + pieceSize - begin);
        char* target = out + order[run.first] * pieceSize;
        if (!run.inPlace) target = spill.data() + run.spillAt;
        reads.push_back({begin, target, length});
    }
    std::vector<int64_t> got;
    if (!file.ReadBatch(reads, got)) return false;
    for (size_t r = 0; r < runs.size(); ++r) {
        const ReadPiece& read = reads[r];
        std::memset(read.buffer + got[r], 0, read.size - static_cast<size_t>(got[r]));
        if (runs[r].inPlace) continue;
        for (size_t k = runs[r].first; k <= runs[r].last; ++k)
            std::memcpy(out + order[k] * pieceSize, read.buffer + (offsets[order[k]] - read.offset),
                        pieceSize);
    }
    return true;
}

}  // namespace ph::cfb
