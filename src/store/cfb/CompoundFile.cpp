#include "store/cfb/CompoundFile.h"

#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/Format.h"

namespace ph::cfb {
namespace {

bool IsValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameChars) return false;
    return name.find_first_of("/\\:!") == std::string_view::npos;
}

// Sizes come from the file and may be near 2^64: a + b - 1 would wrap.
uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

CompoundFile::CompoundFile(std::unique_ptr<IFile> file) : m_file(std::move(file)) {}

CompoundFile::~CompoundFile() {
    if (!m_failed && HasChanges()) DurableCommit();
}

std::shared_ptr<CompoundFile> CompoundFile::Create(const std::string& path, std::string* error) {
    auto file = PosixFile::Open(path, true, error);
    return file ? Create(std::move(file), error) : nullptr;
}

std::shared_ptr<CompoundFile> CompoundFile::Open(const std::string& path, std::string* error) {
    auto file = PosixFile::Open(path, false, error);
    return file ? Open(std::move(file), error) : nullptr;
}

std::shared_ptr<CompoundFile> CompoundFile::Create(std::unique_ptr<IFile> file,
                                                   std::string* error) {
    std::shared_ptr<CompoundFile> cf(new CompoundFile(std::move(file)));
    if (!cf->InitNew()) {
        *error = cf->m_error;
        return nullptr;
    }
    return cf;
}

std::shared_ptr<CompoundFile> CompoundFile::Open(std::unique_ptr<IFile> file, std::string* error) {
    std::shared_ptr<CompoundFile> cf(new CompoundFile(std::move(file)));
    if (!cf->Load()) {
        *error = cf->m_error;
        cf->m_failed = true;  // nothing to write back
        return nullptr;
    }
    return cf;
}

bool CompoundFile::Fail(std::string reason) {
    m_error = std::move(reason);
    m_failed = true;
    return false;
}

void CompoundFile::Reset() {
    m_header = Header{};
    m_dirChain.clear();
    m_miniFat.Reset({}, m_header.SectorSize());
    m_miniFree.clear();
    m_miniFreeReady = false;
    m_miniOwned.clear();
    m_chains.clear();
    m_rebuiltDirSectors.clear();
    m_brokenEntries.clear();
    m_groupDepth = 0;
    m_commitRequested = false;
    m_failed = false;
    m_error.clear();
}

bool CompoundFile::Rollback() {
    uint32_t generation = 0;
    for (EntryId id = 0; id < m_dir.Count(); ++id) generation = std::max(generation, m_dir[id].generation);
    Reset();
    if (!Load()) {
        m_failed = true;
        return false;
    }
    m_dir.SetAllGenerations(generation + 1);
    return true;
}

bool CompoundFile::InitNew() {
    m_header = Header{};
    m_fat = SectorTable(m_header.SectorSize());
    m_dir = Directory(m_header.SectorSize());
    m_fat.InitEmpty();
    m_dir.InitEmpty();
    m_miniFat.Reset({}, m_header.SectorSize());
    m_miniFreeReady = true;  // nothing to check in a new file
    if (!m_file->Truncate(0)) return Fail("cannot empty the file");
    // A new file is a valid, empty compound file from its first commit on.
    return DurableCommit();
}

// ---------------------------------------------------------------------------------------
// Loading

bool CompoundFile::Load() {
    unsigned char raw[kHeaderSize];
    if (m_file->ReadIsolated(0, raw, kHeaderSize) != static_cast<int64_t>(kHeaderSize))
        return Fail("the file is too short to be a compound file");
    std::string error;
    if (!m_header.Parse(raw, &error)) return Fail(error);

    const uint32_t sectorSize = m_header.SectorSize();
    const uint64_t size = m_file->Size();
    const uint64_t fileSectors = size > sectorSize ? CeilDiv(size - sectorSize, sectorSize) : 0;
    if (fileSectors >= kMaxRegSect) return Fail("the file is too large for a compound file");
    m_fat = SectorTable(sectorSize);
    m_dir = Directory(sectorSize);
    if (!m_fat.Load(*m_file, m_header, fileSectors, &error)) return Fail(error);

    if (!m_fat.ReadChain(m_header.firstDirSector, m_dirChain, &error))
        return Fail("directory: " + error);
    if (m_dirChain.empty()) return Fail("the compound file has no directory");
    auto readDirectory = [this](size_t first, size_t count, char* out) {
        std::vector<uint64_t> offsets;
        for (size_t k = first; k < first + count; ++k) offsets.push_back(m_fat.OffsetOf(m_dirChain[k]));
        return ReadScattered(*m_file, offsets, SectorSize(), out);
    };
    if (!m_dir.Load(m_dirChain.size(), readDirectory, &error)) return Fail(error);
    m_rebuiltDirSectors = m_dir.DirtySectors();
    m_dir.ClearDirty();

    SectorChain miniFatChain;
    if (m_header.firstMiniFatSector != kEndOfChain && m_header.firstMiniFatSector != kFreeSect &&
        !m_fat.ReadChain(m_header.firstMiniFatSector, miniFatChain, &error))
        return Fail("mini FAT: " + error);
    m_miniFat.Reset(std::move(miniFatChain), sectorSize);
    return LoadChains();
}

// Walks every chain of whole sectors once: damaged or cross-linked streams are marked
// broken (their data is never read, written or freed). Mini chains are checked as they are
// first used (MiniChain).
bool CompoundFile::LoadChains() {
    std::string error;
    std::vector<bool> owned(m_fat.SectorCount(), false);
    for (uint32_t s : m_dirChain) owned[s] = true;
    for (uint32_t s : m_miniFat.Chain()) {
        // Both would be rewritten and freed at the next commit, each undoing the other.
        if (owned[s]) return Fail("the mini FAT shares sectors with the directory");
        owned[s] = true;
    }
    auto claim = [&owned](const SectorChain& chain) {
        for (uint32_t s : chain)
            if (owned[s]) return false;
        for (uint32_t s : chain) owned[s] = true;
        return true;
    };

    // Room for the whole chain up front: a large stream's chain grown step by step would
    // touch every page several times. A size that claims more than the file holds is capped.
    auto reserveFor = [this](SectorChain& chain, uint64_t size) {
        chain.reserve(static_cast<size_t>(std::min<uint64_t>(CeilDiv(size, SectorSize()), m_fat.SectorCount())));
    };
    const DirEntry& root = m_dir[kRoot];
    SectorChain chain;
    if (root.size > 0) {
        reserveFor(chain, root.size);
        if (!m_fat.ReadChain(root.start, chain, &error)) return Fail("mini stream: " + error);
        if (chain.size() < CeilDiv(root.size, SectorSize()) || !claim(chain))
            return Fail("the mini stream is damaged");
        m_chains[kRoot] = std::move(chain);
    }
    for (EntryId id = 1; id < m_dir.Count(); ++id) {
        const DirEntry& e = m_dir[id];
        if (e.type != EntryType::Stream || e.size < kMiniStreamCutoff) continue;
        reserveFor(chain, e.size);
        if (m_fat.ReadChain(e.start, chain, &error) && chain.size() >= CeilDiv(e.size, SectorSize()) &&
            claim(chain))
            m_chains[id] = std::move(chain);
        else
            MarkBroken(id);
    }
    return true;
}

void CompoundFile::MarkBroken(EntryId id) {
    m_dir.SetBroken(id);
    m_brokenEntries.insert(id);
}

// ---------------------------------------------------------------------------------------
// Directory operations

EntryId CompoundFile::Find(EntryId storage, std::string_view name) const {
    if (!m_dir.IsLive(storage) || !m_dir[storage].IsStorage() || !IsValidName(name))
        return kNoEntry;
    return m_dir.Find(storage, WideEntryName(name));
}

EntryId CompoundFile::CreateElement(EntryId storage, std::string_view name, EntryType type) {
    if (m_failed) return kNoEntry;
    if (!m_dir.IsLive(storage) || !m_dir[storage].IsStorage()) {
        m_error = "the parent storage is gone";
        return kNoEntry;
    }
    if (!IsValidName(name)) {
        m_error = Format("'%.*s' is not a valid element name", int(name.size()), name.data());
        return kNoEntry;
    }
    const EntryId existing = m_dir.Find(storage, WideEntryName(name));
    if (existing != kNoEntry) {
        if (m_dir[existing].type == type && !m_dir[existing].broken) {
            if (type == EntryType::Stream) {
                if (!Resize(existing, 0, 0)) return kNoEntry;
            } else {
                for (EntryId child : m_dir.Children(existing))
                    DestroyElement(existing, NarrowName(m_dir[child].name));
            }
            return existing;
        }
        DestroyElement(storage, name);
    }
    return m_dir.Insert(storage, WideEntryName(name), type);
}

bool CompoundFile::DestroyElement(EntryId storage, std::string_view name) {
    if (m_failed) return false;
    const EntryId top = Find(storage, name);
    if (top == kNoEntry) return false;
    // Everything below `top` goes with it; their own trees need no unlinking.
    std::vector<EntryId> below;
    if (m_dir[top].IsStorage()) below = m_dir.Children(top);
    for (size_t i = 0; i < below.size(); ++i) {
        if (m_dir[below[i]].IsStorage()) {
            const std::vector<EntryId> more = m_dir.Children(below[i]);
            below.insert(below.end(), more.begin(), more.end());
        }
    }
    for (EntryId id : below) {
        FreeElementData(id);
        m_dir.Release(id);
    }
    FreeElementData(top);
    m_dir.Remove(storage, top);
    return true;
}

void CompoundFile::FreeElementData(EntryId entry) {
    const DirEntry& e = m_dir[entry];
    // A damaged stream's sectors may belong to someone else: they are left alone.
    if (e.type != EntryType::Stream || e.broken || e.size == 0) return;
    if (e.size >= kMiniStreamCutoff) {
        for (uint32_t s : ChainOf(entry)) m_fat.Free(s);
        m_chains.erase(entry);
    } else {
        FreeMiniChain(entry);
    }
    DirEntry& edit = m_dir.Edit(entry);
    edit.start = kEndOfChain;
    edit.size = 0;
}

// ---------------------------------------------------------------------------------------
// Streams

int64_t CompoundFile::ReadStream(EntryId stream, uint64_t offset, void* buffer, size_t size) {
    const DirEntry& e = m_dir[stream];
    if (e.broken) {
        m_error = Format("stream '%s' is damaged", NarrowName(e.name).c_str());
        return -1;
    }
    if (offset >= e.size) return 0;
    size = static_cast<size_t>(std::min<uint64_t>(size, e.size - offset));
    const bool ok = e.size >= kMiniStreamCutoff ? ReadRegular(stream, offset, buffer, size)
                                                : ReadMini(stream, offset, buffer, size);
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

bool CompoundFile::ReadRegular(EntryId entry, uint64_t offset, void* buffer, size_t size) {
    const SectorChain& chain = ChainOf(entry);
    const uint32_t ss = SectorSize();
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        size_t k = static_cast<size_t>(offset / ss);
        const uint32_t within = static_cast<uint32_t>(offset % ss);
        if (k >= chain.size()) return false;
        // Read physically adjacent sectors in one go.
        size_t run = std::min<size_t>(ss - within, size);
        while (run < size && k + 1 < chain.size() && chain[k + 1] == chain[k] + 1) {
            ++k;
            run = std::min<size_t>(run + ss, size);
        }
        const uint64_t at = m_fat.OffsetOf(chain[static_cast<size_t>(offset / ss)]) + within;
        const int64_t got = m_file->ReadAt(at, out, run);
        if (got < 0) {
            m_error = "cannot read the file";
            return false;
        }
        if (static_cast<size_t>(got) < run) std::memset(out + got, 0, run - got);  // short file
        out += run;
        offset += run;
        size -= run;
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
    if (m_miniOwned.size() < MiniCapacity()) m_miniOwned.resize(MiniCapacity(), false);
    size_t claimed = 0;
    for (; claimed < chain.size() && !m_miniOwned[chain[claimed]]; ++claimed) m_miniOwned[chain[claimed]] = true;
    if (claimed < chain.size()) {
        for (size_t i = 0; i < claimed; ++i) m_miniOwned[chain[i]] = false;
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
    if (m_miniOwned.size() < MiniCapacity()) m_miniOwned.resize(MiniCapacity(), false);
    const uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(MiniCapacity(), m_miniFat.Count()));
    for (uint32_t m = 0; m < limit; ++m) {
        uint32_t next;
        if (!m_miniFat.Get(m, next)) return Fail("cannot read the mini FAT");
        if (next == kFreeSect && !m_miniOwned[m]) m_miniFree.insert(m);
    }
    m_miniFreeReady = true;
    return true;
}

bool CompoundFile::ReadMini(EntryId entry, uint64_t offset, void* buffer, size_t size) {
    std::vector<uint32_t> chain;
    if (!MiniChain(entry, chain)) return false;
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        size_t k = static_cast<size_t>(offset / kMiniSectorSize);
        const uint32_t within = static_cast<uint32_t>(offset % kMiniSectorSize);
        const uint32_t first = chain[k];
        size_t run = std::min<size_t>(kMiniSectorSize - within, size);
        while (run < size && k + 1 < chain.size() && chain[k + 1] == chain[k] + 1) {
            ++k;
            run = std::min<size_t>(run + kMiniSectorSize, size);
        }
        if (!ReadRegular(kRoot, uint64_t(first) * kMiniSectorSize + within, out, run)) return false;
        out += run;
        offset += run;
        size -= run;
    }
    return true;
}

bool CompoundFile::WriteMini(EntryId entry, uint64_t offset, const void* data, size_t size) {
    std::vector<uint32_t> chain;
    if (!MiniChain(entry, chain)) return false;  // nothing changed yet
    const auto* in = static_cast<const unsigned char*>(data);
    while (size > 0) {
        size_t k = static_cast<size_t>(offset / kMiniSectorSize);
        const uint32_t within = static_cast<uint32_t>(offset % kMiniSectorSize);
        const uint32_t first = chain[k];
        size_t run = std::min<size_t>(kMiniSectorSize - within, size);
        while (run < size && k + 1 < chain.size() && chain[k + 1] == chain[k] + 1) {
            ++k;
            run = std::min<size_t>(run + kMiniSectorSize, size);
        }
        if (!WriteRegular(kRoot, uint64_t(first) * kMiniSectorSize + within, in, run))
            return false;
        in += run;
        offset += run;
        size -= run;
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
        m_miniOwned.resize(MiniCapacity(), false);
    }
    m_miniOwned[sector] = true;
    return SetMiniNext(sector, kEndOfChain);
}

void CompoundFile::FreeMiniChain(EntryId entry) {
    std::vector<uint32_t> chain;
    if (!PrepareMiniChanges() || !MiniChain(entry, chain)) return;
    for (uint32_t m : chain) {
        SetMiniNext(m, kFreeSect);
        m_miniOwned[m] = false;
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
            m_miniOwned[chain[i]] = false;
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

// ---------------------------------------------------------------------------------------
// Commit

bool CompoundFile::HasChanges() const {
    return m_fat.HasChanges() || !m_dir.DirtySectors().empty() || !m_miniFat.Dirty().empty();
}

bool CompoundFile::Commit() {
    if (m_failed) return false;
    if (m_groupDepth > 0) {
        m_commitRequested = true;
        return true;
    }
    return DurableCommit();
}

bool CompoundFile::EndGroup() {
    if (m_groupDepth > 0 && --m_groupDepth > 0) return !m_failed;
    if (!m_commitRequested) return !m_failed;
    m_commitRequested = false;
    return !m_failed && DurableCommit();
}

void CompoundFile::FlushSystemSectors(WriteBatch& batch, SectorChain& chain, uint32_t* head,
                                      const std::set<uint32_t>& ordinals, uint32_t wantedLength,
                                      const std::function<void(uint32_t, unsigned char*)>& serialize) {
    std::set<uint32_t> toWrite = ordinals;
    while (chain.size() < wantedLength) {
        const uint32_t s = m_fat.Allocate();
        if (chain.empty())
            *head = s;
        else
            m_fat.SetNext(chain.back(), s);
        toWrite.insert(static_cast<uint32_t>(chain.size()));
        chain.push_back(s);
    }
    std::vector<unsigned char> buffer(SectorSize());
    for (uint32_t k : toWrite) {
        if (k >= chain.size()) continue;
        if (!m_fat.IsFresh(chain[k])) RelinkChain(chain, k, m_fat.Allocate(), head);
        serialize(k, buffer.data());
        batch.Add(m_fat.OffsetOf(chain[k]), buffer.data(), buffer.size());
    }
}

void CompoundFile::FlushMiniFat(WriteBatch& batch) {
    FlushSystemSectors(batch, m_miniFat.Chain(), &m_header.firstMiniFatSector, m_miniFat.Dirty(),
                       static_cast<uint32_t>(m_miniFat.Count() / (SectorSize() / 4)),
                       [this](uint32_t k, unsigned char* out) { m_miniFat.Serialize(k, out); });
}

void CompoundFile::FlushDirectory(WriteBatch& batch) {
    FlushSystemSectors(batch, m_dirChain, &m_header.firstDirSector, m_dir.DirtySectors(),
                       m_dir.SectorCount(),
                       [this](uint32_t k, unsigned char* out) { m_dir.SerializeSector(k, out); });
}

bool CompoundFile::DurableCommit() {
    if (!HasChanges()) return true;
    // A damaged stream's chain may run into sectors that are free, beyond the end, or
    // another stream's. Once this session hands those out, the chain could look whole on
    // the next open and take them over; committed without a chain, it stays damaged.
    for (EntryId id : m_brokenEntries)
        if (m_dir.IsLive(id) && m_dir[id].broken && m_dir[id].start != kEndOfChain) m_dir.Edit(id).start = kEndOfChain;
    // Trees rebuilt at load go out whole, or their new links would mix with old ones.
    for (uint32_t ordinal : m_rebuiltDirSectors) m_dir.MarkSectorDirty(ordinal);
    // Order matters: everything the new header points at is written and synced before the
    // header itself, which is the only sector ever overwritten in place.
    WriteBatch batch;
    FlushMiniFat(batch);
    FlushDirectory(batch);
    m_fat.RelocateForCommit();
    m_fat.WriteChanges(batch);
    if (!batch.Flush(*m_file)) return Fail("cannot write the file");
    m_fat.FillHeader(m_header);
    if (m_miniFat.Chain().empty()) m_header.firstMiniFatSector = kEndOfChain;
    m_header.numMiniFatSectors = static_cast<uint32_t>(m_miniFat.Chain().size());
    m_header.numDirSectors = static_cast<uint32_t>(m_dirChain.size());
    unsigned char raw[kHeaderSize];
    m_header.Serialize(raw);
    if (!m_file->Sync()) return Fail("cannot sync the file");
    if (!m_file->WriteAt(0, raw, kHeaderSize)) return Fail("cannot write the file header");
    if (!m_file->Sync()) return Fail("cannot sync the file");
    m_fat.CommitDone();
    m_dir.ClearDirty();
    m_miniFat.ClearDirty();
    m_rebuiltDirSectors.clear();
    // Free sectors at the end are given back to the file system. Losing this to a crash
    // only leaves free sectors behind.
    const uint64_t end = m_fat.OffsetOf(m_fat.TrimFreeTail());
    if (m_file->Size() > end) m_file->Truncate(end);
    return true;
}

}  // namespace ph::cfb
