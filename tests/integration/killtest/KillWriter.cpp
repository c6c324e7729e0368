// The process the kill test shoots: works on a store the way the tables do, forever (or for
// a given number of jobs), and reports on standard output what it is about to change and
// when a commit has made it durable (see KillProtocol.h).
//
//   kill_writer <store file> <seed> [<jobs>]
//
// Any failure of the store goes to standard error and ends the program with status 2: the
// driver counts both as a fault, since a store that was killed must stay fully usable.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "KillProtocol.h"
#include "common/Crypto.h"
#include "common/Format.h"
#include "store/CStorageNode.h"
#include "store/StoreKey.h"

namespace {

using namespace killtest;

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "kill_writer: %s\n", why.c_str());
    // No destructors: the file object would commit whatever is half done.
    _exit(2);
}

void Emit(const std::string& line) {
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(3);
        done += static_cast<size_t>(n);
    }
}

std::string RecordName(int id) { return ph::Format("%06d", id); }

class Writer {
public:
    Writer(std::string path, uint64_t seed) : m_path(std::move(path)), m_rng(seed) {}

    void Open() {
        struct stat st {};
        const bool exists = ::stat(m_path.c_str(), &st) == 0;
        if (exists) {
            if (!m_root.OpenFile(m_path)) Die("cannot open the store: " + m_root.Error());
            m_table = m_root.OpenChild(kTable);
            if (!m_table) Die("the store has no table storage");
        } else {
            if (!m_root.CreateFile(m_path)) Die("cannot create the store: " + m_root.Error());
            m_table = m_root.CreateChild(kTable);
            if (!m_table || !m_root.Commit()) Die("cannot set up the store: " + m_root.Error());
        }
        LoadIds();
        LoadRecords();
    }

    // Single jobs commit one by one; now and then a run of jobs shares one grouped commit,
    // while every job still asks for its own commit as the tables do.
    void Run(uint64_t maxJobs) {
        uint64_t jobs = 0;
        while (maxJobs == 0 || jobs < maxJobs) {
            if (m_rng() % 20 == 0) {
                {
                    ph::CCommitGroup group(m_root);
                    for (int i = 0; i < kGroupJobs; ++i) {
                        DoJob();
                        if (!m_root.Commit()) Die("commit inside a group failed: " + m_root.Error());
                    }
                    if (!group.Finish()) Die("grouped commit failed: " + m_root.Error());
                }
                jobs += kGroupJobs;
            } else {
                DoJob();
                if (!m_root.Commit()) Die("commit failed: " + m_root.Error());
                ++jobs;
            }
            Emit("DONE");
        }
    }

private:
    void LoadIds() {
        std::string name;
        for (bool more = m_table->FindFirst("*", ph::ElementKind::Storage, name); more;
             more = m_table->FindNext(name)) {
            char* end = nullptr;
            const long id = std::strtol(name.c_str(), &end, 10);
            if (name.size() != 6 || *end != '\0' || id < 0) Die("unexpected record name " + name);
            m_ids.insert(static_cast<int>(id));
        }
    }

    void LoadRecords() {
        auto stream = m_root.OpenStream(kRecords);
        if (!stream) return;
        stream->SetPadding(false);
        stream->EnableCipher(ph::kStoreKey);
        const uint64_t length = stream->GetLength();
        if (length % 16 != 0) Die(ph::Format("Records holds %llu bytes", (unsigned long long)length));
        m_records.assign(length, '\0');
        if (stream->ReadBlocks(m_records.data(), m_records.size()) != m_records.size() ||
            stream->IsDamaged())
            Die("Records cannot be read");
    }

    std::string RandomBytes(size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(m_rng());
        return s;
    }

    // Half the records stay below the mini-stream cutoff, half go to regular sectors; a
    // rewrite may move a record across it.
    std::string RandomContent() {
        std::uniform_int_distribution<size_t> small(10, 4095), large(4096, 20480);
        return RandomBytes(m_rng() % 2 ? small(m_rng) : large(m_rng));
    }

    int PickExisting() {
        auto it = m_ids.begin();
        std::advance(it, static_cast<long>(m_rng() % m_ids.size()));
        return *it;
    }

    void DoJob() {
        const unsigned roll = static_cast<unsigned>(m_rng() % 100);
        const size_t count = m_ids.size();
        if (count < 10 || (roll < 35 && count <= 160))
            Put(m_ids.empty() ? 0 : *m_ids.rbegin() + 1, false);
        else if (roll < 35 || (roll >= 60 && roll < 80))
            Delete(PickExisting());
        else if (roll < 60)
            Put(PickExisting(), true);
        else
            AppendRecord();
    }

    void Put(int id, bool existing) {
        const std::string content = RandomContent();
        const std::string name = RecordName(id);
        Emit("INTENT PUT " + name + " " + ph::Md5Hex(content));
        std::unique_ptr<ph::CStorageNode> child;
        std::unique_ptr<ph::CCipherStream> xml;
        // Three ways a record gets new content: a fresh storage, the stream created again
        // over the old one, or the old stream cut and written over.
        const unsigned how = existing ? static_cast<unsigned>(m_rng() % 3) : 0;
        if (how == 0) {
            child = m_table->CreateChild(name);
            if (child) xml = child->CreateStream(kXml);
        } else {
            child = m_table->OpenChild(name);
            if (child && how == 1) xml = child->CreateStream(kXml);
            if (child && how == 2) {
                xml = child->OpenStream(kXml);
                if (xml && !xml->SetLength(0)) Die("cannot cut " + name + ": " + m_root.Error());
            }
        }
        if (!xml) Die("cannot create record " + name + ": " + m_root.Error());
        xml->EnableCipher(ph::kStoreKey);
        // Written in up to three pieces, so a piece may end inside a cipher block.
        size_t at = 0;
        const int pieces = 1 + static_cast<int>(m_rng() % 3);
        for (int i = 0; i < pieces; ++i) {
            const size_t n = i + 1 == pieces ? content.size() - at : m_rng() % (content.size() - at + 1);
            if (!xml->Write(content.data() + at, n)) Die("cannot write record " + name + ": " + m_root.Error());
            at += n;
        }
        if (!xml->Close()) Die("cannot close record " + name + ": " + m_root.Error());
        m_ids.insert(id);
    }

    void Delete(int id) {
        const std::string name = RecordName(id);
        Emit("INTENT DEL " + name);
        if (!m_table->Destroy(name)) Die("cannot destroy record " + name + ": " + m_root.Error());
        m_ids.erase(id);
    }

    // Fixed-length records at the end of one big stream; when it has grown large it is cut
    // back first, which frees sectors at the end of the file.
    void AppendRecord() {
        std::string next = m_records;
        if (next.size() >= 192 * 1024) next.resize((m_rng() % (next.size() / 2 / kRecordSize + 1)) * kRecordSize);
        const size_t at = next.size();
        next += RandomBytes(kRecordSize);
        Emit(ph::Format("INTENT REC %zu %s", next.size(), ph::Md5Hex(next).c_str()));
        auto stream = m_root.OpenStream(kRecords);
        if (!stream) stream = m_root.CreateStream(kRecords);
        if (!stream) Die("cannot open Records: " + m_root.Error());
        stream->SetPadding(false);
        stream->EnableCipher(ph::kStoreKey);
        if (at < m_records.size() && !stream->SetLength(at)) Die("cannot cut Records: " + m_root.Error());
        stream->Seek(static_cast<int64_t>(at), ph::SeekOrigin::Begin);
        if (!stream->WriteBlocks(next.data() + at, kRecordSize) || !stream->Close())
            Die("cannot append to Records: " + m_root.Error());
        m_records = std::move(next);
    }

    std::string m_path;
    std::mt19937_64 m_rng;
    ph::CStorageNode m_root;
    std::unique_ptr<ph::CStorageNode> m_table;
    std::set<int> m_ids;
    std::string m_records;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: kill_writer <store file> <seed> [<jobs>]\n");
        return 2;
    }
    Writer writer(argv[1], std::strtoull(argv[2], nullptr, 10));
    writer.Open();
    Emit("READY");
    writer.Run(argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 0);
    return 0;
}
