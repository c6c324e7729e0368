#include "store/cfb/SectorTable.h"

#include <cstring>

#include "common/Bytes.h"
#include "common/Format.h"

namespace ph::cfb {

void SectorTable::InitEmpty() {
    m_fat.clear();
    m_freshBits.clear();
    m_freshList.clear();
    m_fatLocations.clear();
    m_difatLocations.clear();
    m_free.clear();
    m_pendingFree.clear();
    m_dirtyFat.clear();
    m_dirtyDifat.clear();
    m_sectorCount = 0;
}

bool SectorTable::Load(IFile& file, const Header& header, uint64_t fileSectors,
                       std::string* error) {
    InitEmpty();
    const uint64_t numFat = header.numFatSectors;
    if (numFat > fileSectors) {
        *error = Format("the FAT claims %llu sectors but the file holds %llu",
                        (unsigned long long)numFat, (unsigned long long)fileSectors);
        return false;
    }
    // The DIFAT: 109 locations in the header, then a chain of DIFAT sectors.
    for (size_t i = 0; i < kHeaderDifatCount && m_fatLocations.size() < numFat; ++i)
        m_fatLocations.push_back(header.difat[i]);
    std::vector<unsigned char> buffer(m_sectorSize);
    uint32_t difat = header.firstDifatSector;
    std::set<uint32_t> seen;
    while (m_fatLocations.size() < numFat) {
        if (difat >= fileSectors || !seen.insert(difat).second) {
            *error = "the DIFAT chain leaves the file or loops";
            return false;
        }
        m_difatLocations.push_back(difat);
        if (file.ReadAt(OffsetOf(difat), buffer.data(), m_sectorSize) != m_sectorSize) {
            *error = "the DIFAT is truncated";
            return false;
        }
        for (uint32_t i = 0; i + 1 < m_perSector && m_fatLocations.size() < numFat; ++i)
            m_fatLocations.push_back(LoadLE32(&buffer[4 * i]));
        difat = LoadLE32(&buffer[4 * (m_perSector - 1)]);
    }

    m_fat.assign(numFat * m_perSector, kFreeSect);
    for (uint32_t location : m_difatLocations) {
        if (location >= m_fat.size()) {
            *error = "a DIFAT sector lies outside the FAT";
            return false;
        }
    }
    std::vector<uint64_t> offsets;
    offsets.reserve(numFat);
    for (size_t i = 0; i < numFat; ++i) {
        const uint32_t location = m_fatLocations[i];
        if (location >= fileSectors || location >= m_fat.size()) {
            *error = Format("FAT sector %zu lies outside the file", i);
            return false;
        }
        offsets.push_back(OffsetOf(location));
    }
    if (!ReadScattered(file, offsets, m_sectorSize, reinterpret_cast<char*>(m_fat.data()))) {
        *error = "cannot read the FAT";
        return false;
    }
    for (uint32_t& entry : m_fat) entry = LoadLE32(&entry);  // the file is little-endian
    m_sectorCount = static_cast<uint32_t>(std::min<uint64_t>(fileSectors, m_fat.size()));
    // Sectors holding the FAT and DIFAT belong to them whatever their entries say; a file
    // that marks them free must not have them handed out while the header still uses them.
    for (uint32_t location : m_fatLocations) m_fat[location] = kFatSect;
    for (uint32_t location : m_difatLocations) m_fat[location] = kDifSect;
    m_freshBits.assign(m_fat.size() / 64 + 1, 0);
    for (uint32_t s = 0; s < m_sectorCount; ++s)
        if (m_fat[s] == kFreeSect) m_free.insert(s);
    return true;
}

void SectorTable::SetNext(uint32_t sector, uint32_t next) {
    if (m_fat[sector] == next) return;
    m_fat[sector] = next;
    m_dirtyFat.insert(sector / m_perSector);
}

void SectorTable::MarkDifatFor(size_t fatOrdinal) {
    if (fatOrdinal >= kHeaderDifatCount) m_dirtyDifat.insert(DifatOrdinalOf(fatOrdinal));
}

void SectorTable::MarkFresh(uint32_t sector) {
    m_freshBits[sector / 64] |= uint64_t(1) << (sector % 64);
    m_freshList.push_back(sector);
}

uint32_t SectorTable::AppendSector() {
    const uint32_t sector = m_sectorCount++;
    while (sector >= m_fat.size()) AddFatSector();
    MarkFresh(sector);
    return sector;
}

void SectorTable::AddFatSector() {
    const size_t ordinal = m_fatLocations.size();
    m_fat.resize(m_fat.size() + m_perSector, kFreeSect);
    m_freshBits.resize(m_fat.size() / 64 + 1, 0);
    // The new FAT sector goes at the end of the file, which the sector itself now covers.
    const uint32_t location = m_sectorCount++;
    MarkFresh(location);
    m_fatLocations.push_back(location);
    SetNext(location, kFatSect);
    m_dirtyFat.insert(static_cast<uint32_t>(ordinal));
    if (ordinal < kHeaderDifatCount) return;
    const size_t difatOrdinal = DifatOrdinalOf(ordinal);
    if (difatOrdinal >= m_difatLocations.size()) {
        const uint32_t difat = AppendSector();
        m_difatLocations.push_back(difat);
        SetNext(difat, kDifSect);
        if (difatOrdinal > 0) m_dirtyDifat.insert(static_cast<uint32_t>(difatOrdinal - 1));
    }
    m_dirtyDifat.insert(static_cast<uint32_t>(difatOrdinal));
}

uint32_t SectorTable::Allocate() {
    uint32_t sector;
    if (!m_free.empty()) {
        sector = *m_free.begin();
        m_free.erase(m_free.begin());
        MarkFresh(sector);
    } else {
        sector = AppendSector();
    }
    SetNext(sector, kEndOfChain);
    return sector;
}

void SectorTable::Free(uint32_t sector) {
    SetNext(sector, kFreeSect);
    if (IsFresh(sector))
        m_free.insert(sector);
    else
        m_pendingFree.push_back(sector);
}

bool SectorTable::ReadChain(uint32_t start, SectorChain& out, std::string* error) const {
    out.clear();
    uint32_t sector = start;
    while (sector != kEndOfChain) {
        if (sector >= m_sectorCount) {
            *error = Format("a sector chain points outside the file (sector %u)", sector);
            return false;
        }
        if (out.size() >= m_sectorCount) {
            *error = "a sector chain loops";
            return false;
        }
        out.push_back(sector);
        sector = m_fat[sector];
    }
    return true;
}

std::vector<uint32_t> SectorTable::AllocateRun(size_t count) {
    // The lowest run of `count` free sectors in a row, else the end of the file. Relocated
    // FAT and DIFAT sectors then go out in one write, and the runs freed by one commit are
    // reused by the one after next, so the file does not grow.
    std::vector<uint32_t> run;
    uint32_t start = 0, length = 0;
    for (uint32_t sector : m_free) {
        if (length > 0 && sector == start + length) {
            ++length;
        } else {
            start = sector;
            length = 1;
        }
        if (length == count) break;
    }
    if (count > 0 && length == count) {
        for (uint32_t i = 0; i < count; ++i) {
            m_free.erase(start + i);
            MarkFresh(start + i);
            SetNext(start + i, kEndOfChain);
            run.push_back(start + i);
        }
        return run;
    }
    for (size_t i = 0; i < count; ++i) {
        run.push_back(AppendSector());
        SetNext(run.back(), kEndOfChain);
    }
    return run;
}

void SectorTable::RelocateForCommit() {
    for (;;) {
        std::vector<uint32_t> fats, difats;
        for (uint32_t ordinal : m_dirtyFat)
            if (!IsFresh(m_fatLocations[ordinal])) fats.push_back(ordinal);
        // Moving a DIFAT sector changes the link in the one before it, and so on back to the
        // header: all of them up to the last changed one move together.
        uint32_t lastDirty = 0;
        bool anyDifat = false;
        for (uint32_t ordinal : m_dirtyDifat) {
            if (IsFresh(m_difatLocations[ordinal])) continue;
            anyDifat = true;
            lastDirty = std::max(lastDirty, ordinal);
        }
        for (uint32_t ordinal = 0; anyDifat && ordinal <= lastDirty; ++ordinal)
            if (!IsFresh(m_difatLocations[ordinal])) difats.push_back(ordinal);
        if (fats.empty() && difats.empty()) return;

        const std::vector<uint32_t> run = AllocateRun(fats.size() + difats.size());
        size_t next = 0;
        for (uint32_t ordinal : fats) {
            const uint32_t old = m_fatLocations[ordinal];
            m_fatLocations[ordinal] = run[next++];
            SetNext(m_fatLocations[ordinal], kFatSect);
            Free(old);
            MarkDifatFor(ordinal);
        }
        for (uint32_t ordinal : difats) {
            const uint32_t old = m_difatLocations[ordinal];
            m_difatLocations[ordinal] = run[next++];
            SetNext(m_difatLocations[ordinal], kDifSect);
            Free(old);
            m_dirtyDifat.insert(ordinal);
        }
    }
}

void SectorTable::WriteChanges(WriteBatch& batch) const {
    std::vector<unsigned char> buffer(m_sectorSize);
    for (uint32_t ordinal : m_dirtyFat) {
        for (uint32_t i = 0; i < m_perSector; ++i)
            StoreLE32(&buffer[4 * i], m_fat[size_t(ordinal) * m_perSector + i]);
        batch.Add(OffsetOf(m_fatLocations[ordinal]), buffer.data(), m_sectorSize);
    }
    for (uint32_t ordinal : m_dirtyDifat) {
        const size_t first = kHeaderDifatCount + size_t(ordinal) * (m_perSector - 1);
        for (uint32_t i = 0; i + 1 < m_perSector; ++i) {
            const size_t index = first + i;
            StoreLE32(&buffer[4 * i],
                      index < m_fatLocations.size() ? m_fatLocations[index] : kFreeSect);
        }
        const bool last = ordinal + 1 >= m_difatLocations.size();
        StoreLE32(&buffer[4 * (m_perSector - 1)],
                  last ? kEndOfChain : m_difatLocations[ordinal + 1]);
        batch.Add(OffsetOf(m_difatLocations[ordinal]), buffer.data(), m_sectorSize);
    }
}

void SectorTable::FillHeader(Header& header) const {
    header.numFatSectors = static_cast<uint32_t>(m_fatLocations.size());
    header.difat.fill(kFreeSect);
    for (size_t i = 0; i < kHeaderDifatCount && i < m_fatLocations.size(); ++i)
        header.difat[i] = m_fatLocations[i];
    header.numDifatSectors = static_cast<uint32_t>(m_difatLocations.size());
    header.firstDifatSector = m_difatLocations.empty() ? kEndOfChain : m_difatLocations[0];
}

void SectorTable::CommitDone() {
    m_free.insert(m_pendingFree.begin(), m_pendingFree.end());
    m_pendingFree.clear();
    m_dirtyFat.clear();
    m_dirtyDifat.clear();
    for (uint32_t sector : m_freshList) m_freshBits[sector / 64] = 0;
    m_freshList.clear();
}

uint32_t SectorTable::TrimFreeTail() {
    if (!m_pendingFree.empty()) return m_sectorCount;
    uint32_t extent = m_sectorCount;
    while (extent > 0 && m_fat[extent - 1] == kFreeSect) --extent;
    if (extent == m_sectorCount) return extent;
    m_free.erase(m_free.lower_bound(extent), m_free.end());
    m_sectorCount = extent;
    return extent;
}

}  // namespace ph::cfb
