// Hostile and damaged compound files. Whatever the bytes, Open either fails with a reason or
// gives a file whose damage stays inside the streams it touches: nothing crashes, nothing
// loops, nothing allocates in proportion to a count the file merely claims, and a damaged
// stream can neither be read, written nor freed into someone else's sectors.
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

// While a limit is armed, an allocation above it throws instead of happening: a length taken
// on trust from the file then fails the test rather than exhausting the machine running it.
namespace {
thread_local size_t t_allocationLimit = 0;
thread_local size_t t_largestRefused = 0;
}  // namespace

// Every form is replaced, so no allocation is freed by a different allocator than the one
// that made it (AddressSanitizer checks the pairing). The aligned forms matter: the engine's
// large tables are aligned for huge pages.
namespace {
void* Allocate(std::size_t size, std::size_t alignment = 0) {
    if (t_allocationLimit != 0 && size > t_allocationLimit) {
        t_largestRefused = std::max(t_largestRefused, size);
        return nullptr;
    }
    if (alignment <= alignof(std::max_align_t)) return std::malloc(size ? size : 1);
    void* p = nullptr;
    return posix_memalign(&p, alignment, size ? size : 1) == 0 ? p : nullptr;
}
void* AllocateOrThrow(std::size_t size, std::size_t alignment = 0) {
    if (void* p = Allocate(size, alignment)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size, std::align_val_t a) { return AllocateOrThrow(size, std::size_t(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return AllocateOrThrow(size, std::size_t(a)); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Allocate(size, std::size_t(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Allocate(size, std::size_t(a));
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace ph::cfb {
namespace {

constexpr uint32_t kSector = 512;
constexpr size_t kAllocationLimit = 8u << 20;  // hundreds of times the test file

class AllocationLimit {
public:
    AllocationLimit() {
        t_largestRefused = 0;
        t_allocationLimit = kAllocationLimit;
    }
    ~AllocationLimit() { t_allocationLimit = 0; }
    size_t LargestRefused() const { return t_largestRefused; }
};

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

Opened OpenBytes(std::string bytes) {
    Opened o;
    o.image = std::make_shared<std::string>(std::move(bytes));
    if (o.image->capacity() < o.image->size() + 32 * 1024)
        o.image->reserve(o.image->size() + 64 * 1024);  // room to grow without copying it all
    o.cf = CompoundFile::Open(std::make_unique<ImageFile>(o.image, &o.bytesRead), &o.error);
    return o;
}

std::shared_ptr<CompoundFile> Reopen(const std::shared_ptr<std::string>& image, std::string* error) {
    return CompoundFile::Open(std::make_unique<ImageFile>(image, nullptr), error);
}

std::string Pattern(size_t n, uint32_t seed) {
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

const Fixture& Base() {
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
std::string V4Image(const std::string& content) {
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
uint64_t Fold(uint64_t digest, std::string_view chunk) {
    return digest * 1099511628211ull ^ std::hash<std::string_view>{}(chunk);
}

std::string Digest(std::string_view bytes) {
    uint64_t digest = 0;
    for (size_t at = 0; at < bytes.size(); at += kChunk) digest = Fold(digest, bytes.substr(at, kChunk));
    return std::to_string(bytes.size()) + ":" + std::to_string(digest);
}

// Walks every storage breadth-first and reads every stream in chunks (never trusting a
// size for one buffer), checking that each read returns what ReadStream promises.
std::vector<Seen> ReadEverything(CompoundFile& cf, Keep keep = Keep::Bytes) {
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

std::map<std::string, std::optional<std::string>> ByPath(const std::vector<Seen>& seen) {
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
std::map<std::string, std::optional<std::string>> Expected() {
    std::map<std::string, std::optional<std::string>> out;
    for (const auto& [name, data] : Base().streams) out[Base().paths.at(name) + "/" + name] = data;
    return out;
}

EntryId ParentOf(CompoundFile& cf, const std::string& name) {
    const std::string& parent = Base().paths.at(name);
    EntryId storage = CompoundFile::kRoot;
    for (size_t at = 1; at < parent.size() && storage != kNoEntry;) {
        const size_t slash = std::min(parent.find('/', at), parent.size());
        storage = cf.Find(storage, parent.substr(at, slash - at));
        at = slash + 1;
    }
    return storage;
}

EntryId Resolve(CompoundFile& cf, const std::string& name) {
    const EntryId parent = ParentOf(cf, name);
    return parent == kNoEntry ? kNoEntry : cf.Find(parent, name);
}

// ---------------------------------------------------------------------------------------

TEST(HostileFile, FixtureHoldsTheStructuresTheCasesAimAt) {
    Image img(Base().image);
    EXPECT_GE(img.Chain(img.DirStart()).size(), 2u);
    EXPECT_FALSE(img.Chain(img.MiniFatStart()).empty());
    const auto tail = img.StreamChain("Tail");
    EXPECT_EQ(*std::max_element(tail.begin(), tail.end()), img.Sectors() - 1)
        << "the truncation cases expect stream data, not structure, at the end of the file";
    Opened o = OpenBytes(Base().image);
    ASSERT_TRUE(o.cf) << o.error;
    EXPECT_SAME_STREAMS(ByPath(ReadEverything(*o.cf)), Expected());
}

struct RefusedCase {
    const char* name;
    std::function<std::string()> bytes;
};

TEST(HostileFile, WhatIsNotACompoundFileIsRefusedWithAReason) {
    auto patched = [](std::function<void(Image&)> patch) {
        return [patch] {
            Image img(Base().image);
            patch(img);
            return img.bytes;
        };
    };
    const RefusedCase cases[] = {
        {"empty", [] { return std::string(); }},
        {"100 bytes of a valid file", [] { return Base().image.substr(0, 100); }},
        {"511 bytes of a valid file", [] { return Base().image.substr(0, 511); }},
        {"random 4 KB", [] { return Pattern(4096, 77); }},
        {"bad signature", patched([](Image& i) { i.bytes[3] ^= 0x40; })},
        {"bad byte order", patched([](Image& i) { i.Put16(0x1C, 0xFEFF); })},
        {"version 3 with sector shift 12", patched([](Image& i) { i.Put16(0x1E, 12); })},
        {"version 4 with sector shift 9", patched([](Image& i) { i.Put16(0x1A, 4); })},
        {"version 2", patched([](Image& i) { i.Put16(0x1A, 2); })},
        {"mini sector shift 7", patched([](Image& i) { i.Put16(0x20, 7); })},
        {"mini sector shift 0", patched([](Image& i) { i.Put16(0x20, 0); })},
        {"mini stream cutoff 4095", patched([](Image& i) { i.Put32(0x38, 4095); })},
        {"mini stream cutoff 0", patched([](Image& i) { i.Put32(0x38, 0); })},
    };
    HangWatch watch;
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.name);
        watch.Case(c.name);
        AllocationLimit limit;
        Opened o = OpenBytes(c.bytes());
        EXPECT_FALSE(o.cf);
        EXPECT_FALSE(o.error.empty());
    }
}

struct StructureCase {
    const char* name;
    std::function<void(Image&)> corrupt;
};

// Each case breaks one structure Open depends on. Open must refuse the file, and must get
// there by work bounded by the file's size, not by the numbers the corruption planted.
TEST(HostileFile, BrokenStructureIsRefusedQuicklyAndCheaply) {
    const StructureCase cases[] = {
        {"FAT claims 0xFFFFFFFF sectors", [](Image& i) { i.Put32(0x2C, 0xFFFFFFFF); }},
        {"FAT claims one sector more than the file holds",
         [](Image& i) { i.Put32(0x2C, i.Sectors() + 1); }},
        {"FAT claims no sectors", [](Image& i) { i.Put32(0x2C, 0); }},
        {"DIFAT entry beyond the file", [](Image& i) { i.Put32(0x4C + 4 * (i.NumFat() - 1), 0x00FFFFFF); }},
        {"DIFAT entry is the free marker", [](Image& i) { i.Put32(0x4C, kFreeSect); }},
        {"DIFAT chain starts beyond the file",
         [](Image& i) {
             i.bytes.resize(i.bytes.size() + 240 * kSector);
             i.Put32(0x2C, 110);
             i.Put32(0x44, 0xFFFFFF00);
         }},
        {"DIFAT chain loops",
         [](Image& i) {
             // More FAT sectors than the header and one DIFAT sector locate (the file is
             // padded so that many could exist), so the chain must be followed into its
             // second sector, which is the first one again.
             const uint32_t s = i.StreamChain("Big").at(3);
             i.bytes.resize(i.bytes.size() + 240 * kSector);
             i.Put32(0x2C, 109 + 127 + 1);
             i.Put32(0x44, s);
             i.Put32(Image::At(s) + kSector - 4, s);
         }},
        {"directory chain loops onto its own sector",
         [](Image& i) { i.SetFat(i.DirStart(), i.DirStart()); }},
        {"directory chain loops back to its start",
         [](Image& i) { i.SetFat(i.Chain(i.DirStart()).back(), i.DirStart()); }},
        {"directory starts beyond the file", [](Image& i) { i.Put32(0x30, 0x00FFFFFF); }},
        {"directory chain leaves the file",
         [](Image& i) { i.SetFat(i.Chain(i.DirStart()).at(1), 0x00ABCDEF); }},
        {"directory chain ends in a free sector",
         [](Image& i) { i.SetFat(i.Chain(i.DirStart()).back(), kFreeSect); }},
        {"directory chain runs into a FAT sector",
         [](Image& i) { i.SetFat(i.DirStart(), i.FatLocation(0)); }},
        {"no directory", [](Image& i) { i.Put32(0x30, kEndOfChain); }},
        {"root entry is a storage", [](Image& i) { i.SetType(0, 1); }},
        {"root entry is a stream", [](Image& i) { i.SetType(0, 2); }},
        {"root entry is unused", [](Image& i) { i.SetType(0, 0); }},
        {"root child beyond the directory", [](Image& i) { i.SetChild(0, 100000); }},
        {"storage child beyond the directory",
         [](Image& i) { i.SetChild(i.Find("Inner"), 0x7FFFFFF0); }},
        {"left sibling beyond the directory", [](Image& i) { i.SetLeft(i.Find("Deep"), 4000); }},
        {"right sibling beyond the directory", [](Image& i) { i.SetRight(i.Find("Deep"), 4000); }},
        {"left sibling points back at the tree root",
         [](Image& i) {
             const EntryId top = i.Child(0);
             // Any entry below the top of the root's tree; its left link closes a cycle.
             const EntryId below = i.Left(top) != kNoEntry ? i.Left(top) : i.Right(top);
             i.SetLeft(below, top);
         }},
        {"right sibling points at itself",
         [](Image& i) { i.SetRight(i.Find("Deep"), i.Find("Deep")); }},
        {"storage contains itself", [](Image& i) { i.SetChild(i.Find("Inner"), i.Find("Inner")); }},
        {"storage contains its parent", [](Image& i) { i.SetChild(i.Find("Inner"), i.Find("Nested")); }},
        {"storage contains the root", [](Image& i) { i.SetChild(i.Find("Inner"), 0); }},
        {"two storages share a subtree", [](Image& i) { i.SetChild(i.Find("Inner"), i.Child(0)); }},
        {"tree reaches an unused slot",
         [](Image& i) {
             const EntryId deep = i.Find("Deep");
             i.SetType(deep, 0);
         }},
        {"tree reaches a second root", [](Image& i) { i.SetType(i.Find("Deep"), 5); }},
        {"name length 66", [](Image& i) { i.SetNameBytes(i.Find("Other"), 66); }},
        {"name length odd", [](Image& i) { i.SetNameBytes(i.Find("Other"), 9); }},
        {"name length 0xFFFF", [](Image& i) { i.SetNameBytes(0, 0xFFFF); }},
        {"mini FAT starts beyond the file", [](Image& i) { i.Put32(0x3C, 0x00FFFFFF); }},
        {"mini FAT chain loops", [](Image& i) { i.SetFat(i.MiniFatStart(), i.MiniFatStart()); }},
        {"mini FAT is the directory's first sector", [](Image& i) { i.Put32(0x3C, i.DirStart()); }},
        {"mini FAT runs into the directory",
         [](Image& i) { i.SetFat(i.Chain(i.MiniFatStart()).back(), i.Chain(i.DirStart()).at(2)); }},
        {"mini stream starts beyond the file", [](Image& i) { i.SetStart(0, 0x00FFFFFF); }},
        {"mini stream shorter than the root says",
         [](Image& i) { i.SetSize(0, 0xFFFFFFC0); }},
        {"mini stream shares the directory's sectors", [](Image& i) { i.SetStart(0, i.DirStart()); }},
    };
    HangWatch watch;
    for (const StructureCase& c : cases) {
        SCOPED_TRACE(c.name);
        watch.Case(c.name);
        Image img(Base().image);
        c.corrupt(img);
        ASSERT_NE(img.bytes, Base().image) << "the corruption changed nothing";
        AllocationLimit limit;
        try {
            Opened o = OpenBytes(img.bytes);
            EXPECT_FALSE(o.cf);
            EXPECT_FALSE(o.error.empty());
            EXPECT_LE(o.bytesRead, 2 * img.bytes.size());
        } catch (const std::bad_alloc&) {
            ADD_FAILURE() << "Open asked for " << limit.LargestRefused() << " bytes";
        }
    }
}

// Creates streams that take every free sector and mini sector and then some. A storage
// takes the lowest free directory slot first, so each new stream's entry comes after the
// damaged one's: were a damaged chain to look whole again once its loose end is handed
// out, that is the order in which it would win the shared sectors.
void Refill(CompoundFile& cf, std::map<std::string, std::optional<std::string>>& expected) {
    ASSERT_NE(cf.CreateElement(CompoundFile::kRoot, "Placeholder", EntryType::Storage), kNoEntry);
    const std::string data = Pattern(120000, 4242);
    for (const std::string name : {"Mini1", "Mini2", "Regular"}) {
        const std::string full = "Refill" + name;
        const size_t size = name == "Regular" ? data.size() : 3000;
        const EntryId id = cf.CreateElement(CompoundFile::kRoot, full, EntryType::Stream);
        ASSERT_NE(id, kNoEntry);
        ASSERT_TRUE(cf.WriteStream(id, 0, data.data(), size)) << cf.Error();
        expected["/" + full] = data.substr(0, size);
    }
}

// Leaves the image alone, returns the name of the stream the damage is expected in.
using StreamDamage = std::function<std::string(Image&)>;

struct DamagedCase {
    const char* name;
    StreamDamage corrupt;
    // Mini chains are checked when first walked, and of two that share a sector the one
    // walked second is the damaged one: the other streams are read before the victim.
    bool othersFirst = false;
};

// Of two streams, the one the directory lists later: when two chains claim a sector the
// earlier entry keeps it, so corrupting the later one is what damages exactly one stream.
std::pair<std::string, std::string> InEntryOrder(const Image& i, std::string a, std::string b) {
    if (i.Find(a) > i.Find(b)) std::swap(a, b);
    return {a, b};
}

// Each case damages one stream. The file still opens; that stream reads as damaged and
// refuses writes; every other stream reads as before; and destroying the damaged stream
// frees nothing another stream uses, which shows once the freed sectors are reused.
TEST(HostileFile, DamagedStreamIsContained) {
    const DamagedCase cases[] = {
        {"regular chain loops",
         [](Image& i) {
             const auto chain = i.StreamChain("Big");
             i.SetFat(chain.at(5), chain.at(2));
             return "Big";
         }},
        {"regular chain loops onto its first sector",
         [](Image& i) {
             i.SetFat(i.Start(i.Find("Big2")), i.Start(i.Find("Big2")));
             return "Big2";
         }},
        {"regular chain shorter than the size",
         [](Image& i) {
             i.SetFat(i.StreamChain("Big").at(3), kEndOfChain);
             return "Big";
         }},
        {"regular size beyond the chain",
         [](Image& i) {
             i.SetSize(i.Find("Big2"), i.Size(i.Find("Big2")) + 5 * kSector);
             return "Big2";
         }},
        {"regular chain leaves the file",
         [](Image& i) {
             i.SetFat(i.StreamChain("Big").at(4), 0x00100000);
             return "Big";
         }},
        {"regular chain starts beyond the file",
         [](Image& i) {
             i.SetStart(i.Find("Big2"), 0x7FFFFFF0);
             return "Big2";
         }},
        {"regular chain ends in a free sector",
         [](Image& i) {
             i.SetFat(i.StreamChain("Big2").back(), kFreeSect);
             return "Big2";
         }},
        {"regular chain runs into a free sector",
         [](Image& i) {
             i.SetFat(i.StreamChain("Big2").at(2), i.FreeSectors().at(0));
             return "Big2";
         }},
        {"regular chain runs just past the end of the file",
         [](Image& i) {
             i.SetFat(i.StreamChain("Big2").at(2), i.Sectors());
             return "Big2";
         }},
        {"regular chain runs into a FAT sector",
         [](Image& i) {
             i.SetFat(i.StreamChain("Big2").at(1), i.FatLocation(i.NumFat() - 1));
             return "Big2";
         }},
        {"regular chain runs into the directory",
         [](Image& i) {
             i.SetFat(i.StreamChain("Tail").back(), i.DirStart());
             return "Tail";
         }},
        {"regular chain runs into the mini FAT",
         [](Image& i) {
             i.SetFat(i.StreamChain("Tail").back(), i.MiniFatStart());
             return "Tail";
         }},
        {"regular chain runs into the mini stream",
         [](Image& i) {
             i.SetStart(i.Find("Big2"), i.Start(0));
             return "Big2";
         }},
        {"regular chains cross-linked",
         [](Image& i) {
             const auto [keeper, victim] = InEntryOrder(i, "Big", "Big2");
             i.SetFat(i.StreamChain(victim).at(2), i.StreamChain(keeper).at(7));
             return victim;
         }},
        {"regular chains share a start",
         [](Image& i) {
             const auto [keeper, victim] = InEntryOrder(i, "Tail", "Big2");
             i.SetStart(i.Find(victim), i.Start(i.Find(keeper)));
             return victim;
         }},
        {"nested regular chain loops",
         [](Image& i) {
             const auto chain = i.StreamChain("Mid");
             i.SetFat(chain.back(), chain.front());
             return "Mid";
         }},
        {"mini chain starts beyond the mini stream",
         [](Image& i) {
             i.SetStart(i.Find("Small"), 0x7FFF);
             return "Small";
         }},
        {"mini chain leaves the mini FAT",
         [](Image& i) {
             i.SetMiniFat(i.MiniChain("Small").at(1), 0x00FFFFFF);
             return "Small";
         }},
        {"mini chain runs into a free mini sector",
         [](Image& i) {
             i.SetMiniFat(i.MiniChain("Small").at(1), i.FreeMiniSectors().at(0));
             return "Small";
         }},
        {"mini chain runs just past the end of the mini stream",
         [](Image& i) {
             i.SetMiniFat(i.MiniChain("Small").at(1), i.Size(0) / 64);
             return "Small";
         }},
        {"mini chain loops",
         [](Image& i) {
             const auto chain = i.MiniChain("Small");
             i.SetMiniFat(chain.at(3), chain.at(1));
             return "Small";
         }},
        {"mini chain ends early",
         [](Image& i) {
             i.SetMiniFat(i.MiniChain("Small").at(1), kEndOfChain);
             return "Small";
         }},
        {"mini size beyond the chain",
         [](Image& i) {
             i.SetSize(i.Find("Other"), 4000);
             return "Other";
         }},
        {"mini chains cross-linked",
         [](Image& i) {
             const auto [keeper, victim] = InEntryOrder(i, "Small", "Other");
             i.SetMiniFat(i.MiniChain(victim).at(0), i.MiniChain(keeper).at(2));
             return victim;
         },
         true},
        {"nested mini chain beyond the mini stream",
         [](Image& i) {
             i.SetStart(i.Find("Deep"), 5000);
             return "Deep";
         }},
    };
    HangWatch watch;
    for (const DamagedCase& c : cases) {
        SCOPED_TRACE(c.name);
        watch.Case(c.name);
        Image img(Base().image);
        const std::string victim = c.corrupt(img);
        ASSERT_NE(img.bytes, Base().image) << "the corruption changed nothing";
        AllocationLimit limit;
        try {
            Opened o = OpenBytes(img.bytes);
            ASSERT_TRUE(o.cf) << o.error;
            CompoundFile& cf = *o.cf;
            const EntryId bad = Resolve(cf, victim);
            ASSERT_NE(bad, kNoEntry);
            char byte = 0;
            for (EntryId id = 1; c.othersFirst && id < cf.Dir().Count(); ++id) {
                if (id != bad && cf.Dir().IsLive(id) && cf.Dir()[id].type == EntryType::Stream)
                    cf.ReadStream(id, 0, &byte, 1);
            }
            EXPECT_EQ(cf.ReadStream(bad, 0, &byte, 1), -1);
            EXPECT_FALSE(cf.WriteStream(bad, 0, "x", 1));
            EXPECT_FALSE(cf.SetStreamSize(bad, 10));
            EXPECT_FALSE(cf.Failed()) << "a refused write to one stream must not end the session";

            const std::string victimPath = Base().paths.at(victim) + "/" + victim;
            auto expected = Expected();
            expected[victimPath] = std::nullopt;
            EXPECT_SAME_STREAMS(ByPath(ReadEverything(cf)), expected);

            o.cf.reset();

            // Two sessions on the damaged file: one fills every free sector and mini sector
            // while the damaged stream stays, the other destroys it first and then fills.
            // Either way the file reopens as the session left it.
            for (const bool destroy : {false, true}) {
                SCOPED_TRACE(destroy ? "destroyed, then refilled" : "refilled");
                auto image = std::make_shared<std::string>(img.bytes);
                std::string error;
                auto session = Reopen(image, &error);
                ASSERT_TRUE(session) << error;
                auto now = expected;
                if (destroy) {
                    ASSERT_TRUE(session->DestroyElement(ParentOf(*session, victim), victim));
                    now.erase(victimPath);
                }
                Refill(*session, now);
                ASSERT_TRUE(session->Commit()) << session->Error();
                session.reset();
                session = Reopen(image, &error);
                ASSERT_TRUE(session) << error;
                EXPECT_SAME_STREAMS(ByPath(ReadEverything(*session)), now);
            }
        } catch (const std::bad_alloc&) {
            ADD_FAILURE() << "asked for " << limit.LargestRefused() << " bytes";
        }
    }
}

// Writes into one stream, adds streams that grow the mini stream and the sector count, and
// destroys one, then commits: what a session does with a file it has opened.
void ChangeAndCommit(CompoundFile& cf, std::map<std::string, std::optional<std::string>>& expected) {
    const std::string data = Pattern(20000, 31337);
    for (const char* name : {"Small", "Big2"}) {
        const std::string path = Base().paths.at(name) + "/" + name;
        if (!expected.count(path) || !expected[path]) continue;
        const EntryId id = Resolve(cf, name);
        ASSERT_NE(id, kNoEntry) << name;
        ASSERT_TRUE(cf.WriteStream(id, 5, data.data(), 50)) << cf.Error();
        expected[path]->replace(5, 50, data.substr(0, 50));
    }
    for (int i = 0; i < 5; ++i) {
        const std::string name = "New" + std::to_string(i);
        const size_t size = i == 4 ? data.size() - i : 3000;
        const EntryId id = cf.CreateElement(CompoundFile::kRoot, name, EntryType::Stream);
        ASSERT_NE(id, kNoEntry) << cf.Error();
        ASSERT_TRUE(cf.WriteStream(id, 0, data.data() + i, size)) << cf.Error();
        expected["/" + name] = data.substr(i, size);
    }
    const EntryId nested = cf.Find(CompoundFile::kRoot, "Nested");
    if (nested != kNoEntry) {
        const EntryId id = cf.CreateElement(nested, "Added", EntryType::Stream);
        ASSERT_NE(id, kNoEntry);
        ASSERT_TRUE(cf.WriteStream(id, 0, data.data(), 700));
        expected["/Nested/Added"] = data.substr(0, 700);
    }
    if (cf.DestroyElement(CompoundFile::kRoot, "Filler3")) expected.erase("/Filler3");
    ASSERT_TRUE(cf.Commit()) << cf.Error();
}

struct ReadableCase {
    const char* name;
    std::function<void(Image&)> corrupt;
    std::vector<std::string> damaged;  // the streams the oddity costs
};

// Oddities a reader can live with. The file opens, reads as it was written, and keeps
// working: changes commit and a reopened file holds exactly what the session left.
TEST(HostileFile, OddButReadableFileKeepsWorking) {
    const ReadableCase cases[] = {
        {"untouched", [](Image&) {}, {}},
        {"sibling tree root is red", [](Image& i) { i.SetColor(i.Child(0), 0); }, {}},
        {"every sibling is black",
         [](Image& i) {
             for (const auto& [name, data] : Base().streams) i.SetColor(i.Find(name), 1);
         },
         {}},
        {"siblings out of name order",
         [](Image& i) {
             const EntryId top = i.Child(0);
             const uint32_t left = i.Left(top);
             i.SetLeft(top, i.Right(top));
             i.SetRight(top, left);
         },
         {}},
        {"unreachable slot holds junk",
         [](Image& i) {
             const EntryId spare = 1;  // the spacer's slot, free since it was destroyed
             i.SetType(spare, 2);
             i.SetLeft(spare, 0x00FFFFFF);
             i.SetChild(spare, spare);
             i.SetStart(spare, 0x00FFFFFF);
             i.SetSize(spare, 0xFFFFFFFF);
         },
         {}},
        {"size has junk in its high half",
         [](Image& i) { i.Put32(i.EntryAt(i.Find("Big2")) + 0x7C, 0xDEADBEEF); },
         {}},
        {"storage with a start and size", [](Image& i) {
             i.SetStart(i.Find("Nested"), 0x00FFFFFF);
             i.SetSize(i.Find("Nested"), 0x7FFFFFFF);
         },
         {}},
        {"junk after the last sector", [](Image& i) { i.bytes += Pattern(300, 5); }, {}},
        {"mini stream longer than the mini FAT covers",
         [](Image& i) {
             // The root's chain runs on through Big's and Tail's sectors (which those streams
             // lose), so the mini stream is more than twice as large as its mini FAT
             // describes: growing it must add several mini FAT sectors at once.
             const auto root = i.Chain(i.Start(0));
             const auto big = i.StreamChain("Big");
             const auto tail = i.StreamChain("Tail");
             i.SetFat(root.back(), big.front());
             i.SetFat(big.back(), tail.front());
             const size_t sectors = root.size() + big.size() + tail.size();
             i.SetSize(0, static_cast<uint32_t>(sectors * kSector));
             EXPECT_GT(sectors * kSector / 64, 2 * 128 * i.Chain(i.MiniFatStart()).size());
         },
         {"Big", "Tail"}},
    };
    HangWatch watch;
    for (const ReadableCase& c : cases) {
        SCOPED_TRACE(c.name);
        watch.Case(c.name);
        Image img(Base().image);
        c.corrupt(img);
        AllocationLimit limit;
        try {
            Opened o = OpenBytes(img.bytes);
            ASSERT_TRUE(o.cf) << o.error;
            auto expected = Expected();
            for (const std::string& name : c.damaged) expected[Base().paths.at(name) + "/" + name] = std::nullopt;
            ASSERT_SAME_STREAMS(ByPath(ReadEverything(*o.cf)), expected);
            // First a change that touches few directory sectors: whatever Open repaired in
            // memory must reach the disk whole, not just where the change happens to land.
            const EntryId inner = ParentOf(*o.cf, "Deep");
            ASSERT_NE(inner, kNoEntry);
            const EntryId note = o.cf->CreateElement(inner, "Note", EntryType::Stream);
            ASSERT_NE(note, kNoEntry);
            ASSERT_TRUE(o.cf->WriteStream(note, 0, "note", 4));
            expected["/Nested/Inner/Note"] = "note";
            ASSERT_TRUE(o.cf->Commit()) << o.cf->Error();
            o.cf.reset();
            std::string error;
            auto again = Reopen(o.image, &error);
            ASSERT_TRUE(again) << error;
            ASSERT_SAME_STREAMS(ByPath(ReadEverything(*again)), expected);
            // Then a session's worth of changes.
            ChangeAndCommit(*again, expected);
            again.reset();
            again = Reopen(o.image, &error);
            ASSERT_TRUE(again) << error;
            EXPECT_SAME_STREAMS(ByPath(ReadEverything(*again)), expected);
        } catch (const std::bad_alloc&) {
            ADD_FAILURE() << "asked for " << limit.LargestRefused() << " bytes";
        }
    }
}

struct V4Case {
    const char* name;
    std::function<void(Image&)> corrupt;
    bool damaged;
};

// Version 4 keeps 64-bit sizes, so a size can claim far more than any chain holds, and
// the arithmetic on it must not wrap.
TEST(HostileFile, Version4SizeBeyondTheChainIsDamage) {
    const std::string content = Pattern(2 * kV4Sector, 404);
    auto setSize = [](uint64_t size) {
        return [size](Image& i) { i.Put64(2 * kV4Sector + 128 + 0x78, size); };
    };
    const V4Case cases[] = {
        {"untouched", [](Image&) {}, false},
        {"size one byte beyond the chain", setSize(2 * kV4Sector + 1), true},
        {"size of 4 GB and one", setSize(0x100000001ull), true},
        {"size whose rounding wraps", setSize(0xFFFFFFFFFFFFF001ull), true},
        {"size of all ones", setSize(0xFFFFFFFFFFFFFFFFull), true},
        {"chain loops", [](Image& i) { i.Put32(kV4Sector + 12, 2); }, true},
    };
    HangWatch watch;
    for (const V4Case& c : cases) {
        SCOPED_TRACE(c.name);
        watch.Case(c.name);
        Image img(V4Image(content));
        c.corrupt(img);
        AllocationLimit limit;
        try {
            Opened o = OpenBytes(img.bytes);
            ASSERT_TRUE(o.cf) << o.error;
            EXPECT_EQ(o.cf->SectorSize(), kV4Sector);
            const EntryId reg = o.cf->Find(CompoundFile::kRoot, "Reg");
            ASSERT_NE(reg, kNoEntry);
            const auto seen = ReadEverything(*o.cf);
            ASSERT_EQ(seen.size(), 1u);
            if (c.damaged) {
                EXPECT_FALSE(seen[0].data) << seen[0].data->size() << " bytes read";
                EXPECT_FALSE(o.cf->WriteStream(reg, 3 * kV4Sector, "x", 1));
                continue;
            }
            EXPECT_TRUE(seen[0].data == content);
            ASSERT_TRUE(o.cf->WriteStream(reg, 3 * kV4Sector, content.data(), 100));
            ASSERT_TRUE(o.cf->Commit()) << o.cf->Error();
            o.cf.reset();
            std::string error;
            auto again = Reopen(o.image, &error);
            ASSERT_TRUE(again) << error;
            EXPECT_TRUE(ReadEverything(*again).at(0).data ==
                        content + std::string(kV4Sector, '\0') + content.substr(0, 100));
        } catch (const std::bad_alloc&) {
            ADD_FAILURE() << "asked for " << limit.LargestRefused() << " bytes";
        }
    }
}

struct CutCase {
    const char* name;
    size_t keep;  // bytes left of the file
};

// A file cut short (a copy that stopped, a disk that lost its tail). Either Open refuses it,
// or every stream reads as it was, as damaged, or with zeros where its bytes were cut off;
// and the session can still change and commit it.
TEST(HostileFile, TruncatedFileReadsWhatIsLeft) {
    const size_t size = Base().image.size();
    const CutCase cases[] = {
        {"last byte", size - 1},
        {"part of the last sector", size - 300},
        {"last sector", size - kSector},
        {"last four sectors", size - 4 * kSector},
        {"last sector and a half", size - kSector - kSector / 2},
        {"half the file", size / 2},
        {"all but the header and two sectors", 3 * kSector},
        {"all but the header", kSector},
    };
    int opened = 0, cut = 0;
    HangWatch watch;
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.name);
        watch.Case(c.name);
        AllocationLimit limit;
        try {
            Opened o = OpenBytes(Base().image.substr(0, c.keep));
            if (!o.cf) {
                EXPECT_FALSE(o.error.empty());
                continue;
            }
            ++opened;
            auto seen = ByPath(ReadEverything(*o.cf));
            EXPECT_EQ(seen.size(), Base().streams.size());
            for (auto& [path, data] : seen) {
                SCOPED_TRACE(path);
                const std::string name = path.substr(path.rfind('/') + 1);
                ASSERT_TRUE(Base().streams.count(name));
                const std::string& original = Base().streams.at(name);
                if (!data) {
                    ++cut;
                    continue;
                }
                ASSERT_EQ(data->size(), original.size());
                if (*data != original) ++cut;
                for (size_t k = 0; k < original.size(); ++k)
                    ASSERT_TRUE((*data)[k] == original[k] || (*data)[k] == 0) << "byte " << k;
            }
            ChangeAndCommit(*o.cf, seen);
            o.cf.reset();
            std::string error;
            auto again = Reopen(o.image, &error);
            ASSERT_TRUE(again) << error;
            EXPECT_SAME_STREAMS(ByPath(ReadEverything(*again)), seen);
        } catch (const std::bad_alloc&) {
            ADD_FAILURE() << "asked for " << limit.LargestRefused() << " bytes";
        }
    }
    EXPECT_GT(opened, 0) << "no cut left a file that opens: the cases no longer reach past the end";
    EXPECT_GT(cut, 0) << "no stream lost bytes to a cut";
}

// Random damage: thousands of copies of the valid file with a few bytes flipped, half of
// them aimed at structure. Each must open or fail cleanly; one that opens must read,
// accept changes, commit, and reopen with what the session left. Sanitizers turn any
// memory fault into a failure.
TEST(HostileFile, RandomByteFlipsNeverCrashAndCommitsSurviveReopen) {
    constexpr int kIterations = 3000;
    const Image base(Base().image);
    const std::vector<size_t> structure = base.StructuralBytes();
    std::mt19937 rng(20240611);
    HangWatch watch;
    int opened = 0;
    const std::string data = Pattern(6000, 7);
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        std::string bytes;
        bytes.reserve(base.bytes.size() + 64 * 1024);
        bytes = base.bytes;
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int f = 0; f < flips; ++f) {
            const size_t at = rng() % 2 ? structure[rng() % structure.size()] : rng() % bytes.size();
            bytes[at] = static_cast<char>(bytes[at] ^ (1 + rng() % 255));
        }
        SCOPED_TRACE(testing::Message() << "iteration " << iteration);
        watch.Case("iteration " + std::to_string(iteration));
        AllocationLimit limit;
        try {
            Opened o = OpenBytes(std::move(bytes));
            if (!o.cf) {
                ASSERT_FALSE(o.error.empty());
                continue;
            }
            ++opened;
            CompoundFile& cf = *o.cf;
            std::map<EntryId, std::optional<std::string>> expected;
            for (const Seen& s : ReadEverything(cf, Keep::Digest)) expected[s.id] = s.data;
            // Overwrite the start of the first readable stream, add one regular and one mini.
            for (auto& [id, digest] : expected) {
                if (!digest) continue;
                std::string content(cf.StreamSize(id), '\0');
                ASSERT_EQ(cf.ReadStream(id, 0, content.data(), content.size()),
                          static_cast<int64_t>(content.size()));
                ASSERT_TRUE(cf.WriteStream(id, 0, data.data(), 100)) << cf.Error();
                if (content.size() < 100) content.resize(100);
                content.replace(0, 100, data, 0, 100);
                digest = Digest(content);
                break;
            }
            for (size_t size : {data.size(), size_t(700)}) {
                const std::string name = "Added" + std::to_string(size);
                const EntryId id = cf.CreateElement(CompoundFile::kRoot, name, EntryType::Stream);
                ASSERT_NE(id, kNoEntry) << cf.Error();
                ASSERT_TRUE(cf.WriteStream(id, 0, data.data(), size)) << cf.Error();
                expected[id] = Digest(data.substr(0, size));
            }
            ASSERT_TRUE(cf.Commit()) << cf.Error();
            o.cf.reset();
            std::string error;
            auto again = Reopen(o.image, &error);
            ASSERT_TRUE(again) << error;
            std::map<EntryId, std::optional<std::string>> after;
            for (const Seen& s : ReadEverything(*again, Keep::Digest)) after[s.id] = s.data;
            ASSERT_SAME_STREAMS(after, expected);
        } catch (const std::bad_alloc&) {
            FAIL() << "asked for " << limit.LargestRefused() << " bytes";
        }
    }
    // The sweep means little if nearly every copy is refused at the door.
    EXPECT_GT(opened, kIterations / 4);
}

}  // namespace
}  // namespace ph::cfb
