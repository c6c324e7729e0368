#pragma once
// The FAT and DIFAT of a compound file, held in memory whole, and the copy-on-write
// allocation rules that make each commit atomic:
//  - a sector is "fresh" when it was allocated since the last commit; fresh sectors are
//    not part of the committed file and may be written in place;
//  - every other sector in use belongs to the committed state and is never overwritten;
//    a change to it goes to a fresh copy, and the old sector is freed only once the new
//    header is durable (the pending-free list);
//  - at commit the FAT and DIFAT sectors that changed are themselves moved to fresh
//    sectors, so the one in-place write of a commit is the header.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "store/cfb/FileIo.h"
#include "store/cfb/Header.h"
#include "store/cfb/LargeTable.h"

namespace ph::cfb {

// The sectors of one chain in order. A large stream's chain runs to hundreds of thousands.
using SectorChain = LargeVector<uint32_t>;

class SectorTable {
public:
    explicit SectorTable(uint32_t sectorSize)
        : m_sectorSize(sectorSize), m_perSector(sectorSize / 4) {}

    // An empty table for a new file.
    void InitEmpty();
    // Reads the DIFAT and FAT named by `header` from `file`, which holds `fileSectors`
    // sectors after the header. Fails on locations outside the file or a looping DIFAT.
    bool Load(IFile& file, const Header& header, uint64_t fileSectors, std::string* error);

    uint32_t SectorCount() const { return m_sectorCount; }
    uint32_t Next(uint32_t sector) const { return m_fat[sector]; }
    void SetNext(uint32_t sector, uint32_t next);
    bool IsFresh(uint32_t sector) const { return (m_freshBits[sector / 64] >> (sector % 64)) & 1; }

    // A fresh sector, its FAT entry set to end-of-chain.
    uint32_t Allocate();
    // `count` fresh sectors, in a row when a free run is long enough (end-of-chain each).
    std::vector<uint32_t> AllocateRun(size_t count);
    // Frees a sector: reusable at once when fresh, after the next commit otherwise.
    void Free(uint32_t sector);

    // Follows the chain from `start` into `out`. False (with a reason) when it leaves the
    // file, loops, or ends in anything but end-of-chain.
    bool ReadChain(uint32_t start, SectorChain& out, std::string* error) const;

    bool HasChanges() const { return !m_dirtyFat.empty() || !m_dirtyDifat.empty(); }
    // Moves every changed FAT and DIFAT sector that belongs to the committed state to a fresh
    // sector (which may change further FAT entries; repeated until nothing moves).
    void RelocateForCommit();
    // Queues the changed FAT and DIFAT sectors for writing.
    void WriteChanges(WriteBatch& batch) const;
    void FillHeader(Header& header) const;
    // After the new header is durable: frees the pending sectors and starts a new transaction.
    void CommitDone();
    // When the sectors at the end of the file are all free (and nothing is pending), forgets
    // them and returns the new sector count; the caller cuts the file there.
    uint32_t TrimFreeTail();

    uint64_t OffsetOf(uint32_t sector) const { return (uint64_t(sector) + 1) * m_sectorSize; }

private:
    void AddFatSector();
    void MarkFresh(uint32_t sector);
    uint32_t AppendSector();
    void MarkDifatFor(size_t fatOrdinal);
    size_t DifatOrdinalOf(size_t fatOrdinal) const {
        return (fatOrdinal - kHeaderDifatCount) / (m_perSector - 1);
    }

    uint32_t m_sectorSize;
    uint32_t m_perSector;  // FAT entries in one sector
    LargeVector<uint32_t> m_fat;
    // Sectors allocated since the last commit: a bit each, and a list to clear them by.
    std::vector<uint64_t> m_freshBits;
    std::vector<uint32_t> m_freshList;
    uint32_t m_sectorCount = 0;  // sectors the file holds after the header
    std::vector<uint32_t> m_fatLocations;
    std::vector<uint32_t> m_difatLocations;
    std::set<uint32_t> m_free;  // allocatable now
    std::vector<uint32_t> m_pendingFree;  // freed, but still part of the committed file
    std::set<uint32_t> m_dirtyFat;    // FAT sector ordinals changed since the last commit
    std::set<uint32_t> m_dirtyDifat;  // DIFAT sector ordinals likewise
};

}  // namespace ph::cfb
