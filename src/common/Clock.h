#pragma once
// Where the frame's timer rules read the time: the real clock in the programs, a clock the
// test moves by hand, so that every scheduling rule is tested without waiting.
#include <cstdint>

#include "common/DateTime.h"

namespace ph {

class IClock {
public:
    virtual ~IClock() = default;
    // Milliseconds on a monotonic clock; compared as unsigned differences, so a wrap is harmless.
    virtual uint32_t TickCount() const = 0;
    // Local wall-clock time.
    virtual DateTime Now() const = 0;
};

class SystemClock : public IClock {
public:
    uint32_t TickCount() const override;
    DateTime Now() const override;
};

}  // namespace ph
