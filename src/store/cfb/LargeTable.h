#pragma once
// Memory for the tables of an open file that grow with the store: the FAT, the directory
// entries, the sector chains, the claims on sectors and the chunk cache. A store of 100,000
// messages holds tens of megabytes of them, every page touched as the file opens and is read.
// On the virtual machines we run on, the first touch of each 4 KB page costs a trap to the
// host, and those traps came to a quarter of the time it took to read such a store; tables of
// 256 KB and more are therefore asked to be backed by transparent huge pages, one trap per
// 2 MB. Where huge pages are off or none are free the request is ignored and nothing else
// changes.
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace ph::cfb {

inline constexpr size_t kHugePageSize = size_t(2) << 20;
// From this size on a table is given whole huge pages: one trap for 2 MB costs about what a
// dozen for 4 KB pages do.
inline constexpr size_t kLargeTable = size_t(256) << 10;

void* AllocateTable(size_t bytes);
void FreeTable(void* table, size_t bytes) noexcept;

template <class T>
struct TableAllocator {
    using value_type = T;
    TableAllocator() = default;
    template <class U>
    TableAllocator(const TableAllocator<U>&) noexcept {}  // NOLINT: rebinding converts freely
    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(AllocateTable(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { FreeTable(p, n * sizeof(T)); }
    friend bool operator==(const TableAllocator&, const TableAllocator&) { return true; }
};

template <class T>
using LargeVector = std::vector<T, TableAllocator<T>>;

// An uninitialised block of table memory, for buffers that are always written before read.
class TableBlock {
public:
    explicit TableBlock(size_t bytes) : m_bytes(bytes), m_data(static_cast<char*>(AllocateTable(bytes))) {}
    ~TableBlock() { FreeTable(m_data, m_bytes); }
    TableBlock(const TableBlock&) = delete;
    TableBlock& operator=(const TableBlock&) = delete;
    char* Data() const { return m_data; }

private:
    size_t m_bytes;
    char* m_data;
};

}  // namespace ph::cfb
