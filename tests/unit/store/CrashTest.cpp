// Crash tests of the container: a transaction is cut off at every write and every sync, and
// the file found afterwards must open and hold either the state before the transaction or
// the state after it.
#include <gtest/gtest.h>

#include <random>

#include "store/cfb/CompoundFile.h"
#include "support/CfbSnapshot.h"
#include "support/MemFile.h"

namespace ph::cfb {
namespace {

using test::MemDisk;
using test::MemFile;
using Flat = std::map<std::string, std::string>;

std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

void Put(CompoundFile& cf, EntryId storage, const std::string& name, const std::string& data) {
    const EntryId id = cf.CreateElement(storage, name, EntryType::Stream);
    if (id != kNoEntry) cf.WriteStream(id, 0, data.data(), data.size());
}

// A file with small and large streams, a nested storage, and enough sectors for a
// multi-sector FAT.
std::string BaseImage() {
    auto disk = std::make_shared<MemDisk>();
    std::string error;
    auto cf = CompoundFile::Create(std::make_unique<MemFile>(disk), &error);
    Put(*cf, CompoundFile::kRoot, "Big", Pattern(300000, 1));
    Put(*cf, CompoundFile::kRoot, "Grow", Pattern(1000, 2));
    const EntryId keep = cf->CreateElement(CompoundFile::kRoot, "Keep", EntryType::Storage);
    for (int i = 0; i < 40; ++i) Put(*cf, keep, "Old" + std::to_string(i), Pattern(100 + 150 * i, 3 + i));
    cf->Commit();
    cf.reset();
    return disk->durable;
}

// One transaction touching every kind of structure: new storage and streams (mini and
// regular), an overwrite in a large stream, growth across the mini cutoff, removals.
void Transaction(CompoundFile& cf, int variant) {
    const EntryId t = cf.CreateElement(CompoundFile::kRoot, "T" + std::to_string(variant), EntryType::Storage);
    for (int i = 0; i < 30; ++i) Put(cf, t, "S" + std::to_string(i), Pattern(50 + 311 * i, 100 + variant + i));
    const EntryId big = cf.Find(CompoundFile::kRoot, "Big");
    const std::string patch = Pattern(7000, 200 + variant);
    if (big != kNoEntry) cf.WriteStream(big, 123456, patch.data(), patch.size());
    const EntryId grow = cf.Find(CompoundFile::kRoot, "Grow");
    if (grow != kNoEntry) cf.SetStreamSize(grow, 5000 + variant * 100);
    const EntryId keep = cf.Find(CompoundFile::kRoot, "Keep");
    for (int i = variant; i < 40; i += 3) cf.DestroyElement(keep, "Old" + std::to_string(i));
    cf.Commit();
}

Flat SnapshotOf(const std::string& image, std::string* error) {
    auto cf = CompoundFile::Open(std::make_unique<MemFile>(std::make_shared<MemDisk>(image)), error);
    return cf ? test::Snapshot(*cf) : Flat{{"<unreadable>", *error}};
}

struct Outcome {
    Flat before, after;
    int writes = 0, syncs = 0;
};

// Runs the transactions in order on `image`; the last one is the one measured.
Outcome DryRun(const std::string& image, const std::vector<int>& variants) {
    auto disk = std::make_shared<MemDisk>(image);
    std::string error;
    auto cf = CompoundFile::Open(std::make_unique<MemFile>(disk), &error);
    for (size_t i = 0; i + 1 < variants.size(); ++i) Transaction(*cf, variants[i]);
    Outcome out;
    out.before = test::Snapshot(*cf);
    const int w = disk->writes, s = disk->syncs;
    Transaction(*cf, variants.back());
    out.after = test::Snapshot(*cf);
    out.writes = disk->writes - w;
    out.syncs = disk->syncs - s;
    return out;
}

void CheckCutOffs(const std::vector<int>& variants, bool cutAtSyncs, int stride = 1) {
    const std::string base = BaseImage();
    const Outcome expected = DryRun(base, variants);
    ASSERT_NE(expected.before, expected.after);
    ASSERT_GT(expected.writes, 20);
    int sawBefore = 0, sawAfter = 0;
    const int cuts = cutAtSyncs ? expected.syncs : expected.writes;
    for (int n = 0; n < cuts; n += stride) {
        SCOPED_TRACE(testing::Message() << (cutAtSyncs ? "sync " : "write ") << n);
        auto disk = std::make_shared<MemDisk>(base);
        std::string error;
        auto cf = CompoundFile::Open(std::make_unique<MemFile>(disk), &error);
        ASSERT_TRUE(cf) << error;
        for (size_t i = 0; i + 1 < variants.size(); ++i) Transaction(*cf, variants[i]);
        (cutAtSyncs ? disk->crashAtSync : disk->crashAtWrite) = (cutAtSyncs ? disk->syncs : disk->writes) + n;
        Transaction(*cf, variants.back());
        EXPECT_TRUE(cf->Failed());
        cf.reset();
        // Killed process: the kernel still has every write that was made.
        // Power loss: only what was synced, plus any subset of the rest.
        std::vector<std::string> images = {disk->current};
        // Few cuts fall on syncs, so each gets more of the possible power-loss images.
        for (int seed = 0; seed < (cutAtSyncs ? 16 : 2); ++seed) images.push_back(disk->CrashImage(n * 100 + seed));
        for (const std::string& image : images) {
            const Flat found = SnapshotOf(image, &error);
            if (found == expected.before) {
                ++sawBefore;
            } else if (found == expected.after) {
                ++sawAfter;
            } else {
                ADD_FAILURE() << "the file holds neither state: " << error;
                return;
            }
        }
    }
    EXPECT_GT(sawBefore, 0);
    if (cutAtSyncs) {
        EXPECT_GT(sawAfter, 0);  // cut after the header went out
    }
}

TEST(CrashSafety, CutAtEveryWriteLeavesOldOrNewState) { CheckCutOffs({0}, false); }
TEST(CrashSafety, CutAtEverySyncLeavesOldOrNewState) { CheckCutOffs({0}, true); }
TEST(CrashSafety, CutInLaterTransactionKeepsEarlierCommits) { CheckCutOffs({0, 1, 2}, false, 3); }

TEST(CrashSafety, FailedWriteRefusesFurtherChangesAndKeepsTheLastCommit) {
    const std::string base = BaseImage();
    auto disk = std::make_shared<MemDisk>(base);
    std::string error;
    auto cf = CompoundFile::Open(std::make_unique<MemFile>(disk), &error);
    const Flat before = test::Snapshot(*cf);
    disk->crashAtWrite = disk->writes + 3;
    Transaction(*cf, 0);
    disk->crashed = false;  // the disk recovers; the file object must not carry on regardless
    EXPECT_TRUE(cf->Failed());
    EXPECT_FALSE(cf->Commit());
    EXPECT_EQ(cf->CreateElement(CompoundFile::kRoot, "Late", EntryType::Stream), kNoEntry);
    cf.reset();
    EXPECT_EQ(SnapshotOf(disk->current, &error), before);
}

}  // namespace
}  // namespace ph::cfb
