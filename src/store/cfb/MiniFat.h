#pragma once
// The mini FAT: the chains of the 64-byte mini sectors that hold every stream below the
// cutoff. A large store's mini FAT runs to tens of megabytes, and a walk through the mini
// streams uses each of its sectors for a few streams only, so it is read a sector at a time
// as streams are used and only a bounded number of unchanged sectors stay in memory (the
// most recently read ones). Changed sectors stay until the commit has written them.
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "store/cfb/FileIo.h"
#include "store/cfb/SectorTable.h"

namespace ph::cfb {

class MiniFat {
public:
    // Unchanged sectors kept in memory at most (each a sector's worth of entries).
    static constexpr size_t kCachedBlocks = 256;
    // Sectors that follow each other in the file are read together, up to this many: a walk
    // through the small streams uses the mini FAT in order.
    static constexpr size_t kReadTogether = 32;

    // `file` and `fat` must outlive this object.
    MiniFat(IFile& file, const SectorTable& fat, uint32_t sectorSize)
        : m_file(file), m_fat(fat) {
        SetSectorSize(sectorSize);
    }

    // Takes the chain of mini FAT sectors; nothing is read yet.
    void Reset(SectorChain chain, uint32_t sectorSize);
    size_t Count() const { return m_blocks.size() * m_perSector; }
    // The entry of mini sector `m` (< Count()); false when it cannot be read.
    bool Get(uint32_t m, uint32_t& next);
    bool Set(uint32_t m, uint32_t next);
    // Appends to `out` up to `count` sectors of the chain from `start`, stopping early (and
    // returning false in `inRange`) at a sector not below `limit`; false on a read error.
    bool Walk(uint32_t start, size_t count, uint32_t limit, std::vector<uint32_t>& out, bool& inRange);
    // Adds a sector of free entries.
    void Grow();

    SectorChain& Chain() { return m_chain; }
    const std::set<uint32_t>& Dirty() const { return m_dirty; }
    // After a commit: the changed sectors are on disk and may leave memory like any other.
    void ClearDirty();
    // Sector `k` must be loaded (every changed one is).
    void Serialize(uint32_t k, unsigned char* out) const;

private:
    using Block = std::unique_ptr<uint32_t[]>;
    void SetSectorSize(uint32_t sectorSize);
    // Sector sizes are powers of two: a chain walk shifts and masks rather than divides.
    size_t BlockOf(uint32_t m) const { return m >> m_shift; }
    uint32_t SlotOf(uint32_t m) const { return m & (m_perSector - 1); }
    // The entries of sector `block`, read when not in memory, together with the sectors that
    // follow it in the file and are not in memory either; null on a read error.
    uint32_t* Entries(size_t block);
    // A buffer for one more unchanged sector: the one of the sector whose turn it is to leave
    // memory, or a new one while the ring has room.
    Block TakeBuffer(uint32_t block);

    IFile& m_file;
    const SectorTable& m_fat;
    uint32_t m_perSector = 0;
    uint32_t m_shift = 0;
    SectorChain m_chain;
    LargeVector<Block> m_blocks;  // null: not in memory
    std::set<uint32_t> m_dirty;
    // Sectors read from the file, in a ring: the oldest leaves first, unless it has changed
    // since. Invariant: a sector in memory is in the ring, changed, or both.
    std::vector<uint32_t> m_ring;
    std::vector<bool> m_inRing;
    size_t m_ringNext = 0;
    std::vector<char> m_readBuffer;  // kept for its room
    size_t m_walkNext = SIZE_MAX;    // the sector after the latest ones read
};

}  // namespace ph::cfb
