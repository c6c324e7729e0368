#include "common/Clock.h"

#include <chrono>

namespace ph {

uint32_t SystemClock::TickCount() const {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

DateTime SystemClock::Now() const { return DateTime::Now(); }

}  // namespace ph
