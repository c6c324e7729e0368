#include "store/cfb/LargeTable.h"

#include <sys/mman.h>

namespace ph::cfb {
namespace {

size_t Rounded(size_t bytes) { return (bytes + kHugePageSize - 1) / kHugePageSize * kHugePageSize; }

}  // namespace

void* AllocateTable(size_t bytes) {
    if (bytes < kLargeTable) return ::operator new(bytes);
    // Whole huge pages: the tail of the last one would otherwise be left to small pages.
    const size_t rounded = Rounded(bytes);
    void* table = ::operator new(rounded, std::align_val_t{kHugePageSize});
    ::madvise(table, rounded, MADV_HUGEPAGE);  // only a hint; a refusal changes nothing
    return table;
}

void FreeTable(void* table, size_t bytes) noexcept {
    if (bytes < kLargeTable)
        ::operator delete(table);
    else
        ::operator delete(table, std::align_val_t{kHugePageSize});
}

}  // namespace ph::cfb
