#pragma once
// The file interface the compound-file engine writes through. Keeping it this small lets the
// crash tests put a double underneath that fails the Nth write or forgets what was not synced.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ph::cfb {

class IFile {
public:
    virtual ~IFile() = default;
    // Reads up to `size` bytes at `offset`; returns the count read (short only at end of file),
    // or -1 on an I/O error.
    virtual int64_t ReadAt(uint64_t offset, void* buffer, size_t size) = 0;
    // Writes all of `size` bytes at `offset`, extending the file when needed.
    virtual bool WriteAt(uint64_t offset, const void* data, size_t size) = 0;
    // Makes every earlier write durable.
    virtual bool Sync() = 0;
    virtual bool Truncate(uint64_t size) = 0;
    virtual uint64_t Size() const = 0;
};

// A file on disk, opened read/write and locked exclusively (flock): a second opener, in this
// process or another, is refused while this object lives. Reads come from a shared mapping of
// the file, so a sector read costs a copy rather than a system call.
class PosixFile final : public IFile {
public:
    // Opens (create: creates or empties) `path`. On failure returns null and says why.
    static std::unique_ptr<PosixFile> Open(const std::string& path, bool create,
                                           std::string* error);
    ~PosixFile() override;
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    int64_t ReadAt(uint64_t offset, void* buffer, size_t size) override;
    bool WriteAt(uint64_t offset, const void* data, size_t size) override;
    bool Sync() override;
    bool Truncate(uint64_t size) override;
    uint64_t Size() const override { return m_size; }

private:
    PosixFile(int fd, uint64_t size) : m_fd(fd), m_size(size) {}
    // Maps the whole file as it now stands; false leaves reads on pread.
    bool Remap();
    void Unmap();

    int m_fd;
    uint64_t m_size;
    const unsigned char* m_map = nullptr;
    uint64_t m_mapSize = 0;
};

}  // namespace ph::cfb
