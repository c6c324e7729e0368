#include "store/cfb/MiniFat.h"

#include <algorithm>

#include "common/Bytes.h"
#include "store/cfb/Header.h"

namespace ph::cfb {

void MiniFat::Reset(std::vector<uint32_t> chain, uint32_t sectorSize) {
    m_perSector = sectorSize / 4;
    m_chain = std::move(chain);
    m_blocks.clear();
    m_blocks.resize(m_chain.size());
    m_dirty.clear();
}

bool MiniFat::Load(size_t block) {
    auto entries = std::make_unique<uint32_t[]>(m_perSector);
    const size_t bytes = size_t(m_perSector) * 4;
    const int64_t got = m_file.ReadAt(m_fat.OffsetOf(m_chain[block]), entries.get(), bytes);
    if (got < 0) return false;
    // A sector cut off by the end of the file reads as free entries.
    std::fill(entries.get() + got / 4, entries.get() + m_perSector, kFreeSect);
    for (uint32_t i = 0; i < m_perSector; ++i) entries[i] = LoadLE32(&entries[i]);
    m_blocks[block] = std::move(entries);
    return true;
}

bool MiniFat::Get(uint32_t m, uint32_t& next) {
    const size_t block = m / m_perSector;
    if (!m_blocks[block] && !Load(block)) return false;
    next = m_blocks[block][m % m_perSector];
    return true;
}

bool MiniFat::Set(uint32_t m, uint32_t next) {
    const size_t block = m / m_perSector;
    if (!m_blocks[block] && !Load(block)) return false;
    uint32_t& entry = m_blocks[block][m % m_perSector];
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
    uint32_t m = start;
    while (out.size() < count) {
        if (m >= limit) {
            inRange = false;
            return true;
        }
        out.push_back(m);
        const size_t block = m / m_perSector;
        if (!m_blocks[block] && !Load(block)) return false;
        m = m_blocks[block][m % m_perSector];
    }
    return true;
}

void MiniFat::Grow() {
    auto entries = std::make_unique<uint32_t[]>(m_perSector);
    std::fill(entries.get(), entries.get() + m_perSector, kFreeSect);
    m_dirty.insert(static_cast<uint32_t>(m_blocks.size()));
    m_blocks.push_back(std::move(entries));
}

bool MiniFat::LoadAll() {
    std::vector<size_t> missing;
    std::vector<uint64_t> offsets;
    for (size_t b = 0; b < m_blocks.size(); ++b) {
        if (m_blocks[b]) continue;
        missing.push_back(b);
        offsets.push_back(m_fat.OffsetOf(m_chain[b]));
    }
    const size_t bytes = size_t(m_perSector) * 4;
    std::vector<char> raw(missing.size() * bytes);
    if (!ReadScattered(m_file, offsets, bytes, raw.data())) return false;
    for (size_t i = 0; i < missing.size(); ++i) {
        auto entries = std::make_unique<uint32_t[]>(m_perSector);
        for (uint32_t e = 0; e < m_perSector; ++e) entries[e] = LoadLE32(&raw[i * bytes + 4 * e]);
        m_blocks[missing[i]] = std::move(entries);
    }
    return true;
}

void MiniFat::Serialize(uint32_t k, unsigned char* out) const {
    for (uint32_t i = 0; i < m_perSector; ++i) StoreLE32(out + 4 * i, m_blocks[k][i]);
}

}  // namespace ph::cfb
