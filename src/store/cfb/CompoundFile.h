#pragma once
// A compound file (MS-CFB): nested storages and random-access streams in one file.
// Version 3 (512-byte sectors) is written; version 4 (4096-byte sectors) is read and can be
// written in place. The file is held open and locked for the life of this object.
//
// Changes go to sectors the committed file does not use; Commit makes them durable and then
// switches the header in one write (see SectorTable.h). A crash or kill at any moment leaves
// the file as of the last commit, or of the one in flight. Commits can be grouped: inside
// BeginGroup/EndGroup, Commit only notes the request and EndGroup makes one durable commit.
//
// Not thread-safe: one thread uses a file at a time.
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/cfb/Directory.h"
#include "store/cfb/FileIo.h"
#include "store/cfb/Header.h"
#include "store/cfb/MiniFat.h"
#include "store/cfb/SectorClaims.h"
#include "store/cfb/SectorTable.h"

namespace ph::cfb {

// Applied to a stream's bytes on their way out of the file, piece by piece, from wherever the
// file holds them: the store deciphers its streams in the same pass that reads them. Every
// piece starts at the read's offset or at a multiple of 64 bytes into the stream.
class ReadFilter {
public:
    virtual ~ReadFilter() = default;
    // `from` and `to` may be the same.
    virtual void Apply(const unsigned char* from, unsigned char* to, size_t size) = 0;
};

class CompoundFile {
public:
    // Create replaces any file of that name; Open fails, with a reason, on anything that is
    // not a readable compound file.
    static std::shared_ptr<CompoundFile> Create(const std::string& path, std::string* error);
    static std::shared_ptr<CompoundFile> Open(const std::string& path, std::string* error);
    static std::shared_ptr<CompoundFile> Create(std::unique_ptr<IFile> file, std::string* error);
    static std::shared_ptr<CompoundFile> Open(std::unique_ptr<IFile> file, std::string* error);

    // Commits what is pending (a direct-mode file keeps its changes when it is closed).
    ~CompoundFile();
    CompoundFile(const CompoundFile&) = delete;
    CompoundFile& operator=(const CompoundFile&) = delete;

    static constexpr EntryId kRoot = 0;
    const Directory& Dir() const { return m_dir; }
    // True while `id` names a live entry created in generation `generation`.
    bool IsCurrent(EntryId id, uint32_t generation) const {
        return m_dir.IsLive(id) && m_dir[id].generation == generation;
    }

    EntryId Find(EntryId storage, std::string_view name) const;
    // The first child of `storage` that sorts after `name` (the first child for "").
    EntryId ChildAfter(EntryId storage, std::u16string_view name) const {
        return m_dir.UpperBound(storage, name);
    }
    // Creates a storage or stream, replacing any element of that name (an existing element
    // of the same kind is emptied and kept). kNoEntry on a bad name or a failed file.
    EntryId CreateElement(EntryId storage, std::string_view name, EntryType type);
    // Removes the named element with everything under it. False when there is none.
    bool DestroyElement(EntryId storage, std::string_view name);

    uint64_t StreamSize(EntryId stream) const { return m_dir[stream].size; }
    // Reads up to `size` bytes at `offset`, through `filter` when there is one; the count
    // read, or -1 when the stream is damaged.
    int64_t ReadStream(EntryId stream, uint64_t offset, void* buffer, size_t size,
                       ReadFilter* filter = nullptr);
    bool WriteStream(EntryId stream, uint64_t offset, const void* data, size_t size);
    bool SetStreamSize(EntryId stream, uint64_t size);

    // Makes every change so far durable (or, inside a group, asks for it at EndGroup).
    bool Commit();
    void BeginGroup() { ++m_groupDepth; }
    bool EndGroup();
    // Forgets every change since the last commit and reads the committed file again (also
    // after a failed write). Every handle on an element becomes stale.
    bool Rollback();

    // The reason for the last failure. After a failed write the file refuses further
    // changes until it is reopened; what is on disk stays as of the last commit.
    const std::string& Error() const { return m_error; }
    bool Failed() const { return m_failed; }
    uint32_t SectorSize() const { return m_header.SectorSize(); }
    uint64_t FileSize() const { return m_file->Size(); }

private:
    explicit CompoundFile(std::unique_ptr<IFile> file);
    void Reset();
    bool InitNew();
    bool Load();
    bool LoadChains();
    bool Fail(std::string reason);

    // Regular streams: data in whole sectors along a FAT chain, cached per entry, and how far
    // a walk through the stream has got: a walk tells the file which sectors it needs next.
    struct RegularStream {
        SectorChain chain;
        uint64_t readEnd = 0;      // where the latest read ended
        uint64_t announcedTo = 0;  // the file has been told of the bytes before this
    };
    SectorChain& ChainOf(EntryId entry) { return m_regular[entry].chain; }
    bool ReadRegular(EntryId entry, uint64_t offset, void* buffer, size_t size, ReadFilter* filter);
    // Reads `size` bytes at file offset `at` (zeros past the end of a short file).
    bool ReadFromFile(uint64_t at, unsigned char* out, size_t size, ReadFilter* filter);
    // Before a read of [offset, offset + size): when it carries on from the read before, the
    // file hears of the sectors that follow, so it can read them ahead.
    void AnnounceNext(RegularStream& stream, uint64_t offset, size_t size);
    bool WriteRegular(EntryId entry, uint64_t offset, const void* data, size_t size);
    bool ResizeRegular(EntryId entry, uint64_t size);
    void RelinkChain(SectorChain& chain, size_t index, uint32_t fresh, uint32_t* head);
    // Mini streams: 64-byte mini sectors inside the root entry's stream, chained by the
    // mini FAT. Every stream below the cutoff lives there. A chain is checked the first time
    // it is walked (in range, no loops, no sector of another stream); a bad one marks the
    // stream damaged.
    bool MiniChain(EntryId entry, std::vector<uint32_t>& out);
    bool CheckMiniChain(EntryId entry, const std::vector<uint32_t>& chain);
    // Before the first mini sector is freed or handed out: every chain checked (a sector of
    // two chains stays with the earlier entry), the free ones known.
    bool PrepareMiniChanges();
    bool ReadMini(EntryId entry, uint64_t offset, void* buffer, size_t size, ReadFilter* filter);
    bool WriteMini(EntryId entry, uint64_t offset, const void* data, size_t size);
    bool ResizeMini(EntryId entry, uint64_t size);
    bool AllocateMini(uint32_t& sector);
    bool SetMiniNext(uint32_t sector, uint32_t next);
    void FreeMiniChain(EntryId entry);
    // Size change of a user stream, moving it between the mini stream and sectors when it
    // crosses the cutoff. Bytes between the old and new size read as zeros.
    // Only [old size, zeroEnd) is zero-filled: a writer about to fill the rest passes its
    // offset.
    bool Resize(EntryId stream, uint64_t size, uint64_t zeroEnd);
    bool WriteZeros(EntryId stream, uint64_t offset, uint64_t count);
    void FreeElementData(EntryId entry);
    uint32_t MiniCapacity() const { return static_cast<uint32_t>(m_dir[kRoot].size / kMiniSectorSize); }

    void FlushDirectory(WriteBatch& batch);
    void FlushMiniFat(WriteBatch& batch);
    void MarkBroken(EntryId id);
    void FlushSystemSectors(WriteBatch& batch, SectorChain& chain, uint32_t* head,
                            const std::set<uint32_t>& ordinals, uint32_t wantedLength,
                            const std::function<void(uint32_t, unsigned char*)>& serialize);
    bool DurableCommit();
    bool HasChanges() const;

    std::unique_ptr<IFile> m_file;
    Header m_header;
    SectorTable m_fat{512};
    Directory m_dir{512};
    SectorChain m_dirChain;
    MiniFat m_miniFat{*m_file, m_fat, 512};
    std::set<uint32_t> m_miniFree;  // valid once m_miniFreeReady
    bool m_miniFreeReady = false;
    SectorClaims m_miniHeld;  // mini sectors of checked chains
    std::vector<uint32_t> m_readChain;  // the mini chain of the latest read, kept for its room
    std::unordered_map<EntryId, RegularStream> m_regular;  // regular streams and root
    // Directory sectors of sibling trees rebuilt at load. They go out with the next commit
    // that has changes of its own; opening and closing a file writes nothing.
    std::set<uint32_t> m_rebuiltDirSectors;
    std::set<EntryId> m_brokenEntries;
    int m_groupDepth = 0;
    bool m_commitRequested = false;
    bool m_failed = false;
    std::string m_error;
};

}  // namespace ph::cfb
