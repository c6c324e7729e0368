#pragma once
// Which sectors (or mini sectors) the chains checked so far hold. Every sector belongs to one
// chain at most: a chain that would take a sector already held, including one of its own (a
// chain that loops), is refused whole. One bit per sector; chains are taken a run of
// consecutive sectors at a time, which is how they mostly lie.
#include <cstddef>
#include <cstdint>

#include "store/cfb/LargeTable.h"

namespace ph::cfb {

class SectorClaims {
public:
    // Room for sectors [0, count); added sectors are not held. Shrinking forgets the sectors
    // beyond the new count.
    void Resize(size_t count);
    size_t Count() const { return m_count; }
    void Clear() {
        m_words.clear();
        m_count = 0;
    }

    // Sector numbers must be below Count().
    bool IsHeld(uint32_t sector) const { return (m_words[sector / 64] >> (sector % 64)) & 1; }
    void Hold(uint32_t sector) { m_words[sector / 64] |= Bit(sector); }
    void Release(uint32_t sector) { m_words[sector / 64] &= ~Bit(sector); }
    // Holds every sector of `chain`; false, holding none of them, when one is held already or
    // appears twice.
    bool HoldChain(const uint32_t* chain, size_t length);

private:
    static uint64_t Bit(uint32_t sector) { return uint64_t(1) << (sector % 64); }
    // Whether any of [first, first + length) is held; and setting or clearing them all.
    bool AnyHeld(uint32_t first, uint32_t length) const;
    void SetRun(uint32_t first, uint32_t length, bool held);
    // The length of the run of consecutive sector numbers that starts at chain[i].
    static uint32_t RunAt(const uint32_t* chain, size_t length, size_t i);

    LargeVector<uint64_t> m_words;
    size_t m_count = 0;
};

}  // namespace ph::cfb
