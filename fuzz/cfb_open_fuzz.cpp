// Opens arbitrary bytes as a compound file. Open must refuse them with a reason, or give a
// file whose every stream reads whole or reads as damaged, that takes a small change and
// a commit, and that reopens holding that change. Anything else stops the run: the
// sanitizers catch memory and arithmetic faults, the checks here catch broken promises.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/cfb/CompoundFile.h"
#include "support/MemFile.h"

namespace {

using ph::cfb::CompoundFile;
using ph::cfb::EntryId;
using ph::cfb::EntryType;
using ph::cfb::kNoEntry;

// A stream size is only a claim; reading further than this adds time, not coverage.
constexpr uint64_t kMaxRead = 1 << 20;

void Check(bool promise) {
    if (!promise) __builtin_trap();
}

const std::string& Payload() {
    static const std::string payload = [] {
        std::string p(5000, '\0');  // crosses the mini stream cutoff
        for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<char>(i * 131 + 7);
        return p;
    }();
    return payload;
}

// Reads every stream under every storage, breadth first (a deep file must not exhaust the
// stack). Returns the first stream that read whole, or kNoEntry.
EntryId ReadAll(CompoundFile& cf) {
    EntryId whole = kNoEntry;
    std::vector<EntryId> storages = {CompoundFile::kRoot};
    std::vector<char> chunk(4096);
    for (size_t i = 0; i < storages.size(); ++i) {
        for (EntryId id : cf.Dir().Children(storages[i])) {
            if (cf.Dir()[id].IsStorage()) {
                storages.push_back(id);
                continue;
            }
            const uint64_t size = cf.StreamSize(id);
            bool damaged = false;
            for (uint64_t at = 0; at < std::min(size, kMaxRead);) {
                const int64_t got = cf.ReadStream(id, at, chunk.data(), chunk.size());
                if (got < 0) {
                    damaged = true;
                    break;
                }
                Check(static_cast<uint64_t>(got) == std::min<uint64_t>(chunk.size(), size - at));
                at += static_cast<uint64_t>(got);
            }
            if (!damaged && whole == kNoEntry) whole = id;
        }
    }
    return whole;
}

// Entry ids are directory slots, so they name the same stream after a reopen; a name might
// not, when a hostile file holds it twice.
bool Holds(CompoundFile& cf, EntryId id, const std::string& expected) {
    if (!cf.Dir().IsLive(id) || cf.Dir()[id].type != EntryType::Stream) return false;
    std::string got(expected.size() + 1, '\0');
    return cf.ReadStream(id, 0, got.data(), got.size()) == static_cast<int64_t>(expected.size()) &&
           got.compare(0, expected.size(), expected) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto disk = std::make_shared<ph::test::MemDisk>(
        std::string(reinterpret_cast<const char*>(data), size));
    std::string error;
    auto cf = CompoundFile::Open(std::make_unique<ph::test::MemFile>(disk), &error);
    if (!cf) {
        Check(!error.empty());
        return 0;
    }
    const EntryId existing = ReadAll(*cf);
    if (existing != kNoEntry) Check(cf->WriteStream(existing, 0, Payload().data(), 64));
    const EntryId regular = cf->CreateElement(CompoundFile::kRoot, "FuzzRegular", EntryType::Stream);
    Check(regular != kNoEntry);
    Check(cf->WriteStream(regular, 0, Payload().data(), Payload().size()));
    const EntryId mini = cf->CreateElement(CompoundFile::kRoot, "FuzzMini", EntryType::Stream);
    Check(mini != kNoEntry);
    Check(cf->WriteStream(mini, 0, Payload().data(), 100));
    Check(cf->Commit());
    cf.reset();

    auto again = CompoundFile::Open(std::make_unique<ph::test::MemFile>(disk), &error);
    Check(again != nullptr);
    ReadAll(*again);
    Check(Holds(*again, regular, Payload()));
    Check(Holds(*again, mini, Payload().substr(0, 100)));
    return 0;
}
