#include "store/cfb/CompoundFile.h"

#include <algorithm>
#include <cstring>

#include "common/Format.h"

namespace ph::cfb {
namespace {

bool IsValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameChars) return false;
    return name.find_first_of("/\\:!") == std::string_view::npos;
}

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
    m_miniHeld.Clear();
    m_regular.clear();
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
    SectorClaims held;
    held.Resize(m_fat.SectorCount());
    // The first chain held: ReadChain lets no chain repeat a sector, so this cannot fail.
    held.HoldChain(m_dirChain.data(), m_dirChain.size());
    // Shared sectors would be rewritten and freed at the next commit, each undoing the other.
    if (!held.HoldChain(m_miniFat.Chain().data(), m_miniFat.Chain().size()))
        return Fail("the mini FAT shares sectors with the directory");
    auto claim = [&held](const SectorChain& chain) {
        return held.HoldChain(chain.data(), chain.size());
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
        m_regular[kRoot].chain = std::move(chain);
    }
    for (EntryId id = 1; id < m_dir.Count(); ++id) {
        const DirEntry& e = m_dir[id];
        if (e.type != EntryType::Stream || e.size < kMiniStreamCutoff) continue;
        reserveFor(chain, e.size);
        if (m_fat.ReadChain(e.start, chain, &error) && chain.size() >= CeilDiv(e.size, SectorSize()) &&
            claim(chain))
            m_regular[id].chain = std::move(chain);
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
        m_regular.erase(entry);
    } else {
        FreeMiniChain(entry);
    }
    DirEntry& edit = m_dir.Edit(entry);
    edit.start = kEndOfChain;
    edit.size = 0;
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
