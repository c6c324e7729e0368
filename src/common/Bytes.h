#pragma once
// Byte-string helpers. Texts are bytes in the system's 8-bit code page; these helpers never
// decode them, they only compare, cut and convert numbers the way the stored formats need.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace ph {

// Little-endian fixed-width integers, as the compound-file format stores them.
inline uint16_t LoadLE16(const void* p) {
    const auto* b = static_cast<const unsigned char*>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint32_t LoadLE32(const void* p) {
    const auto* b = static_cast<const unsigned char*>(p);
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}
inline uint64_t LoadLE64(const void* p) {
    const auto* b = static_cast<const unsigned char*>(p);
    return uint64_t(LoadLE32(b)) | (uint64_t(LoadLE32(b + 4)) << 32);
}
inline void StoreLE16(void* p, uint16_t v) {
    auto* b = static_cast<unsigned char*>(p);
    b[0] = static_cast<unsigned char>(v);
    b[1] = static_cast<unsigned char>(v >> 8);
}
inline void StoreLE32(void* p, uint32_t v) {
    auto* b = static_cast<unsigned char*>(p);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void StoreLE64(void* p, uint64_t v) {
    StoreLE32(p, static_cast<uint32_t>(v));
    StoreLE32(static_cast<unsigned char*>(p) + 4, static_cast<uint32_t>(v >> 32));
}

// The C library's atoi meaning without its undefined overflow: optional blanks, an optional
// sign, then the leading decimal digits; anything else (or nothing) gives 0. Out-of-range
// values saturate.
int32_t LeadingInt(std::string_view text);

// ASCII-only case folding; bytes above 0x7F are left alone.
inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
inline char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }
bool EqualsNoCase(std::string_view a, std::string_view b);

// The first `max` bytes of `text` (all of it when shorter).
inline std::string_view Truncated(std::string_view text, size_t max) {
    return text.substr(0, std::min(text.size(), max));
}

// The bytes read as ISO 8859-1 (each byte one code point), as UTF-8. For showing stored texts
// outside the program; it loses nothing.
std::string Latin1ToUtf8(std::string_view bytes);

// The text split at each separator: an empty text gives no items, a trailing separator a last
// empty item.
std::vector<std::string> SplitLines(std::string_view text, char separator = '\n');

// Lower-case hexadecimal of every byte ("%02x" each).
std::string HexLower(std::string_view bytes);

}  // namespace ph
