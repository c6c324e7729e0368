#include "Display.h"

#include <cstdint>
#include <vector>

#include "common/Bytes.h"
#include "common/Format.h"

namespace ph::cli {
namespace {

// The code points of `text` when it is well-formed UTF-8 (shortest forms only), else nothing.
std::optional<std::vector<uint32_t>> DecodeUtf8(std::string_view text) {
    std::vector<uint32_t> points;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra = 0;
        uint32_t cp = 0;
        uint32_t least = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, cp = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, cp = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, cp = lead & 0x07, least = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + static_cast<size_t>(extra) >= text.size() && extra > 0) return std::nullopt;
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        points.push_back(cp);
        i += static_cast<size_t>(extra) + 1;
    }
    return points;
}

}  // namespace

std::string EscapeForLine(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (c < 0x20 || c == 0x7F)
                    out += Format("\\x%02x", c);
                else
                    out += static_cast<char>(c);
        }
    }
    return Latin1ToUtf8(out);
}

std::string JsonText(std::string_view bytes) { return Latin1ToUtf8(bytes); }

std::optional<std::string> StoredText(std::string_view argument) {
    const std::optional<std::vector<uint32_t>> points = DecodeUtf8(argument);
    if (!points) return std::string(argument);
    std::string stored;
    stored.reserve(points->size());
    for (uint32_t cp : *points) {
        if (cp > 0xFF) return std::nullopt;
        stored += static_cast<char>(cp);
    }
    return stored;
}

}  // namespace ph::cli
