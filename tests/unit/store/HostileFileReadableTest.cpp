// Hostile files that open: odd but readable layouts, version 4 files, truncated files and
// random damage. Whatever opens must read, take changes, commit and reopen with them.
#include "HostileImage.h"

namespace ph::cfb {
namespace {

using namespace hostile;

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
