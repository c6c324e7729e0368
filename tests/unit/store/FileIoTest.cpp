// The file under the compound-file engine keeps recently read chunks in memory, and reads the
// chunks a walk announces ahead of it on a helper thread: every read must still see exactly
// what the file holds, whatever writes, cuts and extensions came since a chunk was read, or
// while it was being read.
#include "store/cfb/FileIo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>

namespace ph::cfb {
namespace {

constexpr size_t kChunk = ChunkCache::kChunkSize;
constexpr uint64_t kWalked = 40 * kChunk + 123;  // the bytes each walk reads through
constexpr uint64_t kMaxSize = 48 * kChunk;        // changes stay below this

struct TempPath {
    std::string path = testing::TempDir() + "/fileio-" + std::to_string(getpid()) + ".bin";
    ~TempPath() { std::filesystem::remove(path); }
};

// The file and what it must hold, changed together.
struct Subject {
    std::unique_ptr<PosixFile> file;
    std::string model;

    void Write(uint64_t offset, const std::string& data) {
        if (offset + data.size() > kMaxSize) return;
        ASSERT_TRUE(file->WriteAt(offset, data.data(), data.size()));
        if (model.size() < offset + data.size()) model.resize(offset + data.size(), '\0');
        model.replace(offset, data.size(), data);
    }
    void Cut(uint64_t size) {
        ASSERT_TRUE(file->Truncate(size));
        model.resize(size, '\0');
    }
    void Check(uint64_t offset, size_t size) {
        std::string got(size, '\0');
        const int64_t n = file->ReadAt(offset, got.data(), size);
        const std::string expected = offset < model.size() ? model.substr(offset, size) : std::string();
        ASSERT_EQ(n, static_cast<int64_t>(expected.size())) << "at " << offset;
        got.resize(static_cast<size_t>(n));
        ASSERT_TRUE(got == expected) << "at " << offset << " size " << size;
    }
};

std::string Pattern(std::mt19937& rng, size_t size) {
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

TEST(FileIo, CachedReadsSeeEveryWriteCutAndExtension) {
    struct Case {
        const char* name;
        // Runs at each step of a forward walk, the read position given.
        std::function<void(Subject&, std::mt19937&, uint64_t)> during;
    } cases[] = {
        {"plain walk", [](Subject&, std::mt19937&, uint64_t) {}},
        {"writes just ahead of the walk",
         [](Subject& s, std::mt19937& rng, uint64_t at) {
             s.Write(at + kChunk + rng() % (3 * kChunk), Pattern(rng, 1 + rng() % 5000));
         }},
        {"writes across chunk edges behind and ahead",
         [](Subject& s, std::mt19937& rng, uint64_t at) {
             const uint64_t edge = (at / kChunk + rng() % 6) * kChunk;
             s.Write(edge > 100 ? edge - 100 : 0, Pattern(rng, 200));
         }},
        // The file ends inside a cached chunk, then grows past it: the chunk must take in
        // the zeros between its old end and the new bytes.
        {"cuts ahead of the walk, then writes past the new end",
         [](Subject& s, std::mt19937& rng, uint64_t at) {
             if (rng() % 8) return;
             s.Cut(at + kChunk + rng() % (2 * kChunk));
             s.Check(s.model.size() > 10 ? s.model.size() - 10 : 0, 10);
             s.Write(s.model.size() + rng() % (2 * kChunk), Pattern(rng, 1 + rng() % kChunk));
         }},
        {"cuts and extends with zeros",
         [](Subject& s, std::mt19937& rng, uint64_t at) {
             if (rng() % 8) return;
             s.Cut(at + rng() % (2 * kChunk));
             s.Check(s.model.size() > 10 ? s.model.size() - 10 : 0, 10);
             s.Cut(s.model.size() + rng() % (3 * kChunk));
         }},
        {"reads far from the walk in between",
         [](Subject& s, std::mt19937& rng, uint64_t) { s.Check(rng() % s.model.size(), 1 + rng() % 3000); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempPath temp;
        std::string error;
        Subject s{PosixFile::Open(temp.path, true, &error), {}};
        ASSERT_TRUE(s.file) << error;
        std::mt19937 rng(17);
        s.Write(0, Pattern(rng, kWalked));
        for (uint64_t at = 0; at < kWalked; at += 2128) {
            // The chunks ahead are on their way when the changes below land on them.
            s.file->ReadSoon(at, 4 * kChunk);
            s.Check(at, 2128);
            if (::testing::Test::HasFatalFailure()) return;
            c.during(s, rng, at);
        }
        // A second walk over the same bytes, from a cache full of changed chunks.
        for (uint64_t at = 0; at < kWalked; at += 3000) s.Check(at, 3000);
    }
}

}  // namespace
}  // namespace ph::cfb
