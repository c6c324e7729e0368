// The store survives a real SIGKILL at any moment: one store file is worked on by a writer
// process that is killed, again and again, at random times; after every kill the file must
// open and hold every record whose commit was reported, byte for byte, and the commit that
// was in flight must have landed whole or not at all.
//
// PH_KILLTEST_SEED and PH_KILLTEST_ITERATIONS override the defaults, to replay or to soak.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "KillProtocol.h"
#include "common/Crypto.h"
#include "store/CStorageNode.h"
#include "store/StoreKey.h"

namespace {

using namespace killtest;
using Clock = std::chrono::steady_clock;

// What the file must hold, as far as the driver knows.
struct StoreModel {
    std::map<int, std::string> records;  // id -> MD5 of the deciphered Xml
    uint64_t recordsLength = 0;
    std::string recordsMd5 = ph::Md5Hex("");
};

struct Change {
    enum Kind { Put, Del, Rec } kind;
    int id = 0;
    uint64_t length = 0;
    std::string md5;
};

void Apply(StoreModel& model, const Change& change) {
    switch (change.kind) {
        case Change::Put: model.records[change.id] = change.md5; break;
        case Change::Del: model.records.erase(change.id); break;
        case Change::Rec:
            model.recordsLength = change.length;
            model.recordsMd5 = change.md5;
            break;
    }
}

bool ParseChange(const std::string& line, Change& change) {
    std::istringstream in(line);
    std::string intent, kind;
    in >> intent >> kind;
    if (intent != "INTENT") return false;
    if (kind == "PUT") {
        change.kind = Change::Put;
        in >> change.id >> change.md5;
    } else if (kind == "DEL") {
        change.kind = Change::Del;
        in >> change.id;
    } else if (kind == "REC") {
        change.kind = Change::Rec;
        in >> change.length >> change.md5;
    } else {
        return false;
    }
    return !in.fail() && (change.kind == Change::Del || change.md5.size() == 32);
}

struct WriterRun {
    std::vector<std::string> lines;
    std::string partialLine;
    std::string errors;
    int status = 0;
    bool killed = false;
};

enum class KillFrom { Start, Ready, Never };

// Starts the writer and shoots it `delay` after it started or after it said READY; with
// KillFrom::Never it runs its given number of jobs and ends by itself. Both pipes are drained
// all along so the writer never stalls on a full pipe.
WriterRun RunWriter(const std::string& store, uint64_t seed, KillFrom from,
                    std::chrono::microseconds delay, uint64_t jobs) {
    WriterRun run;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return run;
    }
    const std::string seedText = std::to_string(seed), jobsText = std::to_string(jobs);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        const char* argv[] = {PH_KILL_WRITER, store.c_str(), seedText.c_str(),
                              from == KillFrom::Never ? jobsText.c_str() : nullptr, nullptr};
        ::execv(PH_KILL_WRITER, const_cast<char* const*>(argv));
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        ADD_FAILURE() << "fork failed";
        return run;
    }

    std::optional<Clock::time_point> deadline;
    if (from == KillFrom::Start) deadline = Clock::now() + delay;
    std::string pending;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (deadline && !run.killed && Clock::now() >= *deadline) {
            ::kill(pid, SIGKILL);
            run.killed = true;
        }
        int timeout = -1;
        if (deadline && !run.killed) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
        }
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[8192];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            if (i == 1) {
                run.errors.append(buffer, static_cast<size_t>(n));
                continue;
            }
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                if (line == "READY" && from == KillFrom::Ready && !deadline)
                    deadline = Clock::now() + delay;
                run.lines.push_back(std::move(line));
            }
        }
    }
    run.partialLine = pending;
    while (::waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
    }
    return run;
}

// The store as found on disk, in the terms of the model.
struct DiskState {
    std::map<int, std::string> records;
    uint64_t recordsLength = 0;
    std::string recordsMd5;
};

// Reads every stream in the file without deciphering: a broken chain or a stream reaching
// past the file shows up here even where no record points.
void CheckNoDamagedStreams(ph::CStorageNode& storage, const std::string& path) {
    std::string name;
    std::vector<std::string> streams, storages;
    for (bool more = storage.FindFirst("*", ph::ElementKind::Stream, name); more; more = storage.FindNext(name))
        streams.push_back(name);
    for (bool more = storage.FindFirst("*", ph::ElementKind::Storage, name); more; more = storage.FindNext(name))
        storages.push_back(name);
    for (const std::string& s : streams) {
        auto stream = storage.OpenStream(s);
        ASSERT_TRUE(stream) << path << s;
        uint64_t total = 0;
        char buffer[16384];
        while (size_t n = stream->Read(buffer, sizeof buffer)) total += n;
        EXPECT_FALSE(stream->IsDamaged()) << "stream " << path << s << " is damaged";
        EXPECT_EQ(total, stream->GetLength()) << "stream " << path << s << " reads short";
    }
    for (const std::string& s : storages) {
        auto child = storage.OpenChild(s);
        ASSERT_TRUE(child) << path << s;
        CheckNoDamagedStreams(*child, path + s + "/");
    }
}

// Opens the store as the program would after a crash and reads back everything.
std::optional<DiskState> ReadStore(const std::string& store) {
    ph::CStorageNode root;
    if (!root.OpenFile(store)) {
        ADD_FAILURE() << "the store does not open after the kill: " << root.Error();
        return std::nullopt;
    }
    CheckNoDamagedStreams(root, "/");
    if (::testing::Test::HasFailure()) return std::nullopt;

    DiskState disk;
    auto table = root.OpenChild(kTable);
    if (!table) {
        ADD_FAILURE() << "the table storage is gone";
        return std::nullopt;
    }
    std::string name;
    for (bool more = table->FindFirst("*", ph::ElementKind::Storage, name); more; more = table->FindNext(name)) {
        if (name.size() != 6 || name.find_first_not_of("0123456789") != std::string::npos) {
            ADD_FAILURE() << "the table holds a stranger: " << name;
            return std::nullopt;
        }
        auto child = table->OpenChild(name);
        auto xml = child ? child->OpenStream(kXml) : nullptr;
        if (!xml) {
            ADD_FAILURE() << "record " << name << " has no Xml stream";
            return std::nullopt;
        }
        xml->EnableCipher(ph::kStoreKey);
        const std::string content = xml->ReadAll();
        if (xml->IsDamaged()) {
            ADD_FAILURE() << "record " << name << " is damaged";
            return std::nullopt;
        }
        disk.records[std::stoi(name)] = ph::Md5Hex(content);
    }
    std::string records;
    if (auto stream = root.OpenStream(kRecords)) {
        stream->SetPadding(false);
        stream->EnableCipher(ph::kStoreKey);
        records.resize(stream->GetLength());
        const size_t got = stream->ReadBlocks(records.data(), records.size());
        if (stream->IsDamaged() || got != records.size()) {
            ADD_FAILURE() << "Records reads " << got << " of " << records.size() << " bytes";
            return std::nullopt;
        }
    }
    disk.recordsLength = records.size();
    disk.recordsMd5 = ph::Md5Hex(records);
    return disk;
}

std::string Show(const std::optional<std::string>& md5) { return md5 ? *md5 : "(absent)"; }

template <class Map>
std::optional<std::string> Lookup(const Map& map, int id) {
    const auto it = map.find(id);
    return it == map.end() ? std::nullopt : std::optional<std::string>(it->second);
}

struct Verdict {
    bool ok = true;
    bool inFlightLanded = false;
    bool inFlightRolledBack = false;
    size_t recordsVerified = 0;
};

// Compares the disk with the model. What the unreported commit touched may be as before or
// as after it, but all of it the same way; everything else must be exactly as reported.
Verdict Judge(const StoreModel& committed, const std::vector<Change>& inFlight, const DiskState& disk) {
    Verdict verdict;
    StoreModel after = committed;
    std::set<int> touched;
    bool recordsTouched = false;
    for (const Change& change : inFlight) {
        Apply(after, change);
        if (change.kind == Change::Rec)
            recordsTouched = true;
        else
            touched.insert(change.id);
    }
    // Evidence is one-sided only where the two versions differ.
    auto weigh = [&verdict](bool asBefore, bool asAfter) {
        if (asBefore && !asAfter) verdict.inFlightRolledBack = true;
        if (asAfter && !asBefore) verdict.inFlightLanded = true;
    };

    std::set<int> ids;
    for (const auto& [id, md5] : committed.records) ids.insert(id);
    for (const auto& [id, md5] : after.records) ids.insert(id);
    for (const auto& [id, md5] : disk.records) ids.insert(id);
    for (int id : ids) {
        const auto before = Lookup(committed.records, id);
        const auto later = Lookup(after.records, id);
        const auto found = Lookup(disk.records, id);
        if (!touched.count(id)) {
            if (found != before) {
                ADD_FAILURE() << "record " << id << ": committed " << Show(before) << ", on disk " << Show(found);
                verdict.ok = false;
            }
        } else if (found != before && found != later) {
            ADD_FAILURE() << "record " << id << " (in flight): before " << Show(before) << ", after "
                          << Show(later) << ", on disk " << Show(found);
            verdict.ok = false;
        } else {
            weigh(found == before, found == later);
        }
        if (found) ++verdict.recordsVerified;
    }

    const bool recordsAsBefore =
        disk.recordsLength == committed.recordsLength && disk.recordsMd5 == committed.recordsMd5;
    const bool recordsAsAfter = disk.recordsLength == after.recordsLength && disk.recordsMd5 == after.recordsMd5;
    if (!recordsAsBefore && !(recordsTouched && recordsAsAfter)) {
        ADD_FAILURE() << "Records: committed " << committed.recordsLength << " bytes " << committed.recordsMd5
                      << ", in flight " << after.recordsLength << " bytes " << after.recordsMd5 << ", on disk "
                      << disk.recordsLength << " bytes " << disk.recordsMd5;
        verdict.ok = false;
    } else if (recordsTouched) {
        weigh(recordsAsBefore, recordsAsAfter);
    }
    if (verdict.inFlightLanded && verdict.inFlightRolledBack) {
        ADD_FAILURE() << "the commit in flight landed in part: " << inFlight.size() << " changes";
        verdict.ok = false;
    }
    return verdict;
}

uint64_t EnvOr(const char* name, uint64_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

class KillTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unlink(m_store.c_str());
    }

    // Feeds what one run reported into the model; returns the changes of the commit that
    // was in flight when it ended.
    std::vector<Change> Absorb(const WriterRun& run) {
        std::vector<Change> open;
        EXPECT_TRUE(run.partialLine.empty()) << "half a line in the pipe: " << run.partialLine;
        for (const std::string& line : run.lines) {
            if (line == "READY") continue;
            if (line == "DONE") {
                for (const Change& change : open) Apply(m_model, change);
                open.clear();
                ++m_commits;
                continue;
            }
            Change change;
            if (!ParseChange(line, change)) {
                ADD_FAILURE() << "unexpected line from the writer: " << line;
                break;
            }
            open.push_back(change);
        }
        return open;
    }

    void Check(const std::vector<Change>& inFlight) {
        const std::optional<DiskState> disk = ReadStore(m_store);
        if (!disk) return;
        const Verdict verdict = Judge(m_model, inFlight, *disk);
        if (!verdict.ok) return;
        // From here on the disk is the truth for what was in flight.
        if (verdict.inFlightLanded)
            for (const Change& change : inFlight) Apply(m_model, change);
        m_landed += verdict.inFlightLanded;
        m_rolledBack += verdict.inFlightRolledBack;
        m_verified += verdict.recordsVerified;
    }

    const std::string m_store = std::string(PH_KILL_STORE_DIR) + "/kill.store";
    StoreModel m_model;
    uint64_t m_commits = 0, m_verified = 0, m_landed = 0, m_rolledBack = 0;
};

TEST_F(KillTest, CommittedRecordsSurviveSigkillAtAnyMoment) {
    const uint64_t seed = EnvOr("PH_KILLTEST_SEED", 20250611);
    const uint64_t iterations = EnvOr("PH_KILLTEST_ITERATIONS", 120);
    std::mt19937_64 rng(seed);
    for (uint64_t i = 0; i < iterations && !HasFailure(); ++i) {
        SCOPED_TRACE(::testing::Message() << "iteration " << i << " of seed " << seed);
        // The first run must create the store; later runs are also shot during start-up.
        const KillFrom from = i > 0 && rng() % 6 == 0 ? KillFrom::Start : KillFrom::Ready;
        const auto delay = std::chrono::microseconds(
            from == KillFrom::Start ? rng() % 25000 : 1000 + rng() % 79000);
        const WriterRun run = RunWriter(m_store, seed + i, from, delay, 0);
        ASSERT_TRUE(run.errors.empty()) << "the writer complained:\n" << run.errors;
        ASSERT_TRUE(run.killed && WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGKILL)
            << "the writer ended by itself, status " << run.status;
        const std::vector<Change> inFlight = Absorb(run);
        ASSERT_FALSE(HasFailure());
        Check(inFlight);
    }
    ASSERT_FALSE(HasFailure());

    // A last writer, left to finish, must carry on where the killed ones stopped.
    const WriterRun run = RunWriter(m_store, seed + iterations, KillFrom::Never, {}, 60);
    ASSERT_TRUE(run.errors.empty()) << "the writer complained:\n" << run.errors;
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << "status " << run.status;
    const uint64_t commitsBefore = m_commits;
    const std::vector<Change> inFlight = Absorb(run);
    ASSERT_TRUE(inFlight.empty()) << "the writer ended with unreported work";
    ASSERT_GT(m_commits, commitsBefore);
    Check(inFlight);
    ASSERT_FALSE(HasFailure());
    EXPECT_FALSE(m_model.records.empty());
    EXPECT_GT(m_model.recordsLength, 0u);

    std::printf("kill test: %llu iterations, %llu commits, in flight at the kill %llu landed and %llu rolled "
                "back, %llu records verified (seed %llu)\n",
                (unsigned long long)iterations, (unsigned long long)m_commits, (unsigned long long)m_landed,
                (unsigned long long)m_rolledBack, (unsigned long long)m_verified, (unsigned long long)seed);
    ::unlink(m_store.c_str());
}

}  // namespace
