// The stream half of CompoundFile: reading, writing and sizing streams, in whole sectors along
// FAT chains or in mini sectors inside the mini stream. Opening, the directory and commits are
// in CompoundFile.cpp.
#include <algorithm>
#include <cstring>

#include "common/Format.h"
#include "store/cfb/CompoundFile.h"

namespace ph::cfb {
namespace {

// The part of a read or write at `offset` that can go in one call: it runs on while the
// chain's sectors follow each other (in the file, or in the mini stream for mini sectors).
struct SectorRun {
    uint32_t sector;  // holds the first byte
    uint32_t within;  // where the first byte lies in that sector
    size_t size;      // at most the size asked for
};

// `offset` must lie inside the chain.
template <class Chain>
SectorRun RunAt(const Chain& chain, uint32_t sectorSize, uint64_t offset, size_t size) {
    size_t k = static_cast<size_t>(offset / sectorSize);
    const uint32_t within = static_cast<uint32_t>(offset % sectorSize);
    const uint32_t first = chain[k];
    size_t run = std::min<size_t>(sectorSize - within, size);
    while (run < size && k + 1 < chain.size() && chain[k + 1] == chain[k] + 1) {
        ++k;
        run = std::min<size_t>(run + sectorSize, size);
    }
    return {first, within, run};
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Streams

int64_t CompoundFile::ReadStream(EntryId stream, uint64_t offset, void* buffer, size_t size,
                                 ReadFilter* filter) {
    const DirEntry& e = m_dir[stream];
    if (e.broken) {
        m_error = Format("stream '%s' is damaged", NarrowName(e.name).c_str());
        return -1;
    }
    if (offset >= e.size) return 0;
    size = static_cast<size_t>(std::min<uint64_t>(size, e.size - offset));
    const bool ok = e.size >= kMiniStreamCutoff ? ReadRegular(stream, offset, buffer, size, filter)
                                                : ReadMini(stream, offset, buffer, size, filter);
    return ok ? static_cast<int64_t>(size) : -1;
}

bool CompoundFile::WriteStream(EntryId stream, uint64_t offset, const void* data, size_t size) {
    if (m_failed) return false;
    if (m_dir[stream].broken) {
        m_error = "the stream is damaged";
        return false;
    }
    if (size == 0) return true;
    const uint64_t end = offset + size;
    if (end > 0xFFFFFFFFull) {
        m_error = "a stream cannot grow beyond 4 GB";
        return false;
    }
    if (end > m_dir[stream].size && !Resize(stream, end, offset)) return false;
    return m_dir[stream].size >= kMiniStreamCutoff ? WriteRegular(stream, offset, data, size)
                                                   : WriteMini(stream, offset, data, size);
}

bool CompoundFile::SetStreamSize(EntryId stream, uint64_t size) {
    if (m_failed) return false;
    if (m_dir[stream].broken || size > 0xFFFFFFFFull) {
        m_error = "the stream is damaged or the size too large";
        return false;
    }
    return Resize(stream, size, size);
}

bool CompoundFile::Resize(EntryId stream, uint64_t size, uint64_t zeroEnd) {
    const uint64_t old = m_dir[stream].size;
    if (size == old) return true;
    const bool wasMini = old < kMiniStreamCutoff;
    const bool willBeMini = size < kMiniStreamCutoff;
    if (wasMini != willBeMini) {
        // Crossing the cutoff moves the data between the mini stream and whole sectors.
        const uint64_t keep = std::min(old, size);
        std::string content(keep, '\0');
        if (keep && ReadStream(stream, 0, content.data(), keep) != static_cast<int64_t>(keep))
            return false;
        FreeElementData(stream);
        if (!(willBeMini ? ResizeMini(stream, size) : ResizeRegular(stream, size))) return false;
        if (keep && !(willBeMini ? WriteMini(stream, 0, content.data(), keep)
                                 : WriteRegular(stream, 0, content.data(), keep)))
            return false;
        return WriteZeros(stream, keep, std::min(size, zeroEnd) > keep ? std::min(size, zeroEnd) - keep : 0);
    }
    if (!(willBeMini ? ResizeMini(stream, size) : ResizeRegular(stream, size))) return false;
    const uint64_t zeroTo = std::min(size, zeroEnd);
    return zeroTo > old ? WriteZeros(stream, old, zeroTo - old) : true;
}

bool CompoundFile::WriteZeros(EntryId stream, uint64_t offset, uint64_t count) {
    static const std::string zeros(65536, '\0');
    const bool mini = m_dir[stream].size < kMiniStreamCutoff;
    while (count > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count, zeros.size()));
        if (!(mini ? WriteMini(stream, offset, zeros.data(), n)
                   : WriteRegular(stream, offset, zeros.data(), n)))
            return false;
        offset += n;
        count -= n;
    }
    return true;
}

void CompoundFile::AnnounceNext(RegularStream& stream, uint64_t offset, size_t size) {
    // A window of this much is announced ahead of a walk, topped up once half of it is read.
    constexpr uint64_t kWindow = 512 * 1024;
    const bool walking = offset >= stream.readEnd && offset <= stream.readEnd + kWindow / 2;
    stream.readEnd = offset + size;
    if (!walking) {
        stream.announcedTo = stream.readEnd;
        return;
    }
    if (stream.announcedTo >= stream.readEnd + kWindow / 2) return;
    const uint32_t ss = SectorSize();
    const SectorChain& chain = stream.chain;
    const uint64_t to = std::min<uint64_t>(stream.readEnd + kWindow, uint64_t(chain.size()) * ss);
    size_t k = static_cast<size_t>(std::max(stream.announcedTo, stream.readEnd) / ss);
    const size_t end = static_cast<size_t>(CeilDiv(to, ss));
    while (k < end) {
        // Physically adjacent sectors in one announcement.
        size_t run = 1;
        while (k + run < end && chain[k + run] == chain[k] + run) ++run;
        m_file->ReadSoon(m_fat.OffsetOf(chain[k]), uint64_t(run) * ss);
        k += run;
    }
    stream.announcedTo = std::max(stream.announcedTo, to);
}

bool CompoundFile::ReadFromFile(uint64_t at, unsigned char* out, size_t size, ReadFilter* filter) {
    // Filtered bytes come straight out of the file's memory when it has them: one pass, no copy.
    while (filter && size > 0) {
        size_t n = size;
        const char* view = m_file->Peek(at, n);
        if (!view) break;
        filter->Apply(reinterpret_cast<const unsigned char*>(view), out, n);
        at += n;
        out += n;
        size -= n;
    }
    if (size == 0) return true;
    const int64_t got = m_file->ReadAt(at, out, size);
    if (got < 0) {
        m_error = "cannot read the file";
        return false;
    }
    if (static_cast<size_t>(got) < size) std::memset(out + got, 0, size - got);  // short file
    if (filter) filter->Apply(out, out, size);
    return true;
}

bool CompoundFile::ReadRegular(EntryId entry, uint64_t offset, void* buffer, size_t size,
                               ReadFilter* filter) {
    RegularStream& stream = m_regular[entry];
    AnnounceNext(stream, offset, size);
    const SectorChain& chain = stream.chain;
    const uint32_t ss = SectorSize();
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        if (offset / ss >= chain.size()) return false;
        const SectorRun run = RunAt(chain, ss, offset, size);
        if (!ReadFromFile(m_fat.OffsetOf(run.sector) + run.within, out, run.size, filter))
            return false;
        out += run.size;
        offset += run.size;
        size -= run.size;
    }
    return true;
}

void CompoundFile::RelinkChain(SectorChain& chain, size_t index, uint32_t fresh,
                               uint32_t* head) {
    const uint32_t old = chain[index];
    m_fat.SetNext(fresh, m_fat.Next(old));
    if (index > 0)
        m_fat.SetNext(chain[index - 1], fresh);
    else
        *head = fresh;
    m_fat.Free(old);
    chain[index] = fresh;
}

bool CompoundFile::WriteRegular(EntryId entry, uint64_t offset, const void* data, size_t size) {
    SectorChain& chain = ChainOf(entry);
    const uint32_t ss = SectorSize();
    const auto* in = static_cast<const unsigned char*>(data);
    std::vector<unsigned char> sector(ss);
    // Bytes bound for fresh sectors and the copies of committed ones go out together, in file
    // order, when the write is done.
    WriteBatch batch;
    while (size > 0) {
        const size_t k = static_cast<size_t>(offset / ss);
        const uint32_t within = static_cast<uint32_t>(offset % ss);
        const size_t take = std::min<size_t>(ss - within, size);
        const uint32_t s = chain[k];
        if (m_fat.IsFresh(s)) {
            batch.Add(m_fat.OffsetOf(s) + within, in, take);
        } else {
            // The committed file uses this sector: the change goes to a fresh copy, unless
            // the bytes are already there (whole-stream rewrites often change one sector).
            const int64_t got = m_file->ReadAt(m_fat.OffsetOf(s), sector.data(), ss);
            if (got < 0) return Fail("cannot read the file");
            std::memset(sector.data() + got, 0, ss - static_cast<size_t>(got));
            if (std::memcmp(sector.data() + within, in, take) != 0) {
                std::memcpy(sector.data() + within, in, take);
                const uint32_t fresh = m_fat.Allocate();
                RelinkChain(chain, k, fresh, &m_dir.Edit(entry).start);
                batch.Add(m_fat.OffsetOf(fresh), sector.data(), ss);
            }
        }
        in += take;
        offset += take;
        size -= take;
    }
    return batch.Flush(*m_file) || Fail("cannot write the file");
}

bool CompoundFile::ResizeRegular(EntryId entry, uint64_t size) {
    SectorChain& chain = ChainOf(entry);
    const size_t needed = static_cast<size_t>(CeilDiv(size, SectorSize()));
    while (chain.size() < needed) {
        const uint32_t s = m_fat.Allocate();
        if (chain.empty())
            m_dir.Edit(entry).start = s;
        else
            m_fat.SetNext(chain.back(), s);
        chain.push_back(s);
    }
    if (chain.size() > needed) {
        for (size_t i = needed; i < chain.size(); ++i) m_fat.Free(chain[i]);
        chain.resize(needed);
        if (chain.empty())
            m_dir.Edit(entry).start = kEndOfChain;
        else
            m_fat.SetNext(chain.back(), kEndOfChain);
    }
    m_dir.Edit(entry).size = size;
    return true;
}

// ---------------------------------------------------------------------------------------
// Mini streams

bool CompoundFile::MiniChain(EntryId entry, std::vector<uint32_t>& out) {
    out.clear();
    if (m_dir[entry].broken) {
        m_error = "the stream is damaged";
        return false;
    }
    const uint64_t needed = CeilDiv(m_dir[entry].size, kMiniSectorSize);
    bool inRange = true;
    if (!m_miniFat.Walk(m_dir[entry].start, needed, MiniCapacity(), out, inRange)) {
        m_error = "cannot read the mini FAT";
        return false;
    }
    if (!inRange) {
        MarkBroken(entry);
        m_error = "a mini stream chain is damaged";
        return false;
    }
    return m_dir[entry].miniChecked || CheckMiniChain(entry, out);
}

// A chain must not visit a mini sector twice or use one of another stream's.
bool CompoundFile::CheckMiniChain(EntryId entry, const std::vector<uint32_t>& chain) {
    if (m_miniHeld.Count() < MiniCapacity()) m_miniHeld.Resize(MiniCapacity());
    if (!m_miniHeld.HoldChain(chain.data(), chain.size())) {
        MarkBroken(entry);
        m_error = "a mini stream chain loops or shares sectors";
        return false;
    }
    m_dir.SetMiniChecked(entry);
    return true;
}

bool CompoundFile::PrepareMiniChanges() {
    if (m_miniFreeReady) return true;
    std::vector<uint32_t> chain;
    for (EntryId id = 1; id < m_dir.Count(); ++id) {
        const DirEntry& e = m_dir[id];
        if (e.type != EntryType::Stream || e.size == 0 || e.size >= kMiniStreamCutoff || e.broken) continue;
        // A bad chain marks its stream damaged; one that cannot be read must not have its
        // sectors taken for free ones.
        if (!MiniChain(id, chain) && !m_dir[id].broken) return Fail("cannot read the mini FAT");
    }
    if (m_miniHeld.Count() < MiniCapacity()) m_miniHeld.Resize(MiniCapacity());
    const uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(MiniCapacity(), m_miniFat.Count()));
    for (uint32_t m = 0; m < limit; ++m) {
        uint32_t next;
        if (!m_miniFat.Get(m, next)) return Fail("cannot read the mini FAT");
        if (next == kFreeSect && !m_miniHeld.IsHeld(m)) m_miniFree.insert(m);
    }
    m_miniFreeReady = true;
    return true;
}

bool CompoundFile::ReadMini(EntryId entry, uint64_t offset, void* buffer, size_t size,
                            ReadFilter* filter) {
    std::vector<uint32_t>& chain = m_readChain;
    if (!MiniChain(entry, chain)) return false;
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const SectorRun run = RunAt(chain, kMiniSectorSize, offset, size);
        const uint64_t at = uint64_t(run.sector) * kMiniSectorSize + run.within;
        if (!ReadRegular(kRoot, at, out, run.size, filter)) return false;
        out += run.size;
        offset += run.size;
        size -= run.size;
    }
    return true;
}

bool CompoundFile::WriteMini(EntryId entry, uint64_t offset, const void* data, size_t size) {
    std::vector<uint32_t> chain;
    if (!MiniChain(entry, chain)) return false;  // nothing changed yet
    const auto* in = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const SectorRun run = RunAt(chain, kMiniSectorSize, offset, size);
        if (!WriteRegular(kRoot, uint64_t(run.sector) * kMiniSectorSize + run.within, in, run.size))
            return false;
        in += run.size;
        offset += run.size;
        size -= run.size;
    }
    return true;
}

bool CompoundFile::SetMiniNext(uint32_t sector, uint32_t next) {
    return m_miniFat.Set(sector, next) || Fail("cannot read the mini FAT");
}

bool CompoundFile::AllocateMini(uint32_t& sector) {
    if (!m_miniFree.empty()) {
        sector = *m_miniFree.begin();
        m_miniFree.erase(m_miniFree.begin());
    } else {
        // Grow the mini stream by one mini sector, and the mini FAT when it is full.
        sector = MiniCapacity();
        if (!ResizeRegular(kRoot, uint64_t(sector + 1) * kMiniSectorSize)) return false;
        // A damaged file's mini stream can run past what its mini FAT describes.
        while (sector >= m_miniFat.Count()) m_miniFat.Grow();
        m_miniHeld.Resize(MiniCapacity());
    }
    m_miniHeld.Hold(sector);
    return SetMiniNext(sector, kEndOfChain);
}

void CompoundFile::FreeMiniChain(EntryId entry) {
    std::vector<uint32_t> chain;
    if (!PrepareMiniChanges() || !MiniChain(entry, chain)) return;
    for (uint32_t m : chain) {
        SetMiniNext(m, kFreeSect);
        m_miniHeld.Release(m);
        if (m_miniFreeReady) m_miniFree.insert(m);
    }
}

bool CompoundFile::ResizeMini(EntryId entry, uint64_t size) {
    std::vector<uint32_t> chain;
    if (!PrepareMiniChanges()) return false;
    if (!MiniChain(entry, chain)) return false;  // nothing changed yet
    const size_t needed = static_cast<size_t>(CeilDiv(size, kMiniSectorSize));
    while (chain.size() < needed) {
        uint32_t m;
        if (!AllocateMini(m)) return false;
        if (chain.empty())
            m_dir.Edit(entry).start = m;
        else
            SetMiniNext(chain.back(), m);
        chain.push_back(m);
    }
    if (chain.size() > needed) {
        for (size_t i = needed; i < chain.size(); ++i) {
            SetMiniNext(chain[i], kFreeSect);
            m_miniHeld.Release(chain[i]);
            if (m_miniFreeReady) m_miniFree.insert(chain[i]);
        }
        chain.resize(needed);
        if (chain.empty())
            m_dir.Edit(entry).start = kEndOfChain;
        else
            SetMiniNext(chain.back(), kEndOfChain);
    }
    m_dir.Edit(entry).size = size;
    return true;
}

}  // namespace ph::cfb
