#include "store/cfb/MiniFat.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/Bytes.h"
#include "store/cfb/Header.h"

namespace ph::cfb {

void MiniFat::SetSectorSize(uint32_t sectorSize) {
    m_perSector = sectorSize / 4;
    m_shift = static_cast<uint32_t>(std::countr_zero(m_perSector));
}

void MiniFat::Reset(SectorChain chain, uint32_t sectorSize) {
    SetSectorSize(sectorSize);
    m_chain = std::move(chain);
    m_blocks.clear();
    m_blocks.resize(m_chain.size());
    m_dirty.clear();
    m_ring.clear();
    m_inRing.assign(m_chain.size(), false);
    m_ringNext = 0;
    m_walkNext = SIZE_MAX;
}

MiniFat::Block MiniFat::TakeBuffer(uint32_t block) {
    m_inRing[block] = true;
    if (m_ring.size() < kCachedBlocks) {
        m_ring.push_back(block);
        return std::make_unique<uint32_t[]>(m_perSector);
    }
    const uint32_t victim = m_ring[m_ringNext];
    m_ring[m_ringNext] = block;
    m_ringNext = (m_ringNext + 1) % m_ring.size();
    m_inRing[victim] = false;
    // A changed sector stays until the commit has written it.
    if (!m_dirty.count(victim) && m_blocks[victim]) return std::move(m_blocks[victim]);
    return std::make_unique<uint32_t[]>(m_perSector);
}

uint32_t* MiniFat::Entries(size_t block) {
    if (m_blocks[block]) return m_blocks[block].get();
    size_t count = 1;
    while (count < kReadTogether && block + count < m_chain.size() && !m_blocks[block + count] &&
           m_chain[block + count] == m_chain[block] + count)
        ++count;
    const size_t bytes = size_t(m_perSector) * 4;
    m_readBuffer.resize(count * bytes);
    const int64_t got =
        m_file.ReadAt(m_fat.OffsetOf(m_chain[block]), m_readBuffer.data(), count * bytes);
    if (got < 0) return nullptr;
    // A walk carries on with the sectors after these: the file hears of them in time.
    if (block == m_walkNext) {
        const size_t end = std::min(m_chain.size(), block + count + kReadTogether);
        for (size_t k = block + count; k < end; ++k)
            m_file.ReadSoon(m_fat.OffsetOf(m_chain[k]), bytes);
    }
    m_walkNext = block + count;
    for (size_t k = 0; k < count; ++k) {
        Block entries = TakeBuffer(static_cast<uint32_t>(block + k));
        const int64_t left = got - static_cast<int64_t>(k * bytes);
        const size_t have = static_cast<size_t>(std::clamp<int64_t>(left, 0, int64_t(bytes)));
        std::memcpy(entries.get(), m_readBuffer.data() + k * bytes, have);
        // A sector cut off by the end of the file reads as free entries.
        std::fill(entries.get() + have / 4, entries.get() + m_perSector, kFreeSect);
        for (uint32_t i = 0; i < m_perSector; ++i) entries[i] = LoadLE32(&entries[i]);
        m_blocks[block + k] = std::move(entries);
    }
    return m_blocks[block].get();
}

bool MiniFat::Get(uint32_t m, uint32_t& next) {
    const uint32_t* entries = Entries(BlockOf(m));
    if (!entries) return false;
    next = entries[SlotOf(m)];
    return true;
}

bool MiniFat::Set(uint32_t m, uint32_t next) {
    const size_t block = BlockOf(m);
    uint32_t* entries = Entries(block);
    if (!entries) return false;
    uint32_t& entry = entries[SlotOf(m)];
    if (entry != next) {
        entry = next;
        m_dirty.insert(static_cast<uint32_t>(block));
    }
    return true;
}

bool MiniFat::Walk(uint32_t start, size_t count, uint32_t limit, std::vector<uint32_t>& out,
                   bool& inRange) {
    limit = static_cast<uint32_t>(std::min<size_t>(limit, Count()));
    inRange = true;
    // Filled through a plain pointer: the walk runs once per small stream read. A chain that
    // loops fills all `count` places, so there must be that many.
    const size_t first = out.size();
    out.resize(first + count);
    uint32_t* chain = out.data() + first;
    size_t n = 0;
    uint32_t m = start;
    const uint32_t* entries = nullptr;
    size_t loaded = SIZE_MAX;
    bool ok = true;
    while (n < count) {
        if (m >= limit) {
            inRange = false;
            break;
        }
        chain[n++] = m;
        const size_t block = BlockOf(m);
        if (block != loaded) {
            entries = Entries(block);
            if (!entries) {
                ok = false;
                break;
            }
            loaded = block;
        }
        m = entries[SlotOf(m)];
    }
    out.resize(first + n);
    return ok;
}

void MiniFat::Grow() {
    auto entries = std::make_unique<uint32_t[]>(m_perSector);
    std::fill(entries.get(), entries.get() + m_perSector, kFreeSect);
    m_dirty.insert(static_cast<uint32_t>(m_blocks.size()));
    m_blocks.push_back(std::move(entries));
    m_inRing.push_back(false);
}

void MiniFat::ClearDirty() {
    // Written now: a changed sector that has left the ring can be read back when needed.
    for (uint32_t block : m_dirty)
        if (!m_inRing[block]) m_blocks[block].reset();
    m_dirty.clear();
}

void MiniFat::Serialize(uint32_t k, unsigned char* out) const {
    for (uint32_t i = 0; i < m_perSector; ++i) StoreLE32(out + 4 * i, m_blocks[k][i]);
}

}  // namespace ph::cfb
