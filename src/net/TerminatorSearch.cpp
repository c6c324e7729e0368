#include "net/TerminatorSearch.h"

namespace ph {
namespace {

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// Where a match of `terminator` starting at `at` ends, or npos when there is none.
size_t MatchEndAt(std::string_view text, size_t at, std::string_view terminator) {
    size_t i = at;
    for (char wanted : terminator) {
        if (i >= text.size()) return std::string_view::npos;
        const char c = text[i++];
        if (wanted != '\n') {
            if (c != wanted) return std::string_view::npos;
            continue;
        }
        if (!IsLineEnd(c)) return std::string_view::npos;
        // CRLF and LFCR are one line end; CRCR and LFLF are two.
        if (i < text.size() && IsLineEnd(text[i]) && text[i] != c) ++i;
    }
    return i;
}

bool MatchesAt(std::string_view text, size_t at, std::string_view terminator) {
    return MatchEndAt(text, at, terminator) != std::string_view::npos;
}

}  // namespace

size_t FindTerminator(std::string_view text, std::string_view terminator) {
    for (size_t at = 0; at < text.size(); ++at)
        if (MatchesAt(text, at, terminator)) return at;
    return std::string_view::npos;
}

TerminatorSearch::TerminatorSearch(std::string_view terminator)
    : m_terminator(terminator), m_maxSpan(0) {
    for (char c : m_terminator) m_maxSpan += (c == '\n') ? 2 : 1;
}

size_t TerminatorSearch::MatchEnd(std::string_view text, size_t at) const {
    return MatchEndAt(text, at, m_terminator);
}

size_t TerminatorSearch::Find(std::string_view text) {
    for (size_t at = m_resumeAt; at < text.size(); ++at)
        if (MatchesAt(text, at, m_terminator)) return at;
    // A match tried at a position more than the span before the end looked at nothing but
    // settled text (the line-end pairing included), so more text cannot change its failure.
    // Positions closer to the end may still match once more has come.
    if (text.size() > m_maxSpan && text.size() - m_maxSpan > m_resumeAt)
        m_resumeAt = text.size() - m_maxSpan;
    return std::string_view::npos;
}

}  // namespace ph
