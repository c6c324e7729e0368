// Hostile and damaged compound files. Whatever the bytes, Open either fails with a reason or
// gives a file whose damage stays inside the streams it touches: nothing crashes, nothing
// loops, nothing allocates in proportion to a count the file merely claims, and a damaged
// stream can neither be read, written nor freed into someone else's sectors.
#include "HostileImage.h"

namespace ph::cfb {
namespace {

using namespace hostile;

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

}  // namespace
}  // namespace ph::cfb
