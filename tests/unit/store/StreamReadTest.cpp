// The read path under the store's streams: scattered reads in batches, filtered reads taken
// straight out of the file's chunks, and the sectors a walk announces ahead of itself. Runs
// on real files, whose chunks are read ahead on a helper thread (also under
// ThreadSanitizer), and, in child processes that may not use io_uring, one pread at a time.
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "store/cfb/CompoundFile.h"
#include "store/cfb/FileIo.h"

namespace ph::cfb {
namespace {

constexpr size_t kSector = 512;

struct TempPath {
    std::string path;
    explicit TempPath(const char* what)
        : path(testing::TempDir() + "/" + what + "-" + std::to_string(getpid()) + ".bin") {}
    ~TempPath() { std::filesystem::remove(path); }
};

std::string Pattern(uint32_t seed, size_t size) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

// A file in memory that only reads, writes and cuts: every batch goes through the plain
// one-read-at-a-time path. It records the reads it serves and the reads it is told of.
class PlainFile final : public IFile {
public:
    explicit PlainFile(std::string bytes = {}) : m_bytes(std::move(bytes)) {}
    int64_t ReadAt(uint64_t offset, void* buffer, size_t size) override {
        if (offset >= m_bytes.size()) return 0;
        const size_t n = std::min<size_t>(size, m_bytes.size() - offset);
        std::memcpy(buffer, m_bytes.data() + offset, n);
        if (recording) reads.push_back({offset, offset + n});
        return static_cast<int64_t>(n);
    }
    void ReadSoon(uint64_t offset, uint64_t size) override {
        if (recording) announced.push_back({offset, offset + size});
    }
    bool WriteAt(uint64_t offset, const void* data, size_t size) override {
        if (m_bytes.size() < offset + size) m_bytes.resize(offset + size);
        std::memcpy(m_bytes.data() + offset, data, size);
        return true;
    }
    bool Sync() override { return true; }
    bool Truncate(uint64_t size) override {
        m_bytes.resize(size);
        return true;
    }
    uint64_t Size() const override { return m_bytes.size(); }

    struct Range {
        uint64_t begin, end;
    };
    bool recording = false;
    std::vector<Range> reads, announced;

private:
    std::string m_bytes;
};

TEST(ScatteredRead, EveryPieceComesFromWhereItLies) {
    const std::string content = Pattern(3, 300 * 1024 + 100);
    TempPath temp("scattered");
    std::string error;
    std::unique_ptr<IFile> onDisk = PosixFile::Open(temp.path, true, &error);
    ASSERT_TRUE(onDisk) << error;
    ASSERT_TRUE(onDisk->WriteAt(0, content.data(), content.size()));
    PlainFile inMemory(content);
    auto many = [] {
        std::vector<uint64_t> out;  // more pieces than one batch of the ring holds
        for (uint64_t i = 0; i < 700; ++i) out.push_back((i * 7919) % 590 * kSector);
        return out;
    };
    struct Case {
        const char* name;
        std::vector<uint64_t> offsets;
    } cases[] = {
        {"far apart, in file order", {0, 40 * kSector, 300 * kSector}},
        {"far apart, backwards", {500 * kSector, 100 * kSector, 2 * kSector}},
        {"neighbours in order", {10 * kSector, 11 * kSector, 12 * kSector}},
        {"neighbours in the opposite order", {12 * kSector, 11 * kSector, 10 * kSector}},
        {"small gaps between them", {20 * kSector, 23 * kSector, 21 * kSector}},
        {"the same piece twice", {30 * kSector, 30 * kSector}},
        {"the last piece cut by the end, then beyond it",
         {600 * kSector, 601 * kSector, 700 * kSector}},
        {"more than a batch, mixed up", many()},
        {"none", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string expected;
        for (uint64_t offset : c.offsets) {
            std::string piece =
                offset < content.size() ? content.substr(offset, kSector) : std::string();
            piece.resize(kSector, '\0');
            expected += piece;
        }
        for (IFile* file : {onDisk.get(), static_cast<IFile*>(&inMemory)}) {
            std::string out(c.offsets.size() * kSector, '\x55');
            ASSERT_TRUE(ReadScattered(*file, c.offsets, kSector, out.data()));
            EXPECT_TRUE(out == expected) << (file == onDisk.get() ? "on disk" : "in memory");
        }
    }
}

// Adds one to every byte and notes where each piece starts.
class CountingFilter final : public ReadFilter {
public:
    void Apply(const unsigned char* from, unsigned char* to, size_t size) override {
        for (size_t i = 0; i < size; ++i) to[i] = static_cast<unsigned char>(from[i] + 1);
        starts.push_back(from == to ? 0 : 1);
        sizes.push_back(size);
    }
    std::vector<int> starts;
    std::vector<size_t> sizes;
};

// A store-like file: one large stream whose sectors alternate with another's, and small
// streams in the mini stream. Returns the contents by name.
std::vector<std::pair<std::string, std::string>> FillFile(CompoundFile& cf) {
    std::vector<std::pair<std::string, std::string>> streams = {{"Large", Pattern(1, 300 * 1024)},
                                                                {"Other", Pattern(2, 200 * 1024)}};
    for (int i = 0; i < 40; ++i)
        streams.push_back({"Small" + std::to_string(i), Pattern(10 + i, 100 + i * 90)});
    std::vector<EntryId> ids;
    for (const auto& [name, data] : streams)
        ids.push_back(cf.CreateElement(CompoundFile::kRoot, name, EntryType::Stream));
    // Written a little of each at a time, so the chains interleave.
    for (size_t at = 0; at < 300 * 1024; at += 3000) {
        for (size_t k = 0; k < streams.size(); ++k) {
            const std::string& data = streams[k].second;
            if (at < data.size())
                cf.WriteStream(ids[k], at, data.data() + at,
                               std::min<size_t>(3000, data.size() - at));
        }
    }
    return streams;
}

TEST(StreamRead, FilteredReadsMatchPlainReadsWhereverTheBytesCome) {
    TempPath temp("filtered");
    std::vector<std::pair<std::string, std::string>> streams;
    {
        std::string error;
        auto cf = CompoundFile::Create(temp.path, &error);
        ASSERT_TRUE(cf) << error;
        streams = FillFile(*cf);
        ASSERT_TRUE(cf->Commit());
    }
    {
        std::string error;
        auto cf = CompoundFile::Open(temp.path, &error);
        ASSERT_TRUE(cf) << error;
        for (const auto& [name, data] : streams) {
            SCOPED_TRACE(name);
            const EntryId id = cf->Find(CompoundFile::kRoot, name);
            ASSERT_NE(id, kNoEntry);
            // Forward in steps, then from the start in one go, as walks and ReadAll do.
            std::vector<std::pair<uint64_t, size_t>> reads;
            for (uint64_t at = 0; at < data.size(); at += 2128) reads.push_back({at, 2128});
            reads.push_back({0, data.size()});
            for (const auto& [offset, size] : reads) {
                std::string plain(size, '\0'), filtered(size, '\0');
                const int64_t n = cf->ReadStream(id, offset, plain.data(), size);
                CountingFilter filter;
                ASSERT_EQ(cf->ReadStream(id, offset, filtered.data(), size, &filter), n)
                    << "at " << offset;
                for (int64_t i = 0; i < n; ++i) plain[i] = static_cast<char>(plain[i] + 1);
                ASSERT_TRUE(plain.compare(0, n, filtered, 0, n) == 0) << "at " << offset;
                // Every piece starts at the read's offset or 64 bytes' multiple into the stream.
                uint64_t pieceStart = offset;
                for (size_t size : filter.sizes) {
                    EXPECT_TRUE(pieceStart == offset || pieceStart % 64 == 0) << pieceStart;
                    pieceStart += size;
                }
                EXPECT_EQ(pieceStart, offset + n);
            }
        }
    }
}

bool Covered(const std::vector<PlainFile::Range>& ranges, uint64_t begin, uint64_t end) {
    std::vector<PlainFile::Range> sorted = ranges;
    std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.begin < b.begin; });
    for (const auto& r : sorted) {
        if (r.begin > begin) break;
        begin = std::max(begin, r.end);
    }
    return begin >= end;
}

TEST(StreamRead, AWalkAnnouncesTheSectorsAheadOfItAndNothingElse) {
    constexpr uint64_t kLength = 300 * 1024;  // the large stream's
    constexpr size_t kStep = 2128;
    struct Case {
        const char* name;
        std::vector<uint64_t> offsets;  // reads of kStep bytes each
        bool announces;
    } cases[] = {
        {"forward, record after record", {}, true},
        {"forward, skipping a few records now and then", {}, true},
        {"backwards", {}, false},
        {"jumping about", {290000, 150000, 10000, 9000}, false},
    };
    for (uint64_t at = 0; at < kLength; at += kStep) {
        cases[0].offsets.push_back(at);
        if (at / kStep % 7 != 3) cases[1].offsets.push_back(at);
        cases[2].offsets.insert(cases[2].offsets.begin(), at);
    }
    // Every file made here is laid out alike.
    auto makeFile = [](PlainFile*& file) {
        auto owned = std::make_unique<PlainFile>();
        file = owned.get();
        std::string error;
        auto cf = CompoundFile::Create(std::move(owned), &error);
        EXPECT_TRUE(cf) << error;
        if (cf) {
            FillFile(*cf);
            EXPECT_TRUE(cf->Commit());
        }
        return cf;
    };
    // Where the large stream's bytes lie, as a read of all of it at once finds them.
    std::vector<PlainFile::Range> largeStream;
    {
        PlainFile* file = nullptr;
        auto cf = makeFile(file);
        ASSERT_TRUE(cf);
        std::string whole(kLength, '\0');
        file->recording = true;
        ASSERT_EQ(cf->ReadStream(cf->Find(CompoundFile::kRoot, "Large"), 0, whole.data(), kLength),
                  static_cast<int64_t>(kLength));
        largeStream = file->reads;
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlainFile* filePointer = nullptr;
        auto cf = makeFile(filePointer);
        ASSERT_TRUE(cf);
        PlainFile& file = *filePointer;
        const EntryId large = cf->Find(CompoundFile::kRoot, "Large");
        ASSERT_EQ(cf->StreamSize(large), kLength);
        std::string buffer(kStep, '\0');
        std::vector<PlainFile::Range> unannounced;
        for (size_t i = 0; i < c.offsets.size(); ++i) {
            const size_t announcedBefore = file.announced.size();
            const size_t readsBefore = file.reads.size();
            file.recording = true;
            const auto expected =
                static_cast<int64_t>(std::min<uint64_t>(kStep, kLength - c.offsets[i]));
            ASSERT_EQ(cf->ReadStream(large, c.offsets[i], buffer.data(), buffer.size()), expected);
            file.recording = false;
            if (i == 0) continue;  // nothing comes before the first read
            const std::vector<PlainFile::Range> earlier(file.announced.begin(),
                                                        file.announced.begin() + announcedBefore);
            for (size_t r = readsBefore; r < file.reads.size(); ++r)
                if (!Covered(earlier, file.reads[r].begin, file.reads[r].end))
                    unannounced.push_back(file.reads[r]);
        }
        if (!c.announces) {
            EXPECT_TRUE(file.announced.empty());
            continue;
        }
        // Each read was announced by the reads before it...
        EXPECT_TRUE(unannounced.empty())
            << unannounced.size() << " reads came unannounced, the first at "
            << unannounced.front().begin << "-" << unannounced.front().end;
        // ... and what was announced is the stream's own sectors, nothing of the others.
        EXPECT_FALSE(file.announced.empty());
        for (const auto& a : file.announced)
            EXPECT_TRUE(Covered(largeStream, a.begin, a.end)) << a.begin;
    }
}

// ---------------------------------------------------------------------------------------
// Without io_uring. Container runtimes commonly refuse it through seccomp and some kernels are
// built without it; the store must then read everything the ordinary way.

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t kAuditArch = 0;  // no filter below for this architecture
#endif

// How a child process ends.
enum ChildResult { kAllRead = 0, kWrongRead = 1, kNoFilter = 77 };

struct Refusal {
    const char* name;
    std::vector<long> calls;
    int error;
};

// Makes `refusal.calls` fail with its error in this process from now on (a filter cannot be
// taken off again: only a child may do this). False when the kernel will not take a filter.
bool InstallRefusal(const Refusal& refusal) {
    if (kAuditArch == 0) return false;
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        // Call numbers mean other calls under another architecture's ABI.
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    const uint32_t refuse =
        SECCOMP_RET_ERRNO | (static_cast<uint32_t>(refusal.error) & SECCOMP_RET_DATA);
    for (long call : refusal.calls) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call), 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, refuse));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

// Without the filter these arguments fail with another error (a bad descriptor or address),
// so the expected one can only come from the filter.
bool FilterHolds(const Refusal& refusal) {
    for (long call : refusal.calls) {
        errno = 0;
        if (::syscall(call, -1, 0, 0, 0, nullptr, 0) != -1 || errno != refusal.error) return false;
    }
    return true;
}

int Complain(const std::string& what) {
    std::fprintf(stderr, "child: %s\n", what.c_str());
    return kWrongRead;
}

// Scattered pieces of the file, more than a ring holds at once, with one cut short by the end
// of the file and one wholly beyond it: each must come back with its count, and a short one
// with the rest of its buffer untouched.
int CheckBatch(IFile& file, const std::string& bytes) {
    const uint64_t size = bytes.size();
    std::vector<std::pair<uint64_t, size_t>> wanted;
    for (uint64_t i = 0; i < 300; ++i) wanted.push_back({i * 7919 * 61 % size, 1 + i * 37 % 3000});
    wanted.push_back({size - 100, 400});
    wanted.push_back({size + 512, 512});
    std::vector<std::string> buffers;
    std::vector<ReadPiece> pieces;
    for (const auto& [offset, length] : wanted) buffers.emplace_back(length, '\x55');
    for (size_t i = 0; i < wanted.size(); ++i)
        pieces.push_back({wanted[i].first, buffers[i].data(), wanted[i].second});
    std::vector<int64_t> got;
    if (!file.ReadBatch(pieces, got)) return Complain("the batch failed");
    if (got.size() != wanted.size()) return Complain("a count for every piece was not given");
    for (size_t i = 0; i < wanted.size(); ++i) {
        const auto [offset, length] = wanted[i];
        const std::string there = offset < size ? bytes.substr(offset, length) : std::string();
        const std::string& buffer = buffers[i];
        const std::string where = "piece " + std::to_string(i) + " at " + std::to_string(offset);
        if (got[i] != static_cast<int64_t>(there.size())) return Complain(where + ": wrong count");
        if (buffer.compare(0, there.size(), there) != 0) return Complain(where + ": wrong bytes");
        if (buffer.find_first_not_of('\x55', there.size()) != std::string::npos)
            return Complain(where + ": written past what was read");
    }
    return kAllRead;
}

using Streams = std::vector<std::pair<std::string, std::string>>;

// Runs in the child: refuses io_uring as `refusal` says, then reads the file as a batch, and
// opens it (its FAT and directory are read in batches) and reads every stream.
int ReadWithoutRing(const Refusal& refusal, const std::string& path, const std::string& bytes,
                    const Streams& streams) {
    if (!InstallRefusal(refusal)) return kNoFilter;
    if (!FilterHolds(refusal)) return Complain("the filter does not refuse io_uring");
    std::string error;
    {
        std::unique_ptr<PosixFile> file = PosixFile::Open(path, false, &error);
        if (!file) return Complain(error);
        if (const int result = CheckBatch(*file, bytes); result != kAllRead) return result;
    }
    auto cf = CompoundFile::Open(path, &error);
    if (!cf) return Complain("cannot open the file: " + error);
    for (const auto& [name, data] : streams) {
        const EntryId id = cf->Find(CompoundFile::kRoot, name);
        if (id == kNoEntry) return Complain("stream " + name + " is missing");
        std::string read(data.size(), '\0');
        const int64_t n = cf->ReadStream(id, 0, read.data(), read.size());
        if (n != static_cast<int64_t>(data.size()) || read != data)
            return Complain("stream " + name + " reads wrong");
    }
    return kAllRead;
}

TEST(StreamRead, EverythingReadsThroughPreadWhenIoUringIsRefused) {
    TempPath temp("no-ring");
    Streams streams;
    {
        std::string error;
        auto cf = CompoundFile::Create(temp.path, &error);
        ASSERT_TRUE(cf) << error;
        streams = FillFile(*cf);
        // Past 109 FAT sectors, so the DIFAT is read too; the FAT sectors lie 64 KB apart, each
        // its own piece of the batch.
        const std::string& bulk = streams.emplace_back("Bulk", Pattern(99, 8 << 20)).second;
        const EntryId id = cf->CreateElement(CompoundFile::kRoot, "Bulk", EntryType::Stream);
        ASSERT_TRUE(cf->WriteStream(id, 0, bulk.data(), bulk.size()));
        ASSERT_TRUE(cf->Commit());
    }
    std::ifstream in(temp.path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_GT(bytes.size(), size_t(8) << 20);

    const std::vector<long> everyCall = {__NR_io_uring_setup, __NR_io_uring_enter,
                                         __NR_io_uring_register};
    const Refusal refusals[] = {
        {"a kernel without io_uring", everyCall, ENOSYS},
        {"a container that forbids it", everyCall, EPERM},
        // The ring is made but its first batch refused: every piece is read again.
        {"a ring that cannot be entered", {__NR_io_uring_enter}, EPERM},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(ReadWithoutRing(refusal, temp.path, bytes, streams));
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
        if (WEXITSTATUS(status) == kNoFilter) GTEST_SKIP() << "no seccomp filter can be installed";
        EXPECT_EQ(WEXITSTATUS(status), kAllRead) << "the child says why above";
    }
}

}  // namespace
}  // namespace ph::cfb
