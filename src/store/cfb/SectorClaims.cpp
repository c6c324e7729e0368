#include "store/cfb/SectorClaims.h"

#include <algorithm>

namespace ph::cfb {
namespace {

// The bits of [from, to) within one word, 0 <= from < to <= 64.
uint64_t Mask(uint32_t from, uint32_t to) {
    const uint64_t high = to == 64 ? ~uint64_t(0) : (uint64_t(1) << to) - 1;
    return high & ~((uint64_t(1) << from) - 1);
}

}  // namespace

void SectorClaims::Resize(size_t count) {
    if (count < m_count) {
        // Bits past the count must read as not held should it grow again.
        for (size_t s = count; s < m_count && s % 64 != 0; ++s) Release(static_cast<uint32_t>(s));
    }
    m_words.resize((count + 63) / 64, 0);
    m_count = count;
}

uint32_t SectorClaims::RunAt(const uint32_t* chain, size_t length, size_t i) {
    uint32_t run = 1;
    while (i + run < length && chain[i + run] == chain[i] + run) ++run;
    return run;
}

bool SectorClaims::AnyHeld(uint32_t first, uint32_t length) const {
    const uint64_t end = uint64_t(first) + length;
    for (uint64_t at = first; at < end;) {
        const uint32_t within = static_cast<uint32_t>(at % 64);
        const uint32_t upto = static_cast<uint32_t>(std::min<uint64_t>(64, within + (end - at)));
        if (m_words[at / 64] & Mask(within, upto)) return true;
        at += upto - within;
    }
    return false;
}

void SectorClaims::SetRun(uint32_t first, uint32_t length, bool held) {
    const uint64_t end = uint64_t(first) + length;
    for (uint64_t at = first; at < end;) {
        const uint32_t within = static_cast<uint32_t>(at % 64);
        const uint32_t upto = static_cast<uint32_t>(std::min<uint64_t>(64, within + (end - at)));
        if (held)
            m_words[at / 64] |= Mask(within, upto);
        else
            m_words[at / 64] &= ~Mask(within, upto);
        at += upto - within;
    }
}

bool SectorClaims::HoldChain(const uint32_t* chain, size_t length) {
    // Run by run, so a sector the chain visits twice is found held by its own earlier run.
    size_t taken = 0;
    while (taken < length) {
        const uint32_t run = RunAt(chain, length, taken);
        if (AnyHeld(chain[taken], run)) {
            for (size_t i = 0; i < taken;) {
                const uint32_t back = RunAt(chain, taken, i);
                SetRun(chain[i], back, false);
                i += back;
            }
            return false;
        }
        SetRun(chain[taken], run, true);
        taken += run;
    }
    return true;
}

}  // namespace ph::cfb
