#pragma once
// The substring test of the rules: CONTAINS and the simple rules' words run it over whole
// message bodies, for every rule and every arriving message.
#include <cstdint>
#include <string_view>

namespace ph {

// The two places of a word that a search compares first, at many places of the text at once;
// only where both agree is the whole word compared. The rarer the bytes there are in ordinary
// text, the fewer such places a text has. Any two places of the word give the same answers.
struct WordProbe {
    // Offsets into the word; 32 bits, so that a probe travels in one register.
    uint32_t rare = 0, other = 0;

    // The word's two rarest bytes in ordinary mail text (letters, spaces, punctuation, markup
    // counted as common), at two different places when the word has two bytes or more.
    static WordProbe Rarest(std::string_view word);
    // The first and the last byte: nothing to work out, for words searched for once in a short
    // text.
    static WordProbe Ends(std::string_view word);
};

// Whether `word` occurs in `text`, byte for byte (an empty word occurs in every text).
bool TextContains(std::string_view text, std::string_view word);
// The same with a probe made for `word` beforehand, for a word searched for in many texts.
bool TextContains(std::string_view text, std::string_view word, WordProbe probe);

// The ways of searching that TextContains chooses from: the widest vector instructions the
// processor has, else the narrower ones every x86-64 processor has, else byte by byte. All
// give the same answers; they are named so that each can be checked against the others.
enum class TextSearchKernel { Avx512, Avx2, Sse2, Plain };
// Whether this processor (and this build) can run the kernel.
bool HasTextSearchKernel(TextSearchKernel kernel);
// TextContains with the given kernel, which must be available, probing the rarest bytes.
bool TextContainsUsing(TextSearchKernel kernel, std::string_view text, std::string_view word);
bool TextContainsUsing(TextSearchKernel kernel, std::string_view text, std::string_view word,
                       WordProbe probe);

}  // namespace ph
