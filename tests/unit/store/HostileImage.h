#pragma once
// What the hostile-file tests build their cases from: an in-memory file that counts what is
// read, the test file with its streams, a view of its structures for aiming corruptions, and
// whole-file walks to compare with what was written.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/Bytes.h"
#include "store/cfb/CompoundFile.h"
#include "AllocationLimit.h"

namespace ph::cfb::hostile {


constexpr uint32_t kSector = 512;

// Ends the run, naming the case, when a case hangs: the suite sets no time-out, and a loop
// that never ends is as much a failure as a crash.
class HangWatch {
public:
    HangWatch() : m_thread([this] { Watch(); }) {}
    ~HangWatch() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    // Starts the clock for the named case.
    void Case(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_case = name;
        m_started = std::chrono::steady_clock::now();
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop) {
            if (std::chrono::steady_clock::now() - m_started > std::chrono::seconds(60)) {
                std::fprintf(stderr, "hung in case: %s\n", m_case.c_str());
                std::abort();
            }
            m_wake.wait_for(lock, std::chrono::seconds(1));
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::string m_case;
    std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    std::thread m_thread;  // last: it starts once everything it uses exists
};

// The file as one string that reopening sees again. It counts what the engine reads, so a
// test can tell work bounded by the file from work bounded by what the file claims.
class ImageFile final : public IFile {
public:
    ImageFile(std::shared_ptr<std::string> image, uint64_t* bytesRead)
        : m_image(std::move(image)), m_bytesRead(bytesRead) {}
    int64_t ReadAt(uint64_t offset, void* buffer, size_t size) override {
        if (offset >= m_image->size()) return 0;
        const size_t n = std::min<size_t>(size, m_image->size() - offset);
        std::memcpy(buffer, m_image->data() + offset, n);
        if (m_bytesRead) *m_bytesRead += n;
        return static_cast<int64_t>(n);
    }
    bool WriteAt(uint64_t offset, const void* data, size_t size) override {
        if (m_image->size() < offset + size) m_image->resize(offset + size);
        std::memcpy(m_image->data() + offset, data, size);
        return true;
    }
    bool Sync() override { return true; }
    bool Truncate(uint64_t size) override {
        m_image->resize(size);
        return true;
    }
    uint64_t Size() const override { return m_image->size(); }

private:
    std::shared_ptr<std::string> m_image;
    uint64_t* m_bytesRead;
};

struct Opened {
    std::shared_ptr<std::string> image;
    std::shared_ptr<CompoundFile> cf;
    std::string error;
    uint64_t bytesRead = 0;
};

inline Opened OpenBytes(std::string bytes) {
    Opened o;
    o.image = std::make_shared<std::string>(std::move(bytes));
    if (o.image->capacity() < o.image->size() + 32 * 1024)
        o.image->reserve(o.image->size() + 64 * 1024);  // room to grow without copying it all
    o.cf = CompoundFile::Open(std::make_unique<ImageFile>(o.image, &o.bytesRead), &o.error);
    return o;
}

inline std::shared_ptr<CompoundFile> Reopen(const std::shared_ptr<std::string>& image, std::string* error) {
    return CompoundFile::Open(std::make_unique<ImageFile>(image, nullptr), error);
}

inline std::string Pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

// The test file: nested storages, mini and regular streams, free sectors and free mini
// sectors, and more entries than two directory sectors hold. Leaf names are unique so that
// corruptions can find their target by name.
struct Fixture {
    std::string image;
    std::map<std::string, std::string> streams;  // leaf name -> content
    std::map<std::string, std::string> paths;    // leaf name -> parent path ("" for the root)
};

inline const Fixture& Base() {
    static const Fixture fixture = [] {
        Fixture f;
        auto image = std::make_shared<std::string>();
        std::string error;
        auto cf = CompoundFile::Create(std::make_unique<ImageFile>(image, nullptr), &error);
        EXPECT_TRUE(cf) << error;
        uint32_t seed = 1;
        auto put = [&](EntryId storage, const std::string& parent, const std::string& name, size_t size) {
            const std::string data = Pattern(size, seed++);
            const EntryId id = cf->CreateElement(storage, name, EntryType::Stream);
            EXPECT_NE(id, kNoEntry);
            EXPECT_TRUE(cf->WriteStream(id, 0, data.data(), data.size()));
            f.streams[name] = data;
            f.paths[name] = parent;
        };
        // A spacer at the front, destroyed later, leaves room there for the directory and
        // FAT to move into; the last transactions then shed the old copies at the end, so the
        // file ends in stream data (the truncation cases rely on it).
        const EntryId spacer = cf->CreateElement(CompoundFile::kRoot, "Spacer", EntryType::Stream);
        const std::string space = Pattern(24 * kSector, 0);
        EXPECT_TRUE(cf->WriteStream(spacer, 0, space.data(), space.size()));
        put(CompoundFile::kRoot, "", "Big", 12000);
        put(CompoundFile::kRoot, "", "Big2", 6000);
        put(CompoundFile::kRoot, "", "Small", 300);
        put(CompoundFile::kRoot, "", "Other", 200);
        const EntryId nested = cf->CreateElement(CompoundFile::kRoot, "Nested", EntryType::Storage);
        const EntryId inner = cf->CreateElement(nested, "Inner", EntryType::Storage);
        put(inner, "/Nested/Inner", "Deep", 150);
        put(nested, "/Nested", "Mid", 5000);
        for (int i = 0; i < 10; ++i)
            put(CompoundFile::kRoot, "", "Filler" + std::to_string(i), 10 + 37 * i);
        put(CompoundFile::kRoot, "", "Tail", 9000);
        EXPECT_TRUE(cf->Commit());
        EXPECT_TRUE(cf->DestroyElement(CompoundFile::kRoot, "Spacer"));
        EXPECT_TRUE(cf->Commit());
        const std::string patch = Pattern(40, 999);
        EXPECT_TRUE(cf->WriteStream(cf->Find(CompoundFile::kRoot, "Small"), 7, patch.data(), patch.size()));
        f.streams["Small"].replace(7, patch.size(), patch);
        // Edit every entry once more, so every directory sector moves into the room the
        // spacer left and the old copies at the end are cut off.
        for (const auto& [name, data] : f.streams) {
            EntryId storage = CompoundFile::kRoot;
            if (f.paths[name] == "/Nested") storage = nested;
            if (f.paths[name] == "/Nested/Inner") storage = inner;
            const EntryId id = cf->Find(storage, name);
            EXPECT_TRUE(cf->SetStreamSize(id, data.size() + 64));
            EXPECT_TRUE(cf->SetStreamSize(id, data.size()));
        }
        EXPECT_TRUE(cf->Commit());
        cf.reset();
        f.image = *image;
        return f;
    }();
    return fixture;
}

// Finds structures in an image the way a reader does: from the header, along FAT chains.
// Corruptions use it to aim at the sector or entry they mean.
class Image {
public:
    explicit Image(std::string bytes) : bytes(std::move(bytes)) {}
    std::string bytes;

    // A corruption aimed outside the image is a broken test, not a hostile file.
    char* Span(size_t offset, size_t n) const {
        if (offset + n > bytes.size()) throw std::out_of_range("offset outside the image");
        return const_cast<char*>(bytes.data()) + offset;
    }
    static size_t At(uint32_t sector) { return (size_t(sector) + 1) * kSector; }
    uint32_t U32(size_t offset) const { return LoadLE32(Span(offset, 4)); }
    void Put16(size_t offset, uint16_t v) { StoreLE16(Span(offset, 2), v); }
    void Put32(size_t offset, uint32_t v) { StoreLE32(Span(offset, 4), v); }
    void Put64(size_t offset, uint64_t v) { StoreLE64(Span(offset, 8), v); }

    uint32_t Sectors() const { return static_cast<uint32_t>(bytes.size() / kSector - 1); }
    uint32_t NumFat() const { return U32(0x2C); }
    uint32_t FatLocation(size_t ordinal) const { return U32(0x4C + 4 * ordinal); }
    uint32_t DirStart() const { return U32(0x30); }
    uint32_t MiniFatStart() const { return U32(0x3C); }

    size_t FatEntryAt(uint32_t sector) const { return At(FatLocation(sector / 128)) + 4 * (sector % 128); }
    uint32_t Fat(uint32_t sector) const { return U32(FatEntryAt(sector)); }
    void SetFat(uint32_t sector, uint32_t next) { Put32(FatEntryAt(sector), next); }
    std::vector<uint32_t> Chain(uint32_t start) const {
        std::vector<uint32_t> out;
        for (uint32_t s = start; s < Sectors() && out.size() < Sectors(); s = Fat(s)) out.push_back(s);
        return out;
    }

    size_t EntryAt(EntryId id) const { return At(Chain(DirStart()).at(id / 4)) + 128 * (id % 4); }
    EntryId Find(const std::string& name) const {
        const std::u16string wide = WideName(name);
        const size_t count = Chain(DirStart()).size() * 4;
        for (EntryId id = 0; id < count; ++id) {
            const size_t e = EntryAt(id);
            const uint16_t nameBytes = LoadLE16(Span(e + 0x40, 2));
            if (bytes[e + 0x42] == 0 || nameBytes != (wide.size() + 1) * 2) continue;
            bool same = true;
            for (size_t c = 0; c < wide.size(); ++c) same = same && LoadLE16(Span(e + 2 * c, 2)) == wide[c];
            if (same) return id;
        }
        ADD_FAILURE() << "no entry named " << name;
        return 0;
    }
    uint32_t Left(EntryId id) const { return U32(EntryAt(id) + 0x44); }
    uint32_t Right(EntryId id) const { return U32(EntryAt(id) + 0x48); }
    uint32_t Child(EntryId id) const { return U32(EntryAt(id) + 0x4C); }
    uint32_t Start(EntryId id) const { return U32(EntryAt(id) + 0x74); }
    uint32_t Size(EntryId id) const { return U32(EntryAt(id) + 0x78); }
    void SetLeft(EntryId id, uint32_t v) { Put32(EntryAt(id) + 0x44, v); }
    void SetRight(EntryId id, uint32_t v) { Put32(EntryAt(id) + 0x48, v); }
    void SetChild(EntryId id, uint32_t v) { Put32(EntryAt(id) + 0x4C, v); }
    void SetStart(EntryId id, uint32_t v) { Put32(EntryAt(id) + 0x74, v); }
    void SetSize(EntryId id, uint32_t v) { Put32(EntryAt(id) + 0x78, v); }
    void SetType(EntryId id, uint8_t v) { bytes.at(EntryAt(id) + 0x42) = static_cast<char>(v); }
    void SetColor(EntryId id, uint8_t v) { bytes.at(EntryAt(id) + 0x43) = static_cast<char>(v); }
    void SetNameBytes(EntryId id, uint16_t v) { Put16(EntryAt(id) + 0x40, v); }
    std::vector<uint32_t> StreamChain(const std::string& name) const { return Chain(Start(Find(name))); }

    size_t MiniFatEntryAt(uint32_t m) const { return At(Chain(MiniFatStart()).at(m / 128)) + 4 * (m % 128); }
    uint32_t MiniFat(uint32_t m) const { return U32(MiniFatEntryAt(m)); }
    void SetMiniFat(uint32_t m, uint32_t next) { Put32(MiniFatEntryAt(m), next); }
    std::vector<uint32_t> MiniChain(const std::string& name) const {
        std::vector<uint32_t> out;
        const EntryId id = Find(name);
        for (uint32_t m = Start(id); out.size() * 64 < Size(id); m = MiniFat(m)) out.push_back(m);
        return out;
    }

    std::vector<uint32_t> FreeSectors() const {
        std::vector<uint32_t> out;
        for (uint32_t s = 0; s < Sectors(); ++s)
            if (Fat(s) == kFreeSect) out.push_back(s);
        return out;
    }
    std::vector<uint32_t> FreeMiniSectors() const {
        std::vector<uint32_t> out;
        for (uint32_t m = 0; m < Size(0) / 64; ++m)
            if (MiniFat(m) == kFreeSect) out.push_back(m);
        return out;
    }

    // Offsets of every byte that describes structure rather than holding stream data.
    std::vector<size_t> StructuralBytes() const {
        std::vector<size_t> out;
        auto sector = [&](uint32_t s) {
            for (size_t i = 0; i < kSector; ++i) out.push_back(At(s) + i);
        };
        for (size_t i = 0; i < kSector; ++i) out.push_back(i);
        for (uint32_t i = 0; i < NumFat() && i < 109; ++i) sector(FatLocation(i));
        for (uint32_t s : Chain(DirStart())) sector(s);
        for (uint32_t s : Chain(MiniFatStart())) sector(s);
        return out;
    }
};

// A version 4 file (4096-byte sectors) the engine does not write itself: header, FAT in
// sector 0, directory in sector 1, one regular stream "Reg" in sectors 2 and 3.
constexpr uint32_t kV4Sector = 4096;
inline std::string V4Image(const std::string& content) {
    std::string bytes(size_t(kV4Sector) * 5, '\0');
    auto* b = reinterpret_cast<unsigned char*>(bytes.data());
    Header h;
    h.majorVersion = 4;
    h.sectorShift = 12;
    h.numFatSectors = 1;
    h.numDirSectors = 1;
    h.difat[0] = 0;
    h.firstDirSector = 1;
    h.Serialize(b);
    unsigned char* fat = b + kV4Sector;
    for (uint32_t i = 0; i < kV4Sector / 4; ++i) StoreLE32(fat + 4 * i, kFreeSect);
    StoreLE32(fat + 0, kFatSect);
    StoreLE32(fat + 4, kEndOfChain);
    StoreLE32(fat + 8, 3);
    StoreLE32(fat + 12, kEndOfChain);
    Directory dir(kV4Sector);
    dir.InitEmpty();
    const EntryId reg = dir.Insert(CompoundFile::kRoot, u"Reg", EntryType::Stream);
    dir.Edit(reg).start = 2;
    dir.Edit(reg).size = content.size();
    dir.SerializeSector(0, b + 2 * kV4Sector);
    bytes.replace(3 * kV4Sector, content.size(), content);
    return bytes;
}

// One stream as a full walk of the file saw it: nullopt when the stream reads as damaged.
struct Seen {
    EntryId id;
    std::string path;
    std::optional<std::string> data;
};

// Whether a walk keeps each stream's bytes or only a digest of them, which is all the
// random sweep needs and spares it thousands of copies.
enum class Keep { Bytes, Digest };
constexpr size_t kChunk = 8192;

// Folds one chunk into a digest; chunks fall at the same offsets whoever reads the stream.
inline uint64_t Fold(uint64_t digest, std::string_view chunk) {
    return digest * 1099511628211ull ^ std::hash<std::string_view>{}(chunk);
}

inline std::string Digest(std::string_view bytes) {
    uint64_t digest = 0;
    for (size_t at = 0; at < bytes.size(); at += kChunk) digest = Fold(digest, bytes.substr(at, kChunk));
    return std::to_string(bytes.size()) + ":" + std::to_string(digest);
}

// Walks every storage breadth-first and reads every stream in chunks (never trusting a
// size for one buffer), checking that each read returns what ReadStream promises.
inline std::vector<Seen> ReadEverything(CompoundFile& cf, Keep keep = Keep::Bytes) {
    constexpr uint64_t kMaxStream = 1u << 20;
    std::vector<Seen> out;
    std::vector<std::pair<EntryId, std::string>> storages = {{CompoundFile::kRoot, ""}};
    char chunk[kChunk];
    for (size_t i = 0; i < storages.size(); ++i) {
        for (EntryId id : cf.Dir().Children(storages[i].first)) {
            const DirEntry& e = cf.Dir()[id];
            const std::string path = storages[i].second + "/" + NarrowName(e.name);
            if (e.IsStorage()) {
                storages.push_back({id, path});
                continue;
            }
            Seen seen{id, path, std::string()};
            uint64_t digest = 0;
            const uint64_t size = std::min(cf.StreamSize(id), kMaxStream);
            for (uint64_t at = 0; at < size;) {
                const int64_t got = cf.ReadStream(id, at, chunk, kChunk);
                if (got < 0) {
                    seen.data.reset();
                    break;
                }
                const uint64_t want = std::min<uint64_t>(kChunk, cf.StreamSize(id) - at);
                EXPECT_EQ(static_cast<uint64_t>(got), want) << path << " at " << at;
                if (static_cast<uint64_t>(got) != want || got == 0) break;
                if (keep == Keep::Bytes) seen.data->append(chunk, static_cast<size_t>(got));
                digest = Fold(digest, std::string_view(chunk, static_cast<size_t>(got)));
                at += static_cast<uint64_t>(got);
            }
            if (keep == Keep::Digest && seen.data)
                seen.data = std::to_string(cf.StreamSize(id)) + ":" + std::to_string(digest);
            out.push_back(std::move(seen));
        }
    }
    return out;
}

inline std::map<std::string, std::optional<std::string>> ByPath(const std::vector<Seen>& seen) {
    std::map<std::string, std::optional<std::string>> out;
    for (const Seen& s : seen) out[s.path] = s.data;
    return out;
}

// What a failed comparison prints: stream contents are too long to show, so each is its
// size and where it first differs from the other side.
template <typename Key>
std::string Differences(const std::map<Key, std::optional<std::string>>& actual,
                        const std::map<Key, std::optional<std::string>>& expected) {
    std::ostringstream out;
    auto show = [](const std::optional<std::string>& d) {
        return d ? std::to_string(d->size()) + " bytes" : std::string("damaged");
    };
    for (const auto& [key, data] : expected) {
        auto it = actual.find(key);
        if (it == actual.end()) {
            out << key << ": missing\n";
        } else if (it->second != data) {
            out << key << ": " << show(it->second) << ", expected " << show(data);
            if (it->second && data) {
                const auto diff = std::mismatch(data->begin(), data->end(), it->second->begin(),
                                                it->second->end());
                out << ", first difference at byte " << (diff.first - data->begin());
            }
            out << "\n";
        }
    }
    for (const auto& [key, data] : actual)
        if (!expected.count(key)) out << key << ": unexpected, " << show(data) << "\n";
    return out.str();
}

#define EXPECT_SAME_STREAMS(actual, expected) EXPECT_EQ(Differences(actual, expected), "")
#define ASSERT_SAME_STREAMS(actual, expected) ASSERT_EQ(Differences(actual, expected), "")

// The streams of the test file by path, as written.
inline std::map<std::string, std::optional<std::string>> Expected() {
    std::map<std::string, std::optional<std::string>> out;
    for (const auto& [name, data] : Base().streams) out[Base().paths.at(name) + "/" + name] = data;
    return out;
}

inline EntryId ParentOf(CompoundFile& cf, const std::string& name) {
    const std::string& parent = Base().paths.at(name);
    EntryId storage = CompoundFile::kRoot;
    for (size_t at = 1; at < parent.size() && storage != kNoEntry;) {
        const size_t slash = std::min(parent.find('/', at), parent.size());
        storage = cf.Find(storage, parent.substr(at, slash - at));
        at = slash + 1;
    }
    return storage;
}

inline EntryId Resolve(CompoundFile& cf, const std::string& name) {
    const EntryId parent = ParentOf(cf, name);
    return parent == kNoEntry ? kNoEntry : cf.Find(parent, name);
}

}  // namespace ph::cfb::hostile
