#include "store/cfb/FileIo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
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
    auto file = std::unique_ptr<PosixFile>(new PosixFile(fd, static_cast<uint64_t>(st.st_size)));
    file->Remap();
    return file;
}

PosixFile::~PosixFile() {
    Unmap();
    ::close(m_fd);  // also drops the lock
}

void PosixFile::Unmap() {
    if (m_map) ::munmap(const_cast<unsigned char*>(m_map), m_mapSize);
    m_map = nullptr;
    m_mapSize = 0;
}

bool PosixFile::Remap() {
    // The mapping reaches well past the end of the file so that a growing store is not
    // remapped on every append; only bytes below m_size are ever touched, so the pages past
    // the end of the file never fault.
    constexpr uint64_t kHeadroom = uint64_t(64) << 20;
    const uint64_t capacity = std::max(m_size * 2, m_size + kHeadroom);
    Unmap();
    void* p = ::mmap(nullptr, capacity, PROT_READ, MAP_SHARED, m_fd, 0);
    if (p == MAP_FAILED) return false;
    m_map = static_cast<const unsigned char*>(p);
    m_mapSize = capacity;
    return true;
}

int64_t PosixFile::ReadAt(uint64_t offset, void* buffer, size_t size) {
    if (offset >= m_size) return 0;
    if (size > m_size - offset) size = static_cast<size_t>(m_size - offset);
    if (offset + size > m_mapSize) Remap();
    if (offset + size <= m_mapSize) {
        std::memcpy(buffer, m_map + offset, size);
        return static_cast<int64_t>(size);
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(m_fd, static_cast<char*>(buffer) + done, size - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool PosixFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(m_fd, static_cast<const char*>(data) + done, size - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    if (offset + size > m_size) m_size = offset + size;
    return true;
}

bool PosixFile::Sync() {
    while (::fdatasync(m_fd) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool PosixFile::Truncate(uint64_t size) {
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) return false;
    m_size = size;
    return true;
}

}  // namespace ph::cfb
