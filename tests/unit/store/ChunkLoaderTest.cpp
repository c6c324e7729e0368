// The helper thread that reads chunks ahead of a walk: what it delivers is what the file holds,
// and a read taken back or dropped never touches its buffer. Runs under ThreadSanitizer too,
// which checks that the owner and the helper never use a buffer at the same time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "store/cfb/ChunkLoader.h"

namespace ph::cfb {
namespace {

constexpr size_t kPiece = 64 * 1024;

// A file of `bytes` bytes whose pieces all differ.
class PatternFile {
public:
    explicit PatternFile(size_t bytes) {
        m_content.resize(bytes);
        for (size_t i = 0; i < bytes; ++i)
            m_content[i] = static_cast<char>((i * 131 + i / kPiece) % 251);
        m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(m_fd, 0);
        EXPECT_EQ(::write(m_fd, m_content.data(), m_content.size()),
                  static_cast<ssize_t>(m_content.size()));
    }
    ~PatternFile() {
        ::close(m_fd);
        std::filesystem::remove(m_path);
    }
    int Fd() const { return m_fd; }
    // What a read of `size` bytes at `offset` must deliver.
    std::string Expected(uint64_t offset, size_t size) const {
        return offset < m_content.size() ? m_content.substr(offset, size) : std::string();
    }

private:
    std::string m_path = testing::TempDir() + "/chunkloader-" + std::to_string(getpid()) + ".bin";
    std::string m_content;
    int m_fd = -1;
};

// The helper may hold its queue when the owner wants it (for as long as the system leaves it
// waiting to run); the owner tries again.
bool QueueSurely(ChunkLoader& loader, unsigned ticket, uint64_t offset, char* buffer, size_t size) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!loader.Queue(ticket, offset, buffer, size)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

// Waits for as long as it takes: the helper runs at the lowest priority.
int64_t Collect(const ChunkLoader& loader, unsigned ticket) {
    while (!loader.AwaitBriefly(ticket))
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    return loader.Result(ticket);
}

TEST(ChunkLoader, ReadsDeliverWhatTheFileHoldsUpToItsEnd) {
    const PatternFile file(5 * kPiece + 1000);
    struct Case {
        const char* name;
        uint64_t offset;
        size_t size;
    } cases[] = {
        {"first piece", 0, kPiece},
        {"a piece not on a piece boundary", 3 * kPiece + 17, kPiece},
        {"runs past the end", 5 * kPiece, kPiece},
        {"starts at the end", 5 * kPiece + 1000, kPiece},
        {"starts beyond the end", 9 * kPiece, kPiece},
        {"a few bytes", 2 * kPiece - 3, 7},
    };
    const size_t count = std::size(cases);
    std::vector<std::string> buffers(count, std::string(kPiece, '\xEE'));
    ChunkLoader loader(file.Fd());
    for (unsigned t = 0; t < count; ++t)
        ASSERT_TRUE(QueueSurely(loader, t, cases[t].offset, buffers[t].data(), cases[t].size));
    loader.Start();
    // Collected in the opposite order: each ticket has its own result.
    for (unsigned t = count; t-- > 0;) {
        SCOPED_TRACE(cases[t].name);
        const std::string expected = file.Expected(cases[t].offset, cases[t].size);
        ASSERT_EQ(Collect(loader, t), static_cast<int64_t>(expected.size()));
        EXPECT_TRUE(buffers[t].compare(0, expected.size(), expected) == 0);
        EXPECT_EQ(buffers[t].find_first_not_of('\xEE', expected.size()), std::string::npos);
    }
}

TEST(ChunkLoader, ReadsTakenBackLeaveTheirBuffersAlone) {
    constexpr unsigned kQueued = 40;
    const PatternFile file(kQueued * kPiece);
    // Declared before the loader, so they outlive its helper.
    std::vector<std::string> buffers(ChunkLoader::kMaxTickets, std::string(kPiece, '\xEE'));
    const std::string untouched(kPiece, '\xEE');
    {
        ChunkLoader loader(file.Fd());
        for (unsigned t = 0; t < kQueued; ++t)
            ASSERT_TRUE(QueueSurely(loader, t, t * kPiece, buffers[t].data(), kPiece));
        loader.Start();
        // Whether a read has started by now is up to the scheduler; either way the outcome
        // must be a whole read or an untouched buffer.
        std::vector<bool> withdrawn(kQueued, false);
        for (unsigned t = kQueued / 2; t < kQueued; t += 2)
            withdrawn[t] = loader.Withdraw(t) == ChunkLoader::Withdrawal::Withdrawn;
        for (unsigned t = 0; t < kQueued; ++t) {
            if (withdrawn[t]) continue;
            SCOPED_TRACE(t);
            ASSERT_EQ(Collect(loader, t), static_cast<int64_t>(kPiece));
            EXPECT_TRUE(buffers[t] == file.Expected(t * kPiece, kPiece));
        }
        // Every read that was not taken back is done: the others never will be.
        for (unsigned t = 0; t < kQueued; ++t) {
            if (!withdrawn[t]) continue;
            SCOPED_TRACE(t);
            EXPECT_FALSE(loader.IsDone(t));
            EXPECT_TRUE(buffers[t] == untouched);
            buffers[t].assign(kPiece, 'x');  // the owner's again, at once
        }
        // Tickets taken back are free again, and the helper still works.
        const unsigned again = kQueued - 2;
        ASSERT_TRUE(QueueSurely(loader, again, 0, buffers[again].data(), 100));
        loader.Start();
        EXPECT_EQ(Collect(loader, again), 100);
        EXPECT_TRUE(buffers[again].compare(0, 100, file.Expected(0, 100)) == 0);
        // Going away with reads still queued stops the helper before the buffers go.
        for (unsigned t = 0; t < kQueued; ++t)
            ASSERT_TRUE(QueueSurely(loader, t, t * kPiece, buffers[t].data(), kPiece));
        loader.Start();
    }
}

}  // namespace
}  // namespace ph::cfb
