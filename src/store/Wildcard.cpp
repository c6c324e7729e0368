#include "store/Wildcard.h"

namespace ph {
namespace {

// Matches one pattern element at pattern[p] against c; sets `next` past the element.
// A malformed set (no closing bracket) matches a literal '['.
bool MatchOne(std::string_view pattern, size_t p, char c, size_t& next) {
    const char pc = pattern[p];
    if (pc == '?') {
        next = p + 1;
        return true;
    }
    if (pc == '\\' && p + 1 < pattern.size()) {
        next = p + 2;
        return pattern[p + 1] == c;
    }
    if (pc == '[') {
        size_t q = p + 1;
        const bool negate = q < pattern.size() && pattern[q] == '^';
        if (negate) ++q;
        bool found = false;
        bool closed = false;
        bool first = true;
        while (q < pattern.size()) {
            if (pattern[q] == ']' && !first) {
                closed = true;
                break;
            }
            first = false;
            char lo = pattern[q];
            if (lo == '\\' && q + 1 < pattern.size()) lo = pattern[++q];
            char hi = lo;
            if (q + 2 < pattern.size() && pattern[q + 1] == '-' && pattern[q + 2] != ']') {
                hi = pattern[q + 2];
                if (hi == '\\' && q + 3 < pattern.size()) hi = pattern[++q + 2];
                q += 2;
            }
            const auto u = static_cast<unsigned char>(c);
            if (u >= static_cast<unsigned char>(lo) && u <= static_cast<unsigned char>(hi))
                found = true;
            ++q;
        }
        if (closed) {
            next = q + 1;
            return found != negate;
        }
    }
    next = p + 1;
    return pc == c;
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0;
    size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        size_t next;
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starN = n;
        } else if (p < pattern.size() && MatchOne(pattern, p, name[n], next)) {
            p = next;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP;  // let the last star swallow one more character
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool IsLiteralPattern(std::string_view pattern) {
    return pattern.find_first_of("*?[\\") == std::string_view::npos;
}

}  // namespace ph
