#include "store/cfb/Header.h"

#include <cstring>

#include "common/Bytes.h"
#include "common/Format.h"

namespace ph::cfb {
namespace {

constexpr unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

}  // namespace

bool Header::Parse(const unsigned char* b, std::string* error) {
    if (std::memcmp(b, kSignature, sizeof kSignature) != 0) {
        *error = "not a compound file (bad signature)";
        return false;
    }
    minorVersion = LoadLE16(b + 0x18);
    majorVersion = LoadLE16(b + 0x1A);
    const uint16_t byteOrder = LoadLE16(b + 0x1C);
    sectorShift = LoadLE16(b + 0x1E);
    const uint16_t miniShift = LoadLE16(b + 0x20);
    numDirSectors = LoadLE32(b + 0x28);
    numFatSectors = LoadLE32(b + 0x2C);
    firstDirSector = LoadLE32(b + 0x30);
    transactionSignature = LoadLE32(b + 0x34);
    const uint32_t cutoff = LoadLE32(b + 0x38);
    firstMiniFatSector = LoadLE32(b + 0x3C);
    numMiniFatSectors = LoadLE32(b + 0x40);
    firstDifatSector = LoadLE32(b + 0x44);
    numDifatSectors = LoadLE32(b + 0x48);
    for (size_t i = 0; i < kHeaderDifatCount; ++i) difat[i] = LoadLE32(b + 0x4C + 4 * i);

    if (byteOrder != 0xFFFE) {
        *error = "compound file has a bad byte-order mark";
    } else if (!((majorVersion == 3 && sectorShift == 9) ||
                 (majorVersion == 4 && sectorShift == 12))) {
        *error = Format("unsupported compound file version %u with sector shift %u",
                        majorVersion, sectorShift);
    } else if (miniShift != 6) {
        *error = Format("unsupported mini sector shift %u", miniShift);
    } else if (cutoff != kMiniStreamCutoff) {
        *error = Format("unsupported mini stream cutoff %u", cutoff);
    } else {
        return true;
    }
    return false;
}

void Header::Serialize(unsigned char* b) const {
    std::memset(b, 0, kHeaderSize);
    std::memcpy(b, kSignature, sizeof kSignature);
    StoreLE16(b + 0x18, minorVersion);
    StoreLE16(b + 0x1A, majorVersion);
    StoreLE16(b + 0x1C, 0xFFFE);
    StoreLE16(b + 0x1E, sectorShift);
    StoreLE16(b + 0x20, 6);
    StoreLE32(b + 0x28, majorVersion == 4 ? numDirSectors : 0);
    StoreLE32(b + 0x2C, numFatSectors);
    StoreLE32(b + 0x30, firstDirSector);
    StoreLE32(b + 0x34, transactionSignature);
    StoreLE32(b + 0x38, kMiniStreamCutoff);
    StoreLE32(b + 0x3C, firstMiniFatSector);
    StoreLE32(b + 0x40, numMiniFatSectors);
    StoreLE32(b + 0x44, firstDifatSector);
    StoreLE32(b + 0x48, numDifatSectors);
    for (size_t i = 0; i < kHeaderDifatCount; ++i) StoreLE32(b + 0x4C + 4 * i, difat[i]);
}

}  // namespace ph::cfb
