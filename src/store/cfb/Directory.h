#pragma once
// The directory of a compound file: every storage and stream as a 128-byte entry, the
// children of each storage kept as a red-black tree ordered by name (length first, then
// upper-cased UTF-16). Look-up, insertion and removal cost O(log n) in the number of
// siblings and change O(log n) entries, so a storage of 100,000 streams stays fast and a
// commit rewrites only the few directory sectors those entries live in.
#include <array>
#include <functional>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/cfb/LargeTable.h"

namespace ph::cfb {

using EntryId = uint32_t;
constexpr EntryId kNoEntry = 0xFFFFFFFF;
constexpr size_t kEntrySize = 128;
constexpr size_t kMaxNameChars = 31;  // 32 UTF-16 units with the terminator

enum class EntryType : uint8_t { Empty = 0, Storage = 1, Stream = 2, Root = 5 };

// An element name of at most kMaxNameChars UTF-16 units, kept inside its entry: a directory
// of 100,000 entries then costs no allocation per entry.
class EntryName {
public:
    EntryName() = default;
    // Longer names are cut (callers check lengths first).
    EntryName(std::u16string_view name) { Assign(name); }  // NOLINT: a name converts freely
    EntryName& operator=(std::u16string_view name) {
        Assign(name);
        return *this;
    }
    operator std::u16string_view() const { return {m_units.data(), m_length}; }  // NOLINT
    size_t size() const { return m_length; }
    bool empty() const { return m_length == 0; }
    char16_t operator[](size_t i) const { return m_units[i]; }

private:
    void Assign(std::u16string_view name);
    std::array<char16_t, kMaxNameChars> m_units{};
    uint8_t m_length = 0;
};

struct DirEntry {
    EntryName name;
    EntryType type = EntryType::Empty;
    uint8_t color = 1;  // 0 red, 1 black
    // In memory only: the entry's sector chain failed validation; its data is not touched.
    bool broken = false;
    // In memory only: a mini stream whose chain has been checked (and its sectors claimed).
    bool miniChecked = false;
    EntryId left = kNoEntry;
    EntryId right = kNoEntry;
    EntryId child = kNoEntry;  // root of the children's tree (storages only)
    EntryId parent = kNoEntry;  // in memory only: the tree parent; kNoEntry for a tree root
    uint32_t start = 0;
    // In memory only: bumped whenever the slot is freed, so that stale handles notice.
    uint32_t generation = 0;
    uint64_t size = 0;

    bool IsStorage() const { return type == EntryType::Storage || type == EntryType::Root; }
};

// The fields this engine never sets itself (it writes zeros), kept for the entries of other
// writers that have them so that they go back to the file unchanged.
struct EntryExtras {
    std::array<unsigned char, 16> clsid{};
    uint32_t stateBits = 0;
    uint64_t created = 0;
    uint64_t modified = 0;
};

// Compares two names the way the format orders siblings: shorter first, then by code unit
// after simple upper-casing. Returns <0, 0 or >0.
int CompareNames(std::u16string_view a, std::u16string_view b);
// Names travel as 8-bit text in the program: each byte is one code point (ISO 8859-1).
std::u16string WideName(std::string_view name);
// The same for a name already checked to fit an entry, without an allocation.
EntryName WideEntryName(std::string_view name);
std::string NarrowName(std::u16string_view name);

class Directory {
public:
    explicit Directory(uint32_t sectorSize) : m_perSector(sectorSize / kEntrySize) {}

    // A directory holding only the root storage.
    void InitEmpty();
    // Reads `sectorCount` directory sectors through `read` (which fills `count` sectors from
    // `first` on), a window at a time. Fails on an entry the tree reaches twice or out of
    // range, a bad type or name, or a missing root. Sibling trees that are not valid
    // red-black search trees under our ordering are rebuilt in memory.
    using SectorReader = std::function<bool(size_t first, size_t count, char* out)>;
    bool Load(size_t sectorCount, const SectorReader& read, std::string* error);

    size_t Count() const { return m_entries.size(); }
    const DirEntry& operator[](EntryId id) const { return m_entries[id]; }
    // Mutable access marks the entry's directory sector for the next commit.
    DirEntry& Edit(EntryId id);
    bool IsLive(EntryId id) const {
        return id < m_entries.size() && m_entries[id].type != EntryType::Empty;
    }

    // A walk asks for names in sibling order: the entry after the previous answer is tried
    // before the tree is searched.
    EntryId Find(EntryId storage, std::u16string_view name) const;
    // The first child named after `name` in sibling order; the first child for an empty name.
    EntryId UpperBound(EntryId storage, std::u16string_view name) const;
    // Adds a child that does not exist yet; returns its id.
    EntryId Insert(EntryId storage, std::u16string_view name, EntryType type);
    // Unlinks `id` from its storage's tree and frees the slot; its own children must be gone.
    void Remove(EntryId storage, EntryId id);
    // Frees the slot of an entry whose whole parent tree is going away (no unlinking).
    void Release(EntryId id);
    // Makes every handle taken before a reload stale.
    void SetAllGenerations(uint32_t generation) {
        for (DirEntry& e : m_entries) e.generation = generation;
    }

    // Number of directory sectors the entries need.
    uint32_t SectorCount() const { return static_cast<uint32_t>(m_entries.size() / m_perSector); }
    const std::set<uint32_t>& DirtySectors() const { return m_dirtySectors; }
    void ClearDirty() { m_dirtySectors.clear(); }
    void MarkSectorDirty(uint32_t ordinal) { m_dirtySectors.insert(ordinal); }
    // In memory only: the entry's data is not to be touched (nothing to write).
    void SetBroken(EntryId id) { m_entries[id].broken = true; }
    void SetMiniChecked(EntryId id) { m_entries[id].miniChecked = true; }
    void SerializeSector(uint32_t ordinal, unsigned char* out) const;

    // True when the children of `storage` form a valid red-black search tree.
    bool IsValidTree(EntryId storage) const;
    // Children of `storage` in sibling order.
    std::vector<EntryId> Children(EntryId storage) const;

private:
    DirEntry& E(EntryId id) { return m_entries[id]; }
    void Touch(EntryId id) { m_dirtySectors.insert(static_cast<uint32_t>(id / m_perSector)); }
    EntryId NewSlot();
    // The next entry of its tree in sibling order, or kNoEntry.
    EntryId Successor(EntryId id) const;
    // The trees change: the latest answer of Find may no longer lead to the next one.
    void Restructured() { m_found = kNoEntry; }
    bool ParseEntry(const unsigned char* p, std::string* error);
    void RotateLeft(EntryId storage, EntryId x);
    void RotateRight(EntryId storage, EntryId x);
    void ReplaceChild(EntryId storage, EntryId parent, EntryId oldChild, EntryId newChild);
    void InsertFixup(EntryId storage, EntryId z);
    void EraseFixup(EntryId storage, EntryId x, EntryId xParent);
    bool IsRed(EntryId id) const { return id != kNoEntry && m_entries[id].color == 0; }
    void Rebuild(EntryId storage, std::vector<EntryId> children);
    EntryId BuildBalanced(const std::vector<EntryId>& sorted, size_t lo, size_t hi, EntryId parent,
                          int depth, int redDepth);

    uint32_t m_perSector;
    LargeVector<DirEntry> m_entries;
    std::unordered_map<EntryId, EntryExtras> m_extras;  // only entries that have any
    std::set<EntryId> m_freeSlots;
    std::set<uint32_t> m_dirtySectors;
    // The latest answer of Find and the storage it was asked about; kNoEntry after a change.
    mutable EntryId m_found = kNoEntry;
    mutable EntryId m_foundIn = kNoEntry;
};

}  // namespace ph::cfb
