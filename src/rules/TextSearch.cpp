#include "rules/TextSearch.h"

#include <cstdint>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ph {
namespace {

// The answers that need no search: 1 or 0, or -1 when the text must be searched. What is
// left for the kernels is a word of two bytes or more, no longer than the text.
int WithoutSearch(std::string_view text, std::string_view word) {
    if (word.empty()) return 1;
    if (word.size() > text.size()) return 0;
    if (word.size() == 1) return std::memchr(text.data(), word[0], text.size()) != nullptr;
    return -1;
}

bool PlainContains(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

#if defined(__x86_64__)
// The vector kernels look for the places where both the first and the last byte of the word
// are found, many places at a time, and compare only those in full. In ordinary text that
// leaves few, where a search for the first byte alone stops at every occurrence of a common
// letter. Near the end, one more block is laid so that it ends exactly at the last place
// (overlapping places already ruled out), and only a text too short for one block is
// searched byte by byte.

// Bit j of `mask` is the place base + j, whose first and last bytes match.
inline bool AnyCandidateMatches(uint64_t mask, const char* base, std::string_view word) {
    const char* const inner = word.data() + 1;
    const char* const innerEnd = word.data() + word.size() - 1;
    while (mask) {
        const char* c = base + __builtin_ctzll(mask) + 1;
        const char* w = inner;
        while (w < innerEnd && *c == *w) ++c, ++w;
        if (w == innerEnd) return true;
        mask &= mask - 1;
    }
    return false;
}

inline uint32_t Sse2Block(const char* p, size_t last, __m128i firstByte, __m128i lastByte) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + last));
    return static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(a, firstByte), _mm_cmpeq_epi8(b, lastByte))));
}

bool Sse2Contains(std::string_view text, std::string_view word) {
    const char* s = text.data();
    const size_t last = word.size() - 1, places = text.size() - last;
    const __m128i firstByte = _mm_set1_epi8(word[0]), lastByte = _mm_set1_epi8(word[last]);
    if (places < 16) return PlainContains(text, word);
    size_t i = 0;
    for (; i + 16 <= places; i += 16)
        if (AnyCandidateMatches(Sse2Block(s + i, last, firstByte, lastByte), s + i, word))
            return true;
    return i < places && AnyCandidateMatches(Sse2Block(s + places - 16, last, firstByte, lastByte),
                                             s + places - 16, word);
}

__attribute__((target("avx2"))) inline __m256i Avx2Candidates(const char* p, size_t last,
                                                              __m256i firstByte, __m256i lastByte) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + last));
    return _mm256_and_si256(_mm256_cmpeq_epi8(a, firstByte), _mm256_cmpeq_epi8(b, lastByte));
}

__attribute__((target("avx2"))) inline uint64_t Avx2Mask(__m256i candidates) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(candidates));
}

__attribute__((target("avx2"))) bool Avx2Contains(std::string_view text, std::string_view word) {
    const char* s = text.data();
    const size_t last = word.size() - 1, places = text.size() - last;
    if (places < 32) return Sse2Contains(text, word);
    const __m256i firstByte = _mm256_set1_epi8(word[0]), lastByte = _mm256_set1_epi8(word[last]);
    size_t i = 0;
    // Two blocks a step: in ordinary text most steps have no candidate at all, and one test
    // tells that for both.
    for (; i + 64 <= places; i += 64) {
        const __m256i low = Avx2Candidates(s + i, last, firstByte, lastByte);
        const __m256i high = Avx2Candidates(s + i + 32, last, firstByte, lastByte);
        const __m256i any = _mm256_or_si256(low, high);
        if (_mm256_testz_si256(any, any)) continue;
        if (AnyCandidateMatches(Avx2Mask(low) | Avx2Mask(high) << 32, s + i, word)) return true;
    }
    for (; i + 32 <= places; i += 32)
        if (AnyCandidateMatches(Avx2Mask(Avx2Candidates(s + i, last, firstByte, lastByte)), s + i,
                                word))
            return true;
    return i < places &&
           AnyCandidateMatches(Avx2Mask(Avx2Candidates(s + places - 32, last, firstByte, lastByte)),
                               s + places - 32, word);
}
#endif

}  // namespace

bool HasTextSearchKernel(TextSearchKernel kernel) {
    switch (kernel) {
#if defined(__x86_64__)
        case TextSearchKernel::Avx2:
            return __builtin_cpu_supports("avx2");
        case TextSearchKernel::Sse2:
            return true;
#endif
        case TextSearchKernel::Plain:
            return true;
        default:
            return false;
    }
}

bool TextContainsUsing(TextSearchKernel kernel, std::string_view text, std::string_view word) {
    if (const int answer = WithoutSearch(text, word); answer >= 0) return answer;
    switch (kernel) {
#if defined(__x86_64__)
        case TextSearchKernel::Avx2:
            return Avx2Contains(text, word);
        case TextSearchKernel::Sse2:
            return Sse2Contains(text, word);
#endif
        default:
            return PlainContains(text, word);
    }
}

bool TextContains(std::string_view text, std::string_view word) {
    if (const int answer = WithoutSearch(text, word); answer >= 0) return answer;
#if defined(__x86_64__)
    static const bool avx2 = HasTextSearchKernel(TextSearchKernel::Avx2);
    return avx2 ? Avx2Contains(text, word) : Sse2Contains(text, word);
#else
    return PlainContains(text, word);
#endif
}

}  // namespace ph
