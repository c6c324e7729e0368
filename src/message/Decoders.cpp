#include "message/Decoders.h"

#include <array>

namespace ph::mime {
namespace {

constexpr std::array<signed char, 256> MakeBase64Table() {
    std::array<signed char, 256> t{};
    for (auto& v : t) v = -1;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return t;
}
constexpr std::array<signed char, 256> kBase64 = MakeBase64Table();

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void DecodeBase64(std::string& text) {
    std::string out;
    out.resize(text.size() / 4 * 3 + 3);
    size_t n = 0;
    uint32_t group = 0;
    int symbols = 0;
    for (unsigned char c : text) {
        if (c == '=') break;
        const int v = kBase64[c];
        if (v < 0) continue;
        group = (group << 6) | static_cast<uint32_t>(v);
        if (++symbols == 4) {
            out[n++] = static_cast<char>(group >> 16);
            out[n++] = static_cast<char>(group >> 8);
            out[n++] = static_cast<char>(group);
            group = 0;
            symbols = 0;
        }
    }
    if (symbols == 1) {
        out[n++] = static_cast<char>(group << 2);
    } else if (symbols == 2) {
        out[n++] = static_cast<char>(group >> 4);
    } else if (symbols == 3) {
        out[n++] = static_cast<char>(group >> 10);
        out[n++] = static_cast<char>(group >> 2);
    }
    out.resize(n);
    text.swap(out);
}

void DecodeQuotedPrintable(std::string& text) {
    size_t w = 0;
    const size_t size = text.size();
    for (size_t r = 0; r < size; ++r) {
        const char c = text[r];
        if (c != '=' || r + 1 >= size) {
            text[w++] = c;
            continue;
        }
        const char next = text[r + 1];
        if (next == '\r' || next == '\n') {
            r += (next == '\r' && r + 2 < size && text[r + 2] == '\n') ? 2 : 1;
            continue;
        }
        const int hi = HexValue(static_cast<unsigned char>(next));
        const int lo = r + 2 < size ? HexValue(static_cast<unsigned char>(text[r + 2])) : -1;
        if (hi < 0 || lo < 0) {
            text[w++] = c;
            continue;
        }
        const char byte = static_cast<char>(hi * 16 + lo);
        if (byte != '\0') text[w++] = byte;
        r += 2;
    }
    text.resize(w);
}

}  // namespace ph::mime
