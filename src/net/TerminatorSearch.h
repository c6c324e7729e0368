#pragma once
// Finding the end of a reply. A "\n" in the terminator stands for one line end of any of the
// kinds servers send: CRLF, LFCR, a lone LF or a lone CR. At the very end of the text the first
// character of such a pair matches by itself, so a reply whose CR has come but whose LF has not
// is already complete. A match that would need text beyond the end fails.
#include <cstddef>
#include <string>
#include <string_view>

namespace ph {

// Where `terminator` first matches in `text`, or npos. Matches are tried at every position in
// turn, first position first.
size_t FindTerminator(std::string_view text, std::string_view terminator);

// The same answer as FindTerminator for a text that grows between calls, without rescanning
// from the start each time: positions whose match already failed for good are not tried again,
// which keeps reading a long reply linear in its length.
class TerminatorSearch {
public:
    explicit TerminatorSearch(std::string_view terminator);

    // `text` must begin with the text of the previous call (it may only have grown).
    size_t Find(std::string_view text);
    // Where the match Find reported at `at` ends (its line ends paired as they were matched).
    size_t MatchEnd(std::string_view text, size_t at) const;

private:
    std::string m_terminator;
    // The most text a match can span: two bytes for each line end, one for anything else.
    size_t m_maxSpan;
    size_t m_resumeAt = 0;
};

}  // namespace ph
