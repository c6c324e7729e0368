#include "message/TextSearch.h"

#include <algorithm>
#include <cstring>

namespace ph::mime {

size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from) {
    if (hay.empty() || from > hay.size()) return npos;
    if (needle.empty()) return from;
    if (needle.size() > hay.size() - from) return npos;
    const unsigned char first = FoldByte(static_cast<unsigned char>(needle[0]));
    const unsigned char other = (first >= 'a' && first <= 'z') ? first - 32 : first;
    const char* base = hay.data();
    const size_t last = hay.size() - needle.size();
    auto nextOf = [&](unsigned char c, size_t pos) -> size_t {
        if (pos > last) return npos;
        const void* p = std::memchr(base + pos, c, last - pos + 1);
        return p ? static_cast<size_t>(static_cast<const char*>(p) - base) : npos;
    };
    // The next place of the first byte in either case, each found with memchr and kept until
    // it is passed, so the scan stays linear.
    size_t nextLower = nextOf(first, from);
    size_t nextUpper = first == other ? npos : nextOf(other, from);
    for (;;) {
        const size_t candidate = std::min(nextLower, nextUpper);
        if (candidate == npos) return npos;
        size_t i = 1;
        while (i < needle.size() &&
               FoldByte(static_cast<unsigned char>(base[candidate + i])) == FoldByte(static_cast<unsigned char>(needle[i])))
            ++i;
        if (i == needle.size()) return candidate;
        if (nextLower == candidate) nextLower = nextOf(first, candidate + 1);
        if (nextUpper == candidate) nextUpper = nextOf(other, candidate + 1);
    }
}

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view prefix) {
    if (at > text.size() || text.size() - at < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (FoldByte(static_cast<unsigned char>(text[at + i])) != FoldByte(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

size_t Finder::From(size_t from) {
    if (m_known && from >= m_from && (m_found == npos || from <= m_found)) return m_found;
    m_found = m_ignoreCase ? FindNoCase(m_text, m_needle, from)
                           : (from <= m_text.size() ? m_text.find(m_needle, from) : npos);
    m_from = from;
    m_known = true;
    return m_found;
}

}  // namespace ph::mime
