#pragma once
// While an AllocationLimit lives, an allocation on its thread above the limit fails instead of
// happening: a length taken on trust from a file then fails the test rather than exhausting the
// machine running it.
#include <cstddef>

namespace ph::cfb::hostile {

class AllocationLimit {
public:
    AllocationLimit();
    ~AllocationLimit();
    AllocationLimit(const AllocationLimit&) = delete;
    AllocationLimit& operator=(const AllocationLimit&) = delete;
    // The largest allocation refused since the limit was armed.
    size_t LargestRefused() const;

    static constexpr size_t kAllocationLimit = 8u << 20;  // hundreds of times the test file
};

}  // namespace ph::cfb::hostile
