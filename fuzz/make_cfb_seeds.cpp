// Writes the seed corpus of cfb_open_fuzz into the directory named on the command line:
// small valid files that between them hold every structure the reader walks. Each file is
// read back before the program succeeds. Run by hand when the container changes, from the
// source directory after a dev build:
//   cmake --build build/dev/fuzz-clang --target make_cfb_seeds
//   build/dev/fuzz-clang/fuzz/make_cfb_seeds fuzz/corpus/cfb
#include <cstdio>
#include <fstream>
#include <string>

#include "common/Bytes.h"
#include "store/cfb/CompoundFile.h"

namespace {

using namespace ph::cfb;

std::string Bytes(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 37 + seed);
    return s;
}

bool Put(CompoundFile& cf, EntryId storage, const char* name, size_t size, int seed) {
    const EntryId id = cf.CreateElement(storage, name, EntryType::Stream);
    const std::string data = Bytes(size, seed);
    return id != kNoEntry && cf.WriteStream(id, 0, data.data(), data.size());
}

using Fill = bool (*)(CompoundFile&);

bool Write(const std::string& path, Fill fill) {
    std::string error;
    auto cf = CompoundFile::Create(path, &error);
    if (!cf || !fill(*cf) || !cf->Commit()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), cf ? cf->Error().c_str() : error.c_str());
        return false;
    }
    return true;
}

// Version 4 (4096-byte sectors) is only read and changed in place, never created, so this
// one is laid out by hand: FAT in sector 0, directory in 1, mini FAT in 2, mini stream in 3.
bool WriteVersion4(const std::string& path) {
    constexpr uint32_t kSize = 4096;
    std::string file(5 * kSize, '\0');
    auto* b = reinterpret_cast<unsigned char*>(file.data());
    Header h;
    h.majorVersion = 4;
    h.sectorShift = 12;
    h.numFatSectors = 1;
    h.numDirSectors = 1;
    h.difat[0] = 0;
    h.firstDirSector = 1;
    h.firstMiniFatSector = 2;
    h.numMiniFatSectors = 1;
    h.Serialize(b);
    unsigned char* fat = b + kSize;
    unsigned char* miniFat = b + 3 * kSize;
    for (uint32_t i = 0; i < kSize / 4; ++i) {
        ph::StoreLE32(fat + 4 * i, kFreeSect);
        ph::StoreLE32(miniFat + 4 * i, kFreeSect);
    }
    ph::StoreLE32(fat + 0, kFatSect);
    for (uint32_t s = 1; s <= 3; ++s) ph::StoreLE32(fat + 4 * s, kEndOfChain);
    // "Text" takes mini sectors 0 and 1, "Inner/Note" mini sector 2.
    ph::StoreLE32(miniFat + 0, 1);
    ph::StoreLE32(miniFat + 4, kEndOfChain);
    ph::StoreLE32(miniFat + 8, kEndOfChain);
    Directory dir(kSize);
    dir.InitEmpty();
    dir.Edit(CompoundFile::kRoot).start = 3;
    dir.Edit(CompoundFile::kRoot).size = 3 * kMiniSectorSize;
    const EntryId text = dir.Insert(CompoundFile::kRoot, u"Text", EntryType::Stream);
    dir.Edit(text).start = 0;
    dir.Edit(text).size = 100;
    const EntryId inner = dir.Insert(CompoundFile::kRoot, u"Inner", EntryType::Storage);
    const EntryId note = dir.Insert(inner, u"Note", EntryType::Stream);
    dir.Edit(note).start = 2;
    dir.Edit(note).size = 30;
    dir.SerializeSector(0, b + 2 * kSize);
    file.replace(4 * kSize, 100, Bytes(100, 1));
    file.replace(4 * kSize + 2 * kMiniSectorSize, 30, Bytes(30, 2));
    std::ofstream(path, std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));

    std::string error;
    auto cf = CompoundFile::Open(path, &error);
    std::string got(100, '\0');
    if (!cf || cf->ReadStream(cf->Find(CompoundFile::kRoot, "Text"), 0, got.data(), 100) != 100 ||
        got != Bytes(100, 1)) {
        std::fprintf(stderr, "%s does not read back: %s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = Write(dir + "/empty.cfb", [](CompoundFile&) { return true; });
    ok &= Write(dir + "/nested-mini.cfb", [](CompoundFile& cf) {
        const EntryId a = cf.CreateElement(CompoundFile::kRoot, "Folders", EntryType::Storage);
        const EntryId b = cf.CreateElement(a, "Inbox", EntryType::Storage);
        return a != kNoEntry && b != kNoEntry && Put(cf, CompoundFile::kRoot, "Settings", 90, 1) &&
               Put(cf, a, "Index", 200, 2) && Put(cf, b, "Message1", 300, 3);
    });
    ok &= Write(dir + "/regular.cfb", [](CompoundFile& cf) {
        return Put(cf, CompoundFile::kRoot, "Body", 4200, 4) && Put(cf, CompoundFile::kRoot, "Head", 70, 5);
    });
    ok &= Write(dir + "/many-entries.cfb", [](CompoundFile& cf) {
        const EntryId s = cf.CreateElement(CompoundFile::kRoot, "Store", EntryType::Storage);
        bool fine = s != kNoEntry;
        for (int i = 0; i < 12 && fine; ++i)
            fine = Put(cf, i % 2 ? s : CompoundFile::kRoot, ("Item" + std::to_string(i)).c_str(), 10 + 20 * i, i);
        return fine;
    });
    ok &= WriteVersion4(dir + "/version4.cfb");
    return ok ? 0 : 1;
}
