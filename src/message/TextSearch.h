#pragma once
// Substring searches over raw message text, case-insensitive where the format is, in
// linear time overall: a Finder remembers its last answer, so the parser's many searches
// for the same needle from positions that only move forward never scan a region twice.
#include <cstddef>
#include <string>
#include <string_view>

namespace ph::mime {

constexpr size_t npos = std::string_view::npos;

// ASCII case folding: the format's keywords are ASCII; other bytes compare as they are.
inline unsigned char FoldByte(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// The first position at or after `from` where `needle` matches ignoring case; npos when there
// is none or the haystack is empty.
size_t FindNoCase(std::string_view haystack, std::string_view needle, size_t from = 0);
bool StartsWithNoCase(std::string_view text, size_t at, std::string_view prefix);

class Finder {
public:
    Finder(std::string_view text, std::string needle, bool ignoreCase)
        : m_text(text), m_needle(std::move(needle)), m_ignoreCase(ignoreCase) {}
    // The first occurrence at or after `from` (npos when there is none).
    size_t From(size_t from);
    // The first occurrence in [from, limit), else npos.
    size_t Before(size_t from, size_t limit) {
        const size_t at = From(from);
        return at < limit ? at : npos;
    }
    size_t Length() const { return m_needle.size(); }

private:
    std::string_view m_text;
    std::string m_needle;
    bool m_ignoreCase;
    bool m_known = false;
    size_t m_from = 0;
    size_t m_found = npos;
};

}  // namespace ph::mime
