#pragma once
// The mini FAT: the chains of the 64-byte mini sectors that hold every stream below the
// cutoff. It is read a sector at a time as mini streams are used, so a walk that never opens
// a small stream never reads it, and one that does finds each sector next to the data it
// describes (in the read cache already). A large store's mini FAT runs to tens of megabytes.
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "store/cfb/FileIo.h"
#include "store/cfb/SectorTable.h"

namespace ph::cfb {

class MiniFat {
public:
    // `file` and `fat` must outlive this object.
    MiniFat(IFile& file, const SectorTable& fat, uint32_t sectorSize)
        : m_file(file), m_fat(fat), m_perSector(sectorSize / 4) {}

    // Takes the chain of mini FAT sectors; nothing is read yet.
    void Reset(std::vector<uint32_t> chain, uint32_t sectorSize);
    size_t Count() const { return m_blocks.size() * m_perSector; }
    // The entry of mini sector `m` (< Count()); false when it cannot be read.
    bool Get(uint32_t m, uint32_t& next);
    bool Set(uint32_t m, uint32_t next);
    // Appends to `out` up to `count` sectors of the chain from `start`, stopping early (and
    // returning false in `inRange`) at a sector not below `limit`; false on a read error.
    bool Walk(uint32_t start, size_t count, uint32_t limit, std::vector<uint32_t>& out, bool& inRange);
    // Adds a sector of free entries.
    void Grow();
    // Reads every sector not read yet.
    bool LoadAll();

    std::vector<uint32_t>& Chain() { return m_chain; }
    const std::set<uint32_t>& Dirty() const { return m_dirty; }
    void ClearDirty() { m_dirty.clear(); }
    // Sector `k` must be loaded (every changed one is).
    void Serialize(uint32_t k, unsigned char* out) const;

private:
    bool Load(size_t block);

    IFile& m_file;
    const SectorTable& m_fat;
    uint32_t m_perSector;
    std::vector<uint32_t> m_chain;
    std::vector<std::unique_ptr<uint32_t[]>> m_blocks;  // null: not read yet
    std::set<uint32_t> m_dirty;
};

}  // namespace ph::cfb
