#pragma once
// The 512-byte compound-file header (see FORMAT.md beside this file).
#include <array>
#include <cstdint>
#include <string>

namespace ph::cfb {

// Special sector numbers of the FAT.
constexpr uint32_t kMaxRegSect = 0xFFFFFFFA;
constexpr uint32_t kDifSect = 0xFFFFFFFC;
constexpr uint32_t kFatSect = 0xFFFFFFFD;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSect = 0xFFFFFFFF;

constexpr size_t kHeaderSize = 512;
constexpr size_t kHeaderDifatCount = 109;
constexpr uint32_t kMiniStreamCutoff = 4096;
constexpr uint32_t kMiniSectorSize = 64;

// Sizes come from the file and may be near 2^64: a + b - 1 would wrap.
constexpr uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

struct Header {
    uint16_t minorVersion = 0x003E;
    uint16_t majorVersion = 3;
    uint16_t sectorShift = 9;
    uint32_t numDirSectors = 0;  // version 4 only
    uint32_t numFatSectors = 0;
    uint32_t firstDirSector = kEndOfChain;
    uint32_t transactionSignature = 0;
    uint32_t firstMiniFatSector = kEndOfChain;
    uint32_t numMiniFatSectors = 0;
    uint32_t firstDifatSector = kEndOfChain;
    uint32_t numDifatSectors = 0;
    std::array<uint32_t, kHeaderDifatCount> difat{};

    Header() { difat.fill(kFreeSect); }

    uint32_t SectorSize() const { return 1u << sectorShift; }

    // Checks the fixed fields; false with a reason when the bytes are not a header we read.
    bool Parse(const unsigned char* bytes, std::string* error);
    void Serialize(unsigned char* bytes) const;
};

}  // namespace ph::cfb
