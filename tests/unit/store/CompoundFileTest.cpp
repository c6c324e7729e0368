#include "store/cfb/CompoundFile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>

#include "common/Bytes.h"
#include "support/CfbSnapshot.h"
#include "support/MemFile.h"

namespace ph::cfb {
namespace {

using test::MemDisk;
using test::MemFile;
using test::Snapshot;

std::shared_ptr<CompoundFile> CreateOn(const std::shared_ptr<MemDisk>& disk) {
    std::string error;
    auto cf = CompoundFile::Create(std::make_unique<MemFile>(disk), &error);
    EXPECT_TRUE(cf) << error;
    return cf;
}

std::shared_ptr<CompoundFile> OpenOn(const std::shared_ptr<MemDisk>& disk) {
    std::string error;
    auto cf = CompoundFile::Open(std::make_unique<MemFile>(disk), &error);
    EXPECT_TRUE(cf) << error;
    return cf;
}

std::string RandomBytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

void ExpectAllTreesValid(const CompoundFile& cf) {
    for (EntryId id = 0; id < cf.Dir().Count(); ++id) {
        if (cf.Dir().IsLive(id) && cf.Dir()[id].IsStorage()) {
            EXPECT_TRUE(cf.Dir().IsValidTree(id)) << "storage " << NarrowName(cf.Dir()[id].name);
        }
    }
}

// The reference the random test checks against: path -> content, nullopt for storages.
class Model {
public:
    std::map<std::string, std::optional<std::string>> items;

    bool IsStorage(const std::string& path) const {
        if (path.empty()) return true;
        auto it = items.find(path);
        return it != items.end() && !it->second;
    }
    void RemoveTree(const std::string& path) {
        items.erase(path);
        for (auto it = items.lower_bound(path + "/"); it != items.end() && it->first.rfind(path + "/", 0) == 0;)
            it = items.erase(it);
    }
    std::map<std::string, std::string> Flat() const {
        std::map<std::string, std::string> out;
        for (const auto& [path, content] : items) out[path] = content ? *content : "<storage>";
        return out;
    }
};

EntryId Resolve(CompoundFile& cf, const std::string& path) {
    EntryId id = CompoundFile::kRoot;
    size_t start = 1;
    while (start <= path.size() && !path.empty()) {
        const size_t slash = path.find('/', start);
        const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        id = cf.Find(id, part);
        if (id == kNoEntry || slash == std::string::npos) break;
        start = slash + 1;
    }
    return path.empty() ? CompoundFile::kRoot : id;
}

std::string ParentOf(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string LeafOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(CompoundFile, RandomOperationsMatchModelAcrossCommitsAndReopens) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto disk = std::make_shared<MemDisk>();
        auto cf = CreateOn(disk);
        Model model;
        auto pick = [&](bool storagesOnly) {
            std::vector<std::string> paths = {""};
            for (const auto& [path, content] : model.items)
                if (!storagesOnly || !content) paths.push_back(path);
            return paths[rng() % paths.size()];
        };
        for (int step = 0; step < 600; ++step) {
            const int op = static_cast<int>(rng() % 100);
            const std::string name = std::string(1, char('A' + rng() % 6)) + std::to_string(rng() % 8);
            if (op < 12) {  // create a storage (replacing)
                const std::string parent = pick(true);
                const std::string path = parent + "/" + name;
                ASSERT_NE(cf->CreateElement(Resolve(*cf, parent), name, EntryType::Storage), kNoEntry);
                model.RemoveTree(path);
                model.items[path] = std::nullopt;
            } else if (op < 30) {  // create a stream (replacing)
                const std::string parent = pick(true);
                const std::string path = parent + "/" + name;
                ASSERT_NE(cf->CreateElement(Resolve(*cf, parent), name, EntryType::Stream), kNoEntry);
                model.RemoveTree(path);
                model.items[path] = std::string();
            } else if (op < 65) {  // write somewhere in (or past) a stream
                const std::string path = pick(false);
                if (model.IsStorage(path)) continue;
                std::string& content = *model.items[path];
                const size_t offset = rng() % (content.size() + 5000);
                const size_t length = rng() % 3 == 0 ? rng() % 12000 : rng() % 700;
                const std::string data = RandomBytes(rng, length);
                ASSERT_TRUE(cf->WriteStream(Resolve(*cf, path), offset, data.data(), data.size()));
                if (length) {
                    if (content.size() < offset + length) content.resize(offset + length, '\0');
                    content.replace(offset, length, data);
                }
            } else if (op < 75) {  // resize a stream
                const std::string path = pick(false);
                if (model.IsStorage(path)) continue;
                const uint64_t size = rng() % 2 ? rng() % 5000 : rng() % 20000;
                ASSERT_TRUE(cf->SetStreamSize(Resolve(*cf, path), size));
                model.items[path]->resize(size, '\0');
            } else if (op < 85) {  // destroy anything
                const std::string path = pick(false);
                if (path.empty()) continue;
                ASSERT_TRUE(cf->DestroyElement(Resolve(*cf, ParentOf(path)), LeafOf(path)));
                model.RemoveTree(path);
            } else if (op < 95) {
                ASSERT_TRUE(cf->Commit()) << cf->Error();
            } else {
                ASSERT_TRUE(cf->Commit());
                cf.reset();
                cf = OpenOn(disk);
                ASSERT_TRUE(cf);
            }
            if (step % 50 == 0) {
                ASSERT_EQ(Snapshot(*cf), model.Flat()) << "step " << step;
            }
        }
        ASSERT_EQ(Snapshot(*cf), model.Flat());
        ExpectAllTreesValid(*cf);
        cf.reset();
        cf = OpenOn(disk);
        EXPECT_EQ(Snapshot(*cf), model.Flat());
    }
}

TEST(CompoundFile, ManySiblingsKeepAValidBalancedTree) {
    auto disk = std::make_shared<MemDisk>();
    auto cf = CreateOn(disk);
    std::mt19937 rng(7);
    std::vector<int> ids(4000);
    for (int i = 0; i < 4000; ++i) ids[i] = i;
    std::shuffle(ids.begin(), ids.end(), rng);
    for (size_t i = 0; i < ids.size(); ++i) {
        ASSERT_NE(cf->CreateElement(CompoundFile::kRoot, "Blob_Xml_" + std::to_string(ids[i]), EntryType::Stream), kNoEntry);
        if (i % 500 == 0) {
            ASSERT_TRUE(cf->Dir().IsValidTree(CompoundFile::kRoot));
        }
    }
    std::shuffle(ids.begin(), ids.end(), rng);
    for (size_t i = 0; i < 2500; ++i) {
        ASSERT_TRUE(cf->DestroyElement(CompoundFile::kRoot, "Blob_Xml_" + std::to_string(ids[i])));
        if (i % 250 == 0) {
            ASSERT_TRUE(cf->Dir().IsValidTree(CompoundFile::kRoot));
        }
    }
    ASSERT_TRUE(cf->Dir().IsValidTree(CompoundFile::kRoot));
    const std::vector<EntryId> children = cf->Dir().Children(CompoundFile::kRoot);
    ASSERT_EQ(children.size(), 1500u);
    for (size_t i = 1; i < children.size(); ++i) {
        EXPECT_LT(CompareNames(cf->Dir()[children[i - 1]].name, cf->Dir()[children[i]].name), 0);
    }
    for (size_t i = 2500; i < ids.size(); ++i) {
        EXPECT_NE(cf->Find(CompoundFile::kRoot, "Blob_Xml_" + std::to_string(ids[i])), kNoEntry);
    }
    ASSERT_TRUE(cf->Commit());
    cf.reset();
    cf = OpenOn(disk);
    EXPECT_TRUE(cf->Dir().IsValidTree(CompoundFile::kRoot));
    EXPECT_EQ(cf->Dir().Children(CompoundFile::kRoot).size(), 1500u);
}

// Look-ups follow on from the previous answer when a walk asks for names in sibling order;
// whatever the order and whatever changed in between, each finds its own storage's entry.
TEST(CompoundFile, LookupsInAnyOrderFindTheEntryOfTheirOwnStorage) {
    using Step = std::function<void(CompoundFile&, EntryId a, EntryId b)>;
    auto find = [](bool inA, std::string name) {
        return std::make_pair(inA, std::move(name));
    };
    struct Case {
        const char* name;
        std::vector<std::pair<bool, std::string>> before;  // storage A (true) or B, name
        Step change;
        std::vector<std::pair<bool, std::string>> after;
    } cases[] = {
        {"sibling order", {find(true, "s10"), find(true, "s11"), find(true, "s12")}, nullptr,
         {find(true, "s13"), find(true, "s14")}},
        {"backwards", {find(true, "s14"), find(true, "s13"), find(true, "s12")}, nullptr, {}},
        {"the next name asked of a storage that lacks it",
         {find(true, "s10"), find(false, "s11"), find(true, "s11")}, nullptr, {}},
        {"storages taking turns with the same names",
         {find(true, "s10"), find(false, "s10"), find(true, "s12"), find(false, "s12")}, nullptr,
         {find(false, "s14"), find(true, "s14")}},
        {"the previous answer destroyed",
         {find(true, "s10")},
         [](CompoundFile& cf, EntryId a, EntryId) { ASSERT_TRUE(cf.DestroyElement(a, "s10")); },
         {find(true, "s11"), find(true, "s10")}},
        {"a name put in right after the previous answer",
         {find(true, "s19")},
         [](CompoundFile& cf, EntryId a, EntryId) {
             ASSERT_NE(cf.CreateElement(a, "s1a", EntryType::Stream), kNoEntry);
         },
         {find(true, "s1a"), find(true, "s20")}},
        {"the tree reloaded", {find(true, "s30")},
         [](CompoundFile& cf, EntryId, EntryId) { ASSERT_TRUE(cf.Rollback()); },
         {find(true, "s31"), find(false, "s32")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto disk = std::make_shared<MemDisk>();
        auto cf = CreateOn(disk);
        const EntryId a = cf->CreateElement(CompoundFile::kRoot, "A", EntryType::Storage);
        const EntryId b = cf->CreateElement(CompoundFile::kRoot, "B", EntryType::Storage);
        // B holds the even names only.
        for (int i = 10; i < 50; ++i) {
            const std::string name = "s" + std::to_string(i);
            ASSERT_NE(cf->CreateElement(a, name, EntryType::Stream), kNoEntry);
            if (i % 2 == 0) {
                ASSERT_NE(cf->CreateElement(b, name, EntryType::Stream), kNoEntry);
            }
        }
        ASSERT_TRUE(cf->Commit());
        auto check = [&](const std::vector<std::pair<bool, std::string>>& lookups) {
            for (const auto& [inA, name] : lookups) {
                const EntryId storage = inA ? a : b;
                EntryId expected = kNoEntry;
                for (EntryId id : cf->Dir().Children(storage))
                    if (NarrowName(cf->Dir()[id].name) == name) expected = id;
                EXPECT_EQ(cf->Find(storage, name), expected) << (inA ? "A/" : "B/") << name;
            }
        };
        check(c.before);
        if (c.change) c.change(*cf, a, b);
        check(c.after);
    }
}

TEST(CompoundFile, SiblingOrderIsLengthThenCaseInsensitiveText) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"B", "AA", -1},      {"abc", "ABD", -1}, {"Records", "RECORDS", 0},
        {"000009", "000010", -1}, {"\xE9t\xE9", "\xC9T\xC9", 0}, {"Z", "a", 1},
    };
    for (const Case& c : cases) {
        const int r = CompareNames(WideName(c.a), WideName(c.b));
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    }
    auto disk = std::make_shared<MemDisk>();
    auto cf = CreateOn(disk);
    const EntryId id = cf->CreateElement(CompoundFile::kRoot, "Records", EntryType::Stream);
    EXPECT_EQ(cf->Find(CompoundFile::kRoot, "rEcOrDs"), id);
    // A create under another case replaces the element rather than adding a twin.
    EXPECT_EQ(cf->CreateElement(CompoundFile::kRoot, "RECORDS", EntryType::Stream), id);
    EXPECT_EQ(cf->Dir().Children(CompoundFile::kRoot).size(), 1u);
}

TEST(CompoundFile, RejectsNamesTheFormatCannotHold) {
    auto disk = std::make_shared<MemDisk>();
    auto cf = CreateOn(disk);
    for (const char* bad : {"", "a/b", "a\\b", "a:b", "a!b", "12345678901234567890123456789012"})
        EXPECT_EQ(cf->CreateElement(CompoundFile::kRoot, bad, EntryType::Stream), kNoEntry) << bad;
    EXPECT_NE(cf->CreateElement(CompoundFile::kRoot, "1234567890123456789012345678901", EntryType::Stream), kNoEntry);
    EXPECT_FALSE(cf->Failed());
}

TEST(CompoundFile, CreateReplacesElementOfOtherKindWithEverythingBelow) {
    auto disk = std::make_shared<MemDisk>();
    auto cf = CreateOn(disk);
    const EntryId s = cf->CreateElement(CompoundFile::kRoot, "X", EntryType::Storage);
    const EntryId inner = cf->CreateElement(s, "inner", EntryType::Stream);
    const std::string data(9000, 'q');
    ASSERT_TRUE(cf->WriteStream(inner, 0, data.data(), data.size()));
    const uint32_t generation = cf->Dir()[inner].generation;
    const EntryId stream = cf->CreateElement(CompoundFile::kRoot, "X", EntryType::Stream);
    ASSERT_NE(stream, kNoEntry);
    EXPECT_FALSE(cf->IsCurrent(inner, generation));  // old handles notice
    EXPECT_EQ((Snapshot(*cf)), (std::map<std::string, std::string>{{"/X", ""}}));
}

TEST(CompoundFile, GroupedCommitsSyncOnceAtTheEnd) {
    auto disk = std::make_shared<MemDisk>();
    auto cf = CreateOn(disk);
    const int syncsBefore = disk->syncs;
    cf->BeginGroup();
    for (int i = 0; i < 50; ++i) {
        const EntryId id = cf->CreateElement(CompoundFile::kRoot, "S" + std::to_string(i), EntryType::Stream);
        ASSERT_TRUE(cf->WriteStream(id, 0, "abc", 3));
        ASSERT_TRUE(cf->Commit());
    }
    EXPECT_EQ(disk->syncs, syncsBefore);
    ASSERT_TRUE(cf->EndGroup());
    EXPECT_EQ(disk->syncs, syncsBefore + 2);  // data, then the header
    cf.reset();
    EXPECT_EQ(Snapshot(*OpenOn(disk)).size(), 50u);
}

TEST(CompoundFile, CommitWritesOnlyWhatChanged) {
    auto disk = std::make_shared<MemDisk>();
    auto cf = CreateOn(disk);
    std::mt19937 rng(3);
    std::vector<EntryId> blobs;
    for (int i = 0; i < 2000; ++i) {
        const EntryId id = cf->CreateElement(CompoundFile::kRoot, "Blob_Xml_" + std::to_string(i), EntryType::Stream);
        const std::string data = RandomBytes(rng, 3000);
        ASSERT_TRUE(cf->WriteStream(id, 0, data.data(), data.size()));
        blobs.push_back(id);
    }
    const EntryId records = cf->CreateElement(CompoundFile::kRoot, "Records", EntryType::Stream);
    std::string big = RandomBytes(rng, 2128 * 2000);
    ASSERT_TRUE(cf->WriteStream(records, 0, big.data(), big.size()));
    ASSERT_TRUE(cf->Commit());
    ASSERT_GT(disk->current.size(), 10'000'000u);

    struct Job {
        const char* what;
        std::function<void()> run;
        size_t maxBytes;
    } jobs[] = {
        {"overwrite one record", [&] {
             const std::string record = RandomBytes(rng, 2128);
             big.replace(2128 * 1000, record.size(), record);
             ASSERT_TRUE(cf->WriteStream(records, 2128 * 1000, record.data(), record.size()));
         }, 32 * 1024},
        {"rewrite one blob", [&] {
             const std::string data = RandomBytes(rng, 3000);
             ASSERT_TRUE(cf->WriteStream(blobs[700], 0, data.data(), data.size()));
         }, 32 * 1024},
        {"add a blob", [&] {
             const EntryId id = cf->CreateElement(CompoundFile::kRoot, "Blob_Xml_new", EntryType::Stream);
             ASSERT_TRUE(cf->WriteStream(id, 0, big.data(), 3000));
         }, 32 * 1024},
        {"destroy a blob", [&] { ASSERT_TRUE(cf->DestroyElement(CompoundFile::kRoot, "Blob_Xml_5")); }, 16 * 1024},
        // Nothing changed, so nothing is written: not even a header.
        {"rewrite identical bytes", [&] { ASSERT_TRUE(cf->WriteStream(records, 0, big.data(), big.size())); }, 0},
    };
    for (const Job& job : jobs) {
        SCOPED_TRACE(job.what);
        const uint64_t before = disk->bytesWritten;
        job.run();
        ASSERT_TRUE(cf->Commit());
        // Data, the FAT and directory sectors that changed, and the header.
        const uint64_t written = disk->bytesWritten - before;
        EXPECT_LE(written, job.maxBytes);
    }
}

TEST(CompoundFile, RewritingTheSameStreamDoesNotGrowTheFile) {
    auto disk = std::make_shared<MemDisk>();
    auto cf = CreateOn(disk);
    std::mt19937 rng(5);
    const EntryId id = cf->CreateElement(CompoundFile::kRoot, "Records", EntryType::Stream);
    std::string data = RandomBytes(rng, 100000);
    ASSERT_TRUE(cf->WriteStream(id, 0, data.data(), data.size()));
    ASSERT_TRUE(cf->Commit());
    size_t sizeAfterWarmUp = 0;
    for (int i = 0; i < 200; ++i) {
        const size_t at = rng() % (data.size() - 3000);
        const std::string patch = RandomBytes(rng, 3000);
        ASSERT_TRUE(cf->WriteStream(id, at, patch.data(), patch.size()));
        data.replace(at, patch.size(), patch);
        ASSERT_TRUE(cf->Commit());
        if (i == 20) sizeAfterWarmUp = disk->current.size();
    }
    EXPECT_LE(disk->current.size(), sizeAfterWarmUp + 16 * 512);
    EXPECT_EQ(Snapshot(*cf).at("/Records"), data);
}

// More mini FAT sectors than stay in memory at once: reads, rewrites, moves between the
// mini stream and whole sectors, and destroys must see and change the right entries whether
// their sector was kept, dropped and read again, or changed since the last commit.
TEST(CompoundFile, MiniFatLargerThanItsCacheReadsAndChangesCorrectly) {
    auto disk = std::make_shared<MemDisk>();
    auto cf = CreateOn(disk);
    std::mt19937 rng(11);
    std::map<std::string, std::string> model;
    for (int i = 0; i < 800; ++i) {
        const std::string name = "Blob_Xml_" + std::to_string(i);
        const std::string data = RandomBytes(rng, 3500 + rng() % 500);
        const EntryId id = cf->CreateElement(CompoundFile::kRoot, name, EntryType::Stream);
        ASSERT_TRUE(cf->WriteStream(id, 0, data.data(), data.size()));
        model["/" + name] = data;
    }
    ASSERT_TRUE(cf->Commit());
    const size_t miniSectors = cf->Dir()[CompoundFile::kRoot].size / kMiniSectorSize;
    ASSERT_GT(miniSectors, MiniFat::kCachedBlocks * 128) << "the mini FAT fits the cache";
    cf.reset();
    cf = OpenOn(disk);
    for (int step = 0; step < 1500; ++step) {
        const std::string name = "Blob_Xml_" + std::to_string(rng() % 900);
        const std::string path = "/" + name;
        const EntryId id = cf->Find(CompoundFile::kRoot, name);
        const int op = static_cast<int>(rng() % 10);
        if (op < 4 && id != kNoEntry) {
            std::string data(cf->StreamSize(id), '\0');
            ASSERT_EQ(cf->ReadStream(id, 0, data.data(), data.size()), static_cast<int64_t>(data.size()));
            ASSERT_EQ(data, model.at(path)) << name;
        } else if (op < 8) {
            // Mostly small, sometimes past the cutoff into whole sectors.
            const std::string data = RandomBytes(rng, rng() % 8 == 0 ? 5000 : rng() % 4000);
            const EntryId target = cf->CreateElement(CompoundFile::kRoot, name, EntryType::Stream);
            ASSERT_TRUE(cf->WriteStream(target, 0, data.data(), data.size())) << cf->Error();
            model[path] = data;
        } else if (op < 9 && id != kNoEntry) {
            ASSERT_TRUE(cf->DestroyElement(CompoundFile::kRoot, name));
            model.erase(path);
        } else {
            ASSERT_TRUE(cf->Commit()) << cf->Error();
        }
    }
    EXPECT_EQ(Snapshot(*cf), model);
    ASSERT_TRUE(cf->Commit());
    cf.reset();
    cf = OpenOn(disk);
    EXPECT_EQ(Snapshot(*cf), model);
}

// Class ids, state bits and times of another writer's entries go back to the file as they
// were when the sector holding them is rewritten; names of the longest length survive too.
TEST(CompoundFile, EntryFieldsThisEngineDoesNotUseAreKept) {
    auto disk = std::make_shared<MemDisk>();
    auto cf = CreateOn(disk);
    const std::string longName(kMaxNameChars, 'n');
    const EntryId storage = cf->CreateElement(CompoundFile::kRoot, "Other", EntryType::Storage);
    const EntryId stream = cf->CreateElement(CompoundFile::kRoot, longName, EntryType::Stream);
    ASSERT_TRUE(cf->WriteStream(stream, 0, "abc", 3));
    ASSERT_TRUE(cf->Commit());
    cf.reset();

    std::string& image = disk->current;
    const uint64_t dirAt = (uint64_t(LoadLE32(&image[0x30])) + 1) * 512;
    std::map<EntryId, std::string> planted;
    for (const EntryId id : {storage, stream}) {
        std::string fields(0x74 - 0x50, '\0');
        for (size_t i = 0; i < fields.size(); ++i) fields[i] = static_cast<char>(id * 31 + i + 1);
        image.replace(dirAt + id * kEntrySize + 0x50, fields.size(), fields);
        planted[id] = fields;
    }
    disk->durable = image;

    cf = OpenOn(disk);
    EXPECT_EQ(cf->Find(CompoundFile::kRoot, longName), stream);
    // A change to an entry of the same sector, so the sector is written again.
    ASSERT_TRUE(cf->WriteStream(stream, 0, "abcdef", 6));
    ASSERT_TRUE(cf->CreateElement(storage, "inner", EntryType::Stream) != kNoEntry);
    ASSERT_TRUE(cf->Commit());
    cf.reset();
    cf = OpenOn(disk);
    const uint64_t newDirAt = (uint64_t(LoadLE32(&disk->current[0x30])) + 1) * 512;
    EXPECT_NE(newDirAt, dirAt) << "the directory sector was not rewritten";
    for (const auto& [id, fields] : planted)
        EXPECT_EQ(disk->current.substr(newDirAt + id * kEntrySize + 0x50, fields.size()), fields) << id;
    EXPECT_EQ(Snapshot(*cf).at("/" + longName), "abcdef");
}

TEST(CompoundFile, SecondOpenerIsRefusedWhileTheFileIsOpen) {
    const std::string path = testing::TempDir() + "/exclusive.stg";
    std::string error;
    auto first = CompoundFile::Create(path, &error);
    ASSERT_TRUE(first) << error;

    EXPECT_FALSE(CompoundFile::Open(path, &error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_FALSE(CompoundFile::Create(path, &error));  // never clobbers a file in use

    const pid_t child = fork();
    if (child == 0) {
        std::string childError;
        _exit(CompoundFile::Open(path, &childError) ? 0 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);

    first.reset();
    EXPECT_TRUE(CompoundFile::Open(path, &error)) << error;
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace ph::cfb
