// The allocator of the hostile-file tests: every form of operator new and delete is
// replaced, so that a limit can be armed on a thread.
#include "AllocationLimit.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace {
thread_local size_t t_allocationLimit = 0;
thread_local size_t t_largestRefused = 0;
}  // namespace

// Every form is replaced, so no allocation is freed by a different allocator than the one
// that made it (AddressSanitizer checks the pairing). The aligned forms matter: the engine's
// large tables are aligned for huge pages.
namespace {
void* Allocate(std::size_t size, std::size_t alignment = 0) {
    if (t_allocationLimit != 0 && size > t_allocationLimit) {
        t_largestRefused = std::max(t_largestRefused, size);
        return nullptr;
    }
    if (alignment <= alignof(std::max_align_t)) return std::malloc(size ? size : 1);
    void* p = nullptr;
    return posix_memalign(&p, alignment, size ? size : 1) == 0 ? p : nullptr;
}
void* AllocateOrThrow(std::size_t size, std::size_t alignment = 0) {
    if (void* p = Allocate(size, alignment)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size, std::align_val_t a) { return AllocateOrThrow(size, std::size_t(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return AllocateOrThrow(size, std::size_t(a)); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Allocate(size, std::size_t(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Allocate(size, std::size_t(a));
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace ph::cfb::hostile {

AllocationLimit::AllocationLimit() {
    t_largestRefused = 0;
    t_allocationLimit = kAllocationLimit;
}

AllocationLimit::~AllocationLimit() { t_allocationLimit = 0; }

size_t AllocationLimit::LargestRefused() const { return t_largestRefused; }

}  // namespace ph::cfb::hostile
