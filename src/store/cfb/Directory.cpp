#include "store/cfb/Directory.h"

#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/Format.h"
#include "store/cfb/Header.h"

namespace ph::cfb {
namespace {

char16_t UpperUnit(char16_t c) {
    if (c >= u'a' && c <= u'z') return char16_t(c - 32);
    if (c < 0xB5) return c;
    if (c == 0xB5) return 0x39C;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F))
        return char16_t(c - 32);
    if (c == 0xFF) return 0x178;
    if (c >= 0x450 && c <= 0x45F) return char16_t(c - 80);
    return c;
}

constexpr int kMaxTreeDepth = 128;

}  // namespace

int CompareNames(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    // Most names share long prefixes ("Blob_Xml_"): equal units are skipped four at a time.
    size_t i = 0;
    for (; i + 4 <= a.size(); i += 4) {
        uint64_t x, y;
        std::memcpy(&x, a.data() + i, sizeof x);
        std::memcpy(&y, b.data() + i, sizeof y);
        if (x != y) break;
    }
    for (; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        const char16_t ua = UpperUnit(a[i]), ub = UpperUnit(b[i]);
        if (ua != ub) return ua < ub ? -1 : 1;
    }
    return 0;
}

std::u16string WideName(std::string_view name) {
    std::u16string out(name.size(), u'\0');
    for (size_t i = 0; i < name.size(); ++i) out[i] = static_cast<unsigned char>(name[i]);
    return out;
}

EntryName WideEntryName(std::string_view name) {
    std::array<char16_t, kMaxNameChars> units;
    const size_t length = std::min(name.size(), units.size());
    for (size_t i = 0; i < length; ++i) units[i] = static_cast<unsigned char>(name[i]);
    return EntryName(std::u16string_view(units.data(), length));
}

std::string NarrowName(std::u16string_view name) {
    std::string out(name.size(), '\0');
    for (size_t i = 0; i < name.size(); ++i) out[i] = name[i] < 0x100 ? char(name[i]) : '?';
    return out;
}

void EntryName::Assign(std::u16string_view name) {
    m_length = static_cast<uint8_t>(std::min(name.size(), m_units.size()));
    std::copy_n(name.begin(), m_length, m_units.begin());
}

void Directory::InitEmpty() {
    Restructured();
    m_entries.assign(m_perSector, DirEntry{});
    m_extras.clear();
    m_freeSlots.clear();
    for (EntryId id = 1; id < m_perSector; ++id) m_freeSlots.insert(id);
    DirEntry& root = m_entries[0];
    root.name = u"Root Entry";
    root.type = EntryType::Root;
    root.color = 1;
    root.start = kEndOfChain;
    m_dirtySectors = {0};
}

DirEntry& Directory::Edit(EntryId id) {
    Touch(id);
    return m_entries[id];
}

bool Directory::ParseEntry(const unsigned char* p, std::string* error) {
    const EntryId id = static_cast<EntryId>(m_entries.size());
    DirEntry& e = m_entries.emplace_back();
    const uint8_t type = p[0x42];
    if (type != 1 && type != 2 && type != 5) return true;  // unused (or obsolete) slot
    const uint16_t nameBytes = LoadLE16(p + 0x40);
    if (nameBytes > 64 || nameBytes % 2 != 0) {
        *error = Format("directory entry %u has a bad name length %u", id, nameBytes);
        return false;
    }
    std::array<char16_t, kMaxNameChars + 1> units;
    const size_t length = nameBytes > 0 ? nameBytes / 2u - 1 : 0;
    for (size_t c = 0; c < length; ++c) units[c] = char16_t(LoadLE16(p + 2 * c));
    e.name = std::u16string_view(units.data(), length);
    e.type = static_cast<EntryType>(type);
    e.color = p[0x43] == 0 ? 0 : 1;
    e.left = LoadLE32(p + 0x44);
    e.right = LoadLE32(p + 0x48);
    e.child = LoadLE32(p + 0x4C);
    EntryExtras extras;
    std::memcpy(extras.clsid.data(), p + 0x50, 16);
    extras.stateBits = LoadLE32(p + 0x60);
    extras.created = LoadLE64(p + 0x64);
    extras.modified = LoadLE64(p + 0x6C);
    if (extras.clsid != EntryExtras{}.clsid || extras.stateBits || extras.created || extras.modified)
        m_extras.emplace(id, extras);
    e.start = LoadLE32(p + 0x74);
    // Version 3 files may hold junk in the high half of the size; the format says to
    // ignore it, and a 512-byte-sector file cannot hold a stream that large anyway.
    e.size = m_perSector == 4 ? LoadLE32(p + 0x78) : LoadLE64(p + 0x78);
    if (e.type != EntryType::Storage && e.type != EntryType::Root) e.child = kNoEntry;
    return true;
}

bool Directory::Load(size_t sectorCount, const SectorReader& read, std::string* error) {
    // A window at a time: a large directory is never held twice in memory.
    constexpr size_t kWindow = 128;
    const size_t count = sectorCount * m_perSector;
    const size_t sectorSize = m_perSector * kEntrySize;
    Restructured();
    m_entries.clear();
    m_extras.clear();
    m_entries.reserve(count);
    std::vector<char> window(std::min(sectorCount, kWindow) * sectorSize);
    for (size_t first = 0; first < sectorCount; first += kWindow) {
        const size_t n = std::min(kWindow, sectorCount - first);
        if (!read(first, n, window.data())) {
            *error = "cannot read the directory";
            return false;
        }
        for (size_t i = 0; i < n * m_perSector; ++i)
            if (!ParseEntry(reinterpret_cast<const unsigned char*>(window.data()) + i * kEntrySize, error))
                return false;
    }
    if (count == 0 || m_entries[0].type != EntryType::Root) {
        *error = "the compound file has no root storage";
        return false;
    }

    // Walk every tree from the root once; an entry reached twice means a cycle or a shared
    // subtree, which no valid file has.
    std::vector<uint8_t> reached(count, 0);
    std::vector<EntryId> storages = {0};
    reached[0] = 1;
    m_entries[0].parent = kNoEntry;
    for (size_t s = 0; s < storages.size(); ++s) {
        const EntryId storage = storages[s];
        std::vector<std::pair<EntryId, EntryId>> stack;  // node, its tree parent
        if (m_entries[storage].child != kNoEntry) stack.push_back({m_entries[storage].child, kNoEntry});
        while (!stack.empty()) {
            const auto [id, parent] = stack.back();
            stack.pop_back();
            if (id >= count || reached[id] ||
                (m_entries[id].type != EntryType::Storage &&
                 m_entries[id].type != EntryType::Stream)) {
                *error = Format("the directory tree is broken at entry %u", id);
                return false;
            }
            reached[id] = 1;
            DirEntry& e = m_entries[id];
            e.parent = parent;
            if (e.left != kNoEntry) stack.push_back({e.left, id});
            if (e.right != kNoEntry) stack.push_back({e.right, id});
            if (e.type == EntryType::Storage) storages.push_back(id);
        }
    }
    m_freeSlots.clear();
    for (EntryId id = 0; id < count; ++id) {
        if (reached[id]) continue;
        m_entries[id] = DirEntry{};  // unreachable entries are free slots
        m_extras.erase(id);
        m_freeSlots.insert(id);
    }
    for (EntryId storage : storages)
        if (!IsValidTree(storage)) Rebuild(storage, Children(storage));
    return true;
}

EntryId Directory::Successor(EntryId id) const {
    if (m_entries[id].right != kNoEntry) {
        EntryId n = m_entries[id].right;
        while (m_entries[n].left != kNoEntry) n = m_entries[n].left;
        return n;
    }
    EntryId parent = m_entries[id].parent;
    while (parent != kNoEntry && m_entries[parent].right == id) {
        id = parent;
        parent = m_entries[id].parent;
    }
    return parent;
}

EntryId Directory::Find(EntryId storage, std::u16string_view name) const {
    if (m_found != kNoEntry && m_foundIn == storage) {
        const EntryId next = Successor(m_found);
        if (next != kNoEntry && CompareNames(name, m_entries[next].name) == 0) {
            m_found = next;
            return next;
        }
    }
    EntryId n = m_entries[storage].child;
    while (n != kNoEntry) {
        const int c = CompareNames(name, m_entries[n].name);
        if (c == 0) {
            m_foundIn = storage;
            m_found = n;
            return n;
        }
        n = c < 0 ? m_entries[n].left : m_entries[n].right;
    }
    return kNoEntry;
}

EntryId Directory::UpperBound(EntryId storage, std::u16string_view name) const {
    EntryId result = kNoEntry;
    EntryId n = m_entries[storage].child;
    while (n != kNoEntry) {
        if (name.empty() || CompareNames(m_entries[n].name, name) > 0) {
            result = n;
            n = m_entries[n].left;
        } else {
            n = m_entries[n].right;
        }
    }
    return result;
}

std::vector<EntryId> Directory::Children(EntryId storage) const {
    std::vector<EntryId> out, stack;
    EntryId n = m_entries[storage].child;
    while (n != kNoEntry || !stack.empty()) {
        while (n != kNoEntry) {
            stack.push_back(n);
            n = m_entries[n].left;
        }
        n = stack.back();
        stack.pop_back();
        out.push_back(n);
        n = m_entries[n].right;
    }
    return out;
}

EntryId Directory::NewSlot() {
    if (m_freeSlots.empty()) {
        const EntryId first = static_cast<EntryId>(m_entries.size());
        m_entries.resize(m_entries.size() + m_perSector);
        for (EntryId id = first; id < m_entries.size(); ++id) m_freeSlots.insert(id);
        Touch(first);
    }
    const EntryId id = *m_freeSlots.begin();
    m_freeSlots.erase(m_freeSlots.begin());
    return id;
}

EntryId Directory::Insert(EntryId storage, std::u16string_view name, EntryType type) {
    Restructured();
    const EntryId z = NewSlot();
    const uint32_t generation = m_entries[z].generation;
    DirEntry& e = Edit(z);
    e = DirEntry{};
    e.generation = generation;
    e.name = name;
    e.type = type;
    e.color = 0;
    e.start = type == EntryType::Stream ? kEndOfChain : 0;

    EntryId parent = kNoEntry;
    EntryId n = m_entries[storage].child;
    bool left = false;
    while (n != kNoEntry) {
        parent = n;
        left = CompareNames(m_entries[z].name, m_entries[n].name) < 0;
        n = left ? m_entries[n].left : m_entries[n].right;
    }
    E(z).parent = parent;
    if (parent == kNoEntry)
        Edit(storage).child = z;
    else if (left)
        Edit(parent).left = z;
    else
        Edit(parent).right = z;
    InsertFixup(storage, z);
    return z;
}

void Directory::ReplaceChild(EntryId storage, EntryId parent, EntryId oldChild, EntryId newChild) {
    if (parent == kNoEntry)
        Edit(storage).child = newChild;
    else if (m_entries[parent].left == oldChild)
        Edit(parent).left = newChild;
    else
        Edit(parent).right = newChild;
    if (newChild != kNoEntry) E(newChild).parent = parent;
}

void Directory::RotateLeft(EntryId storage, EntryId x) {
    const EntryId y = m_entries[x].right;
    Edit(x).right = m_entries[y].left;
    if (m_entries[y].left != kNoEntry) E(m_entries[y].left).parent = x;
    ReplaceChild(storage, m_entries[x].parent, x, y);
    Edit(y).left = x;
    E(x).parent = y;
}

void Directory::RotateRight(EntryId storage, EntryId x) {
    const EntryId y = m_entries[x].left;
    Edit(x).left = m_entries[y].right;
    if (m_entries[y].right != kNoEntry) E(m_entries[y].right).parent = x;
    ReplaceChild(storage, m_entries[x].parent, x, y);
    Edit(y).right = x;
    E(x).parent = y;
}

void Directory::InsertFixup(EntryId storage, EntryId z) {
    while (IsRed(m_entries[z].parent)) {
        const EntryId p = m_entries[z].parent;
        const EntryId g = m_entries[p].parent;  // exists: a red node is never the tree root
        const bool parentIsLeft = m_entries[g].left == p;
        const EntryId uncle = parentIsLeft ? m_entries[g].right : m_entries[g].left;
        if (IsRed(uncle)) {
            Edit(p).color = 1;
            Edit(uncle).color = 1;
            Edit(g).color = 0;
            z = g;
            continue;
        }
        if (parentIsLeft && m_entries[p].right == z) {
            z = p;
            RotateLeft(storage, z);
        } else if (!parentIsLeft && m_entries[p].left == z) {
            z = p;
            RotateRight(storage, z);
        }
        const EntryId p2 = m_entries[z].parent;
        const EntryId g2 = m_entries[p2].parent;
        Edit(p2).color = 1;
        Edit(g2).color = 0;
        if (parentIsLeft)
            RotateRight(storage, g2);
        else
            RotateLeft(storage, g2);
    }
    Edit(m_entries[storage].child).color = 1;
}

void Directory::Remove(EntryId storage, EntryId z) {
    Restructured();
    EntryId y = z;
    EntryId x, xParent;
    if (m_entries[z].left == kNoEntry) {
        x = m_entries[z].right;
    } else if (m_entries[z].right == kNoEntry) {
        x = m_entries[z].left;
    } else {
        y = m_entries[z].right;
        while (m_entries[y].left != kNoEntry) y = m_entries[y].left;
        x = m_entries[y].right;
    }
    uint8_t removedColor;
    if (y != z) {
        // Relink the successor y into z's place; entry ids must not change, because open
        // handles refer to them.
        E(m_entries[z].left).parent = y;
        Edit(y).left = m_entries[z].left;
        if (y != m_entries[z].right) {
            xParent = m_entries[y].parent;
            if (x != kNoEntry) E(x).parent = xParent;
            Edit(xParent).left = x;
            Edit(y).right = m_entries[z].right;
            E(m_entries[z].right).parent = y;
        } else {
            xParent = y;
        }
        ReplaceChild(storage, m_entries[z].parent, z, y);
        removedColor = m_entries[y].color;
        Edit(y).color = m_entries[z].color;
    } else {
        xParent = m_entries[z].parent;
        ReplaceChild(storage, xParent, z, x);
        removedColor = m_entries[z].color;
    }
    if (removedColor == 1) EraseFixup(storage, x, xParent);
    Release(z);
}

void Directory::Release(EntryId id) {
    Restructured();
    const uint32_t generation = m_entries[id].generation + 1;
    Edit(id) = DirEntry{};
    E(id).generation = generation;
    m_extras.erase(id);
    m_freeSlots.insert(id);
}

void Directory::EraseFixup(EntryId storage, EntryId x, EntryId xParent) {
    while (x != m_entries[storage].child && !IsRed(x)) {
        const bool isLeft = m_entries[xParent].left == x;
        EntryId w = isLeft ? m_entries[xParent].right : m_entries[xParent].left;
        if (IsRed(w)) {
            Edit(w).color = 1;
            Edit(xParent).color = 0;
            if (isLeft)
                RotateLeft(storage, xParent);
            else
                RotateRight(storage, xParent);
            w = isLeft ? m_entries[xParent].right : m_entries[xParent].left;
        }
        const EntryId near = isLeft ? m_entries[w].left : m_entries[w].right;
        const EntryId far = isLeft ? m_entries[w].right : m_entries[w].left;
        if (!IsRed(near) && !IsRed(far)) {
            Edit(w).color = 0;
            x = xParent;
            xParent = m_entries[xParent].parent;
            continue;
        }
        if (!IsRed(far)) {
            Edit(near).color = 1;
            Edit(w).color = 0;
            if (isLeft)
                RotateRight(storage, w);
            else
                RotateLeft(storage, w);
            w = isLeft ? m_entries[xParent].right : m_entries[xParent].left;
        }
        Edit(w).color = m_entries[xParent].color;
        Edit(xParent).color = 1;
        const EntryId farNow = isLeft ? m_entries[w].right : m_entries[w].left;
        if (farNow != kNoEntry) Edit(farNow).color = 1;
        if (isLeft)
            RotateLeft(storage, xParent);
        else
            RotateRight(storage, xParent);
        x = m_entries[storage].child;
        break;
    }
    if (x != kNoEntry) Edit(x).color = 1;
}

bool Directory::IsValidTree(EntryId storage) const {
    struct Checker {
        const LargeVector<DirEntry>& entries;
        const DirEntry* previous = nullptr;
        // Black height of the subtree at n, or -1 when a rule is broken.
        int Check(EntryId n, EntryId parent, int depth) {
            if (n == kNoEntry) return 1;
            if (depth > kMaxTreeDepth) return -1;
            const DirEntry& e = entries[n];
            if (e.parent != parent) return -1;
            if (e.color == 0 && ((e.left != kNoEntry && entries[e.left].color == 0) ||
                                 (e.right != kNoEntry && entries[e.right].color == 0)))
                return -1;
            const int left = Check(e.left, n, depth + 1);
            if (left < 0) return -1;
            if (previous && CompareNames(previous->name, e.name) >= 0) return -1;
            previous = &e;
            const int right = Check(e.right, n, depth + 1);
            if (right != left) return -1;
            return left + (e.color == 1 ? 1 : 0);
        }
    } checker{m_entries};
    const EntryId root = m_entries[storage].child;
    if (root != kNoEntry && m_entries[root].color != 1) return false;
    return checker.Check(root, kNoEntry, 0) > 0;
}

void Directory::Rebuild(EntryId storage, std::vector<EntryId> children) {
    Restructured();
    std::stable_sort(children.begin(), children.end(), [this](EntryId a, EntryId b) {
        return CompareNames(m_entries[a].name, m_entries[b].name) < 0;
    });
    // Splitting at the middle puts every leaf on the last two levels; colouring the last
    // level red when it is not full keeps the black height equal on every path.
    int levels = 0;
    while ((size_t(1) << levels) - 1 < children.size()) ++levels;
    const bool full = children.size() == (size_t(1) << levels) - 1;
    Edit(storage).child = BuildBalanced(children, 0, children.size(), kNoEntry, 0,
                                        full ? -1 : levels - 1);
}

EntryId Directory::BuildBalanced(const std::vector<EntryId>& sorted, size_t lo, size_t hi,
                                 EntryId parent, int depth, int redDepth) {
    if (lo >= hi) return kNoEntry;
    const size_t mid = lo + (hi - lo) / 2;
    const EntryId n = sorted[mid];
    DirEntry& e = Edit(n);
    e.parent = parent;
    e.color = depth == redDepth ? 0 : 1;
    const EntryId left = BuildBalanced(sorted, lo, mid, n, depth + 1, redDepth);
    const EntryId right = BuildBalanced(sorted, mid + 1, hi, n, depth + 1, redDepth);
    E(n).left = left;
    E(n).right = right;
    return n;
}

void Directory::SerializeSector(uint32_t ordinal, unsigned char* out) const {
    for (uint32_t i = 0; i < m_perSector; ++i) {
        unsigned char* p = out + i * kEntrySize;
        std::memset(p, 0, kEntrySize);
        const size_t index = size_t(ordinal) * m_perSector + i;
        const DirEntry& e = m_entries[index];
        if (e.type == EntryType::Empty) {
            StoreLE32(p + 0x44, kNoEntry);
            StoreLE32(p + 0x48, kNoEntry);
            StoreLE32(p + 0x4C, kNoEntry);
            continue;
        }
        for (size_t c = 0; c < e.name.size(); ++c) StoreLE16(p + 2 * c, e.name[c]);
        StoreLE16(p + 0x40, static_cast<uint16_t>((e.name.size() + 1) * 2));
        p[0x42] = static_cast<unsigned char>(e.type);
        p[0x43] = e.color;
        StoreLE32(p + 0x44, e.left);
        StoreLE32(p + 0x48, e.right);
        StoreLE32(p + 0x4C, e.child);
        if (const auto extras = m_extras.find(static_cast<EntryId>(index)); extras != m_extras.end()) {
            std::memcpy(p + 0x50, extras->second.clsid.data(), 16);
            StoreLE32(p + 0x60, extras->second.stateBits);
            StoreLE64(p + 0x64, extras->second.created);
            StoreLE64(p + 0x6C, extras->second.modified);
        }
        StoreLE32(p + 0x74, e.start);
        StoreLE64(p + 0x78, e.size);
    }
}

}  // namespace ph::cfb
