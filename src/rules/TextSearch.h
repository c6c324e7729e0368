#pragma once
// The substring test of the rules: CONTAINS and the simple rules' words run it over whole
// message bodies, for every rule and every arriving message.
#include <string_view>

namespace ph {

// Whether `word` occurs in `text`, byte for byte (an empty word occurs in every text).
bool TextContains(std::string_view text, std::string_view word);

// The ways of searching that TextContains chooses from: the widest vector instructions the
// processor has, else the narrower ones every x86-64 processor has, else byte by byte. All
// give the same answers; they are named so that each can be checked against the others.
enum class TextSearchKernel { Avx2, Sse2, Plain };
// Whether this processor (and this build) can run the kernel.
bool HasTextSearchKernel(TextSearchKernel kernel);
// TextContains with the given kernel, which must be available.
bool TextContainsUsing(TextSearchKernel kernel, std::string_view text, std::string_view word);

}  // namespace ph
