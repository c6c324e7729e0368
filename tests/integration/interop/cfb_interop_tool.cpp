// Drives the compound-file engine for the interoperability tests: writes varied files,
// patches existing ones, and lists a file in the canonical form the Python side also
// produces through outside readers, so the listings can be compared line for line.
//
//   cfb_interop_tool write-sample FILE SEED [BULK_KB]
//   cfb_interop_tool write-patch FILE SEED
//   cfb_interop_tool list FILE
//
// write-sample and write-patch print the listing the file must have afterwards, taken from
// their own record of what they wrote rather than from reading the file back: a fault that
// the engine makes on writing and undoes on reading would otherwise go unseen.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/Bytes.h"
#include "common/Crypto.h"
#include "common/Format.h"
#include "store/cfb/CompoundFile.h"

namespace {

using ph::cfb::CompoundFile;
using ph::cfb::EntryId;
using ph::cfb::EntryType;
using ph::cfb::kNoEntry;
using ph::Format;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "cfb_interop_tool: %s\n", what.c_str());
    std::exit(2);
}

// Path (names joined by '/') to content; nullopt marks a storage.
using Contents = std::map<std::string, std::optional<std::string>>;

void PrintListing(const Contents& contents) {
    std::vector<std::pair<std::string, const std::optional<std::string>*>> rows;
    for (const auto& [path, content] : contents) rows.emplace_back(ph::Latin1ToUtf8(path), &content);
    std::sort(rows.begin(), rows.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [path, content] : rows) {
        if (*content)
            std::printf("%s\tstream\t%zu\t%s\n", path.c_str(), (*content)->size(),
                        ph::Md5Hex(**content).c_str());
        else
            std::printf("%s\tstorage\t0\t\n", path.c_str());
    }
}

std::shared_ptr<CompoundFile> OpenOrDie(const std::string& path) {
    std::string error;
    auto cf = CompoundFile::Open(path, &error);
    if (!cf) Die("cannot open " + path + ": " + error);
    return cf;
}

void ReadTree(CompoundFile& cf, EntryId storage, const std::string& prefix, Contents& out) {
    for (EntryId id : cf.Dir().Children(storage)) {
        const auto& entry = cf.Dir()[id];
        const std::string path = prefix + ph::cfb::NarrowName(entry.name);
        if (entry.IsStorage()) {
            out[path] = std::nullopt;
            ReadTree(cf, id, path + "/", out);
            continue;
        }
        std::string data(cf.StreamSize(id), '\0');
        const int64_t got = cf.ReadStream(id, 0, data.data(), data.size());
        if (got != static_cast<int64_t>(data.size()))
            Die("cannot read stream " + path + ": " + cf.Error());
        out[path] = std::move(data);
    }
}

// Changes a compound file through the engine and keeps the same changes in `m_expected`.
class Writer {
public:
    Writer(std::string path, uint32_t seed) : m_path(std::move(path)), m_rng(seed) {}

    void Create() {
        std::string error;
        m_cf = CompoundFile::Create(m_path, &error);
        if (!m_cf) Die("cannot create " + m_path + ": " + error);
        m_expected.clear();
    }
    void Open() {
        m_cf = OpenOrDie(m_path);
        m_expected.clear();
        ReadTree(*m_cf, CompoundFile::kRoot, "", m_expected);
    }
    // Closing and opening again makes later changes start from what is on disk, so they
    // meet committed sectors that must be copied rather than overwritten.
    void Reopen() {
        const uint32_t sectorSize = m_cf->SectorSize();
        Commit();
        m_cf.reset();
        m_cf = OpenOrDie(m_path);
        if (m_cf->SectorSize() != sectorSize) Die("reopening changed the sector size");
        ExpectOnDisk();
    }
    void Commit() {
        if (!m_cf->Commit()) Die("commit failed: " + m_cf->Error());
    }
    void Close() {
        Commit();
        m_cf.reset();
    }
    CompoundFile& File() { return *m_cf; }
    const Contents& Expected() const { return m_expected; }
    std::mt19937& Rng() { return m_rng; }

    size_t Random(size_t lo, size_t hi) {  // inclusive
        return std::uniform_int_distribution<size_t>(lo, hi)(m_rng);
    }
    std::string RandomBytes(size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(m_rng());
        return s;
    }
    std::string RandomName(size_t length) {
        static const char kChars[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 _-.\xE9";
        std::string s;
        for (size_t i = 0; i < length; ++i) s += kChars[Random(0, sizeof kChars - 2)];
        return s;
    }

    void MakeStorage(const std::string& path) {
        CreateElement(path, EntryType::Storage);
        RemoveBelow(path);
        m_expected[path] = std::nullopt;
    }
    void MakeStream(const std::string& path, const std::string& data) {
        const EntryId id = CreateElement(path, EntryType::Stream);
        RemoveBelow(path);
        m_expected[path] = std::string();
        Write(id, path, 0, data);
    }
    void Write(const std::string& path, uint64_t offset, const std::string& data) {
        Write(Resolve(path), path, offset, data);
    }
    void SetSize(const std::string& path, uint64_t size) {
        if (!m_cf->SetStreamSize(Resolve(path), size))
            Die("cannot resize " + path + ": " + m_cf->Error());
        m_expected[path]->resize(size, '\0');
    }
    void Destroy(const std::string& path) {
        const auto [parent, name] = Split(path);
        if (!m_cf->DestroyElement(Resolve(parent), name))
            Die("cannot destroy " + path + ": " + m_cf->Error());
        m_expected.erase(path);
        RemoveBelow(path);
    }
    std::vector<std::string> Streams(const std::string& prefix = "") const {
        std::vector<std::string> out;
        for (const auto& [path, content] : m_expected)
            if (content && path.rfind(prefix, 0) == 0) out.push_back(path);
        return out;
    }
    uint64_t SizeOf(const std::string& path) const { return m_expected.at(path)->size(); }

private:
    // Names the first few elements the reopened file has lost, gained or changed.
    void ExpectOnDisk() {
        Contents actual;
        ReadTree(*m_cf, CompoundFile::kRoot, "", actual);
        std::string report;
        int shown = 0;
        auto note = [&](const std::string& path, const char* what) {
            if (shown++ < 8) report += "\n  " + ph::Latin1ToUtf8(path) + ": " + what;
        };
        for (const auto& [path, content] : m_expected) {
            auto it = actual.find(path);
            if (it == actual.end())
                note(path, "missing");
            else if (it->second != content)
                note(path, "differs");
        }
        for (const auto& [path, content] : actual)
            if (!m_expected.count(path)) note(path, "unexpected");
        if (shown)
            Die(Format("after reopening, %d of %zu elements are not as committed:%s", shown,
                       m_expected.size(), report.c_str()));
    }
    static std::pair<std::string, std::string> Split(const std::string& path) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) return {"", path};
        return {path.substr(0, slash), path.substr(slash + 1)};
    }
    EntryId Resolve(const std::string& path) {
        EntryId id = CompoundFile::kRoot;
        size_t start = 0;
        while (!path.empty() && start <= path.size()) {
            const size_t slash = path.find('/', start);
            const size_t end = slash == std::string::npos ? path.size() : slash;
            id = m_cf->Find(id, std::string_view(path).substr(start, end - start));
            if (id == kNoEntry) Die("no element " + path);
            start = end + 1;
        }
        return id;
    }
    EntryId CreateElement(const std::string& path, EntryType type) {
        const auto [parent, name] = Split(path);
        const EntryId id = m_cf->CreateElement(Resolve(parent), name, type);
        if (id == kNoEntry) Die("cannot create " + path + ": " + m_cf->Error());
        return id;
    }
    void RemoveBelow(const std::string& path) {
        const std::string prefix = path + "/";
        for (auto it = m_expected.lower_bound(prefix);
             it != m_expected.end() && it->first.rfind(prefix, 0) == 0;)
            it = m_expected.erase(it);
    }
    void Write(EntryId id, const std::string& path, uint64_t offset, const std::string& data) {
        if (!m_cf->WriteStream(id, offset, data.data(), data.size()))
            Die("cannot write " + path + ": " + m_cf->Error());
        std::string& content = *m_expected[path];
        if (content.size() < offset + data.size()) content.resize(offset + data.size(), '\0');
        content.replace(offset, data.size(), data);
    }

    std::string m_path;
    std::mt19937 m_rng;
    std::shared_ptr<CompoundFile> m_cf;
    Contents m_expected;
};

// Streams that start below the mini-stream cutoff are grown across it and the big ones
// shrunk below it, by writes past the end, gaps, truncation and extension.
void CrossTheCutoff(Writer& w, const std::vector<std::string>& streams) {
    for (const std::string& path : streams) {
        const uint64_t size = w.SizeOf(path);
        switch (w.Random(0, 3)) {
        case 0:
            w.Write(path, size, w.RandomBytes(w.Random(4100, 9000)));
            break;
        case 1:
            w.Write(path, size + w.Random(4000, 6000), w.RandomBytes(w.Random(1, 300)));
            break;
        case 2:
            w.SetSize(path, size < 4096 ? w.Random(4096, 12000) : w.Random(0, 4095));
            break;
        default:
            w.SetSize(path, size < 4096 ? w.Random(5000, 9000) : w.Random(1, 4000));
            w.Write(path, w.Random(0, w.SizeOf(path)), w.RandomBytes(w.Random(1, 5000)));
            break;
        }
    }
}

void WriteSample(const std::string& file, uint32_t seed, size_t bulkKb) {
    Writer w(file, seed);
    w.Create();

    // Three levels of storages, the fixed sizes around the sector and cutoff edges spread
    // over them, and names with blanks, a Latin-1 letter and the longest length allowed.
    const std::vector<std::string> storages = {
        "Alpha", "Alpha/Beta Storage", "Alpha/Beta Storage/Gamma-3", "Donn\xE9" "es",
        "Donn\xE9" "es/Level 2", "Donn\xE9" "es/Level 2/Level 3",
        "A storage name of 31 characters"};
    for (const std::string& s : storages) w.MakeStorage(s);
    const std::vector<size_t> edgeSizes = {0, 1, 63, 64, 65, 511, 512, 513, 4095, 4096, 4097, 100000};
    for (size_t i = 0; i < edgeSizes.size(); ++i) {
        const std::string& where = i % 4 == 0 ? std::string() : storages[(i * 5) % storages.size()] + "/";
        w.MakeStream(where + "edge" + std::to_string(edgeSizes[i]), w.RandomBytes(edgeSizes[i]));
    }
    w.MakeStream("A stream name of 31 characters.", w.RandomBytes(77));
    for (int i = 0; i < 24; ++i) {
        const std::string& where = storages[w.Random(0, storages.size() - 1)];
        const size_t size = w.Random(0, 2) == 0 ? w.Random(4096, 40000) : w.Random(0, 4095);
        w.MakeStream(where + "/r" + std::to_string(i) + w.RandomName(w.Random(0, 12)),
                     w.RandomBytes(size));
    }
    w.Commit();

    // A storage of thousands of children inserted in random order, then a third of them
    // removed again: the sibling tree goes through every rotation and recolouring case.
    std::vector<std::string> crowd;
    for (int i = 0; i < 3000; ++i)
        crowd.push_back("Crowd/c" + std::to_string(i) + "_" + w.RandomName(w.Random(0, 20)));
    std::shuffle(crowd.begin(), crowd.end(), w.Rng());
    w.MakeStorage("Crowd");
    for (size_t i = 0; i < crowd.size(); ++i) {
        if (i % 10 == 0) {
            w.MakeStorage(crowd[i]);
            if (i % 20 == 0) w.MakeStream(crowd[i] + "/inner", w.RandomBytes(w.Random(0, 200)));
        } else {
            w.MakeStream(crowd[i], w.RandomBytes(w.Random(0, 150)));
        }
        if (i == crowd.size() / 2) w.Commit();
    }
    w.Commit();
    std::shuffle(crowd.begin(), crowd.end(), w.Rng());
    for (size_t i = 0; i < 1000; ++i) w.Destroy(crowd[i]);
    w.Reopen();

    std::vector<std::string> growers;
    for (const std::string& path : w.Streams())
        if (path.rfind("Crowd/", 0) != 0 && w.Random(0, 2) == 0) growers.push_back(path);
    CrossTheCutoff(w, growers);
    w.Commit();
    CrossTheCutoff(w, growers);
    w.Reopen();

    // Bulk data needs many FAT sectors (and, with enough of it, DIFAT sectors); deleting
    // and rewriting some of it makes the engine reuse the sectors that were freed.
    w.MakeStorage("Bulk");
    size_t written = 0;
    for (int i = 0; written < bulkKb * 1024; ++i) {
        const size_t size = std::min(bulkKb * 1024 - written, w.Random(50000, 1200000));
        w.MakeStream("Bulk/blob" + std::to_string(i), w.RandomBytes(size));
        written += size;
        if (i % 3 == 2) w.Commit();
    }
    w.Commit();
    const std::vector<std::string> blobs = w.Streams("Bulk/");
    w.Destroy(blobs.front());
    w.MakeStream("Bulk/after delete", w.RandomBytes(w.Random(10000, 200000)));
    for (const std::string& path : blobs) {
        if (path == blobs.front()) continue;
        const uint64_t size = w.SizeOf(path);
        w.Write(path, w.Random(0, size - 1), w.RandomBytes(w.Random(1, 20000)));
    }
    w.Reopen();

    // Replacing by name: a stream re-created empties it, a storage re-created as a stream
    // drops everything below it.
    if (!growers.empty()) w.MakeStream(growers.front(), w.RandomBytes(w.Random(0, 6000)));
    w.MakeStream("Donn\xE9" "es/Level 2", w.RandomBytes(3000));
    w.MakeStorage("Alpha/Beta Storage/Gamma-3");
    w.MakeStream("Alpha/Beta Storage/Gamma-3/fresh", w.RandomBytes(5000));

    // The engine may rebalance trees as it loads them; the trees as last committed must be
    // balanced by the insertions and removals of this session alone.
    std::shuffle(crowd.begin() + 1000, crowd.end(), w.Rng());
    for (size_t i = 1000; i < 1300; ++i) w.Destroy(crowd[i]);
    for (int i = 0; i < 300; ++i)
        w.MakeStream("Crowd/late" + std::to_string(i) + w.RandomName(w.Random(0, 9)),
                     w.RandomBytes(w.Random(0, 100)));
    w.Close();
    PrintListing(w.Expected());
}

// Changes an existing file the engine did not write. The first session changes a single
// stream, the way a small edit would, so whatever the engine rewrites of the directory on
// its own (and what it fails to) shows before later sessions touch most entries anyway.
// The later sessions overwrite in place, move streams across the cutoff both ways, remove
// elements and add enough new ones to need further directory, mini FAT and FAT sectors.
void WritePatch(const std::string& file, uint32_t seed) {
    Writer w(file, seed);
    w.Open();
    const uint32_t sectorSize = w.File().SectorSize();
    std::vector<std::string> streams = w.Streams();
    if (streams.empty()) Die("the file has no stream to change");
    const std::string& one = streams[w.Random(0, streams.size() - 1)];
    w.Write(one, w.SizeOf(one) / 2, "small edit");
    w.Reopen();
    for (int session = 1; session <= 2; ++session) {
        streams = w.Streams();
        std::shuffle(streams.begin(), streams.end(), w.Rng());
        for (size_t i = 0; i < streams.size(); ++i) {
            const std::string& path = streams[i];
            const uint64_t size = w.SizeOf(path);
            if (i % 4 == 0 && size > 0)
                w.Write(path, w.Random(0, size - 1), w.RandomBytes(w.Random(1, 3000)));
            else if (i % 4 == 1)
                CrossTheCutoff(w, {path});
            else if (i % 4 == 2 && i > 4)
                w.Destroy(path);
        }
        const std::string added = "Added" + std::to_string(session);
        w.MakeStorage(added);
        for (int i = 0; i < 70; ++i)
            w.MakeStream(added + "/s" + std::to_string(i) + w.RandomName(w.Random(0, 9)),
                         w.RandomBytes(w.Random(0, 3) == 0 ? w.Random(4096, 30000) : w.Random(0, 4000)));
        w.MakeStream(added + "/large", w.RandomBytes(w.Random(300000, 600000)));
        w.Reopen();
    }
    if (w.File().SectorSize() != sectorSize) Die("the patch changed the sector size");
    w.Close();
    PrintListing(w.Expected());
}

uint32_t ParseNumber(const char* text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (!*text || *end || value > 0xFFFFFFFFul) Die(std::string("not a number: ") + text);
    return static_cast<uint32_t>(value);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: cfb_interop_tool write-sample FILE SEED [BULK_KB]\n"
                 "       cfb_interop_tool write-patch FILE SEED\n"
                 "       cfb_interop_tool list FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string command = argv[1];
    const std::string file = argv[2];
    if (command == "write-sample" && (argc == 4 || argc == 5)) {
        WriteSample(file, ParseNumber(argv[3]), argc == 5 ? ParseNumber(argv[4]) : 3000);
    } else if (command == "write-patch" && argc == 4) {
        WritePatch(file, ParseNumber(argv[3]));
    } else if (command == "list" && argc == 3) {
        auto cf = OpenOrDie(file);
        Contents contents;
        ReadTree(*cf, CompoundFile::kRoot, "", contents);
        PrintListing(contents);
    } else {
        return Usage();
    }
    return std::fflush(stdout) == 0 ? 0 : 2;
}
