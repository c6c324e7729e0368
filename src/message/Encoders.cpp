#include "message/Encoders.h"

#include <openssl/rand.h>

#include <random>

#include "common/Crypto.h"

namespace ph::mime {
namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
// Longest run of encoded characters on one line before a soft break.
constexpr size_t kQpLine = 77;
constexpr size_t kBase64Line = 76;

void AppendEscape(std::string& out, unsigned char byte) {
    out += '=';
    out += kHexUpper[byte >> 4];
    out += kHexUpper[byte & 0x0F];
}

bool StaysLiteral(unsigned char c) {
    return (c >= 33 && c <= 60) || (c >= 62 && c <= 126) || c == '\r' || c == '\n' || c == '\t' || c == ' ';
}

// Where the encoded line starting at `start` (longer than kQpLine) is broken: the end of the
// nearest white space or complete escape within its first kQpLine characters. Every "=" in
// encoded text starts a three-character escape, so one two places back marks an escape's end.
size_t QpBreak(std::string_view enc, size_t start) {
    const size_t limit = start + kQpLine;
    for (size_t i = limit; i-- > start;) {
        if (enc[i] == ' ' || enc[i] == '\t') return i + 1;
        if (i >= start + 2 && enc[i - 2] == '=') return i + 1;
    }
    // Only an escape straddling the limit can be left; cutting through it would make the
    // byte undecodable, so the line ends before it.
    if (enc[limit - 1] == '=') return limit - 1;
    if (enc[limit - 2] == '=') return limit - 2;
    return limit;
}

}  // namespace

std::string NormalizeLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += "\r\n";
        } else if (text[i] == '\n') {
            out += "\r\n";
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string EncodeHeaderWord(std::string_view value, std::string_view charset) {
    bool plain = true;
    for (unsigned char c : value) plain = plain && c <= 127;
    if (plain) return std::string(value);
    std::string out = "=?";
    out.append(charset);
    out += "?q?";
    for (unsigned char c : value) {
        if (c == ' ') out += '_';
        else if (c > 127 || c == '=' || c == '?' || c == '_') AppendEscape(out, c);
        else out += static_cast<char>(c);
    }
    out += "?=";
    return out;
}

std::string EncodeQuotedPrintable(std::string_view text) {
    std::string enc;
    enc.reserve(text.size() + text.size() / 8);
    for (unsigned char c : text) {
        if (StaysLiteral(c)) enc += static_cast<char>(c);
        else AppendEscape(enc, c);
    }

    std::string out;
    out.reserve(enc.size() + enc.size() / 32);
    size_t pos = 0;
    while (pos < enc.size()) {
        size_t end = enc.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = enc.size();
        while (end - pos > kQpLine) {
            const size_t cut = QpBreak(enc, pos);
            out.append(enc, pos, cut - pos);
            out += "=\r\n";
            pos = cut;
        }
        out.append(enc, pos, end - pos);
        for (pos = end; pos < enc.size() && (enc[pos] == '\r' || enc[pos] == '\n'); ++pos) out += enc[pos];
    }
    return out;
}

std::string DotStuff(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && c == '.') out += '.';
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string Base64Lines(std::string_view data) {
    const std::string encoded = Base64Encode(data);
    std::string out;
    out.reserve(encoded.size() + (encoded.size() / kBase64Line + 1) * 2);
    for (size_t pos = 0; pos < encoded.size(); pos += kBase64Line) {
        out.append(encoded, pos, kBase64Line);
        out += "\r\n";
    }
    return out;
}

std::string NewUuid() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        // A boundary only has to be unlikely to occur in the text; a weaker source still is.
        std::random_device device;
        for (unsigned char& byte : b) byte = static_cast<unsigned char>(device());
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4: random
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // the standard variant
    constexpr char kHexLower[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += kHexLower[b[i] >> 4];
        out += kHexLower[b[i] & 0x0F];
    }
    return out;
}

}  // namespace ph::mime
