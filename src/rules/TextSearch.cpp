#include "rules/TextSearch.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ph {
namespace {

// Bytes of mail text (words, markup, headers), roughly from the most common down. A byte not
// listed counts as rarer than every listed one. Each byte is listed once.
constexpr std::string_view kCommonBytes =
    " etaoinsrhldcumfpgwyb.,\n\r<>=\"/vk-:;0123456789'"
    "TAEISOCMNPRBDLHFWGU@_()!?&#%+*[]xjqzVKYJXQZ\t";

constexpr bool ListsEachByteOnce(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes.find(bytes[i], i + 1) != std::string_view::npos) return false;
    return true;
}
static_assert(ListsEachByteOnce(kCommonBytes) && kCommonBytes.size() < 256);

constexpr std::array<uint8_t, 256> kCommonness = [] {
    std::array<uint8_t, 256> commonness{};
    for (size_t i = 0; i < kCommonBytes.size(); ++i)
        commonness[static_cast<uint8_t>(kCommonBytes[i])] =
            static_cast<uint8_t>(kCommonBytes.size() - i);
    return commonness;
}();

// A text this long is searched with the word's rarest bytes: working them out reads the word
// once, which a short text does not repay.
constexpr size_t kLongText = 256;

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
// The vector kernels look for the places where both probed bytes of the word are found, many
// places at a time, and compare only those in full. In ordinary text that leaves few, where a
// search for the first byte alone stops at every occurrence of a common letter. Near the end,
// one more block is laid so that it ends exactly at the last place (overlapping places already
// ruled out). Each kernel needs at least one block of places; Search hands a shorter text to a
// narrower one, and one too short for any block is searched byte by byte. Both probed offsets
// are inside the word, so no load reaches past the text.

// Bit j of `mask` is the place base + j, whose probed bytes match. Compared here byte by byte:
// most candidates differ within the first bytes, sooner than a call would return.
inline bool AnyCandidateMatches(uint64_t mask, const char* base, std::string_view word) {
    const char* const end = word.data() + word.size();
    while (mask) {
        const char* c = base + __builtin_ctzll(mask);
        const char* w = word.data();
        while (w < end && *c == *w) ++c, ++w;
        if (w == end) return true;
        mask &= mask - 1;
    }
    return false;
}

inline uint32_t Sse2Block(const char* p, WordProbe probe, __m128i rareByte, __m128i otherByte) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + probe.rare));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + probe.other));
    return static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(a, rareByte), _mm_cmpeq_epi8(b, otherByte))));
}

bool Sse2Contains(std::string_view text, std::string_view word, WordProbe probe) {
    const char* s = text.data();
    const size_t places = text.size() - (word.size() - 1);
    const __m128i rareByte = _mm_set1_epi8(word[probe.rare]),
                  otherByte = _mm_set1_epi8(word[probe.other]);
    size_t i = 0;
    for (; i + 16 <= places; i += 16)
        if (AnyCandidateMatches(Sse2Block(s + i, probe, rareByte, otherByte), s + i, word))
            return true;
    return i < places && AnyCandidateMatches(Sse2Block(s + places - 16, probe, rareByte, otherByte),
                                             s + places - 16, word);
}

__attribute__((target("avx2"))) inline __m256i Avx2Candidates(const char* p, WordProbe probe,
                                                              __m256i rareByte, __m256i otherByte) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + probe.rare));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + probe.other));
    return _mm256_and_si256(_mm256_cmpeq_epi8(a, rareByte), _mm256_cmpeq_epi8(b, otherByte));
}

__attribute__((target("avx2"))) inline uint64_t Avx2Mask(__m256i candidates) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(candidates));
}

__attribute__((target("avx2"))) bool Avx2Contains(std::string_view text, std::string_view word,
                                                  WordProbe probe) {
    const char* s = text.data();
    const size_t places = text.size() - (word.size() - 1);
    const __m256i rareByte = _mm256_set1_epi8(word[probe.rare]);
    const __m256i otherByte = _mm256_set1_epi8(word[probe.other]);
    size_t i = 0;
    // Two blocks a step: in ordinary text most steps have no candidate at all, and one test
    // tells that for both.
    for (; i + 64 <= places; i += 64) {
        const __m256i low = Avx2Candidates(s + i, probe, rareByte, otherByte);
        const __m256i high = Avx2Candidates(s + i + 32, probe, rareByte, otherByte);
        const __m256i any = _mm256_or_si256(low, high);
        if (_mm256_testz_si256(any, any)) continue;
        if (AnyCandidateMatches(Avx2Mask(low) | Avx2Mask(high) << 32, s + i, word)) return true;
    }
    for (; i + 32 <= places; i += 32)
        if (AnyCandidateMatches(Avx2Mask(Avx2Candidates(s + i, probe, rareByte, otherByte)), s + i,
                                word))
            return true;
    return i < places && AnyCandidateMatches(
                             Avx2Mask(Avx2Candidates(s + places - 32, probe, rareByte, otherByte)),
                             s + places - 32, word);
}

// As the AVX2 kernel, 64 places per compare with the candidates straight in a mask. (Loads
// that leave out the bytes past the text would spare the fallback for short texts, but on
// processors we measured they are slower than the narrower kernels there.)
__attribute__((target("avx512bw"))) inline uint64_t Avx512Candidates(const char* p, WordProbe probe,
                                                                     __m512i rareByte,
                                                                     __m512i otherByte) {
    const __m512i a = _mm512_loadu_si512(p + probe.rare);
    const __m512i b = _mm512_loadu_si512(p + probe.other);
    return _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(a, rareByte), b, otherByte);
}

__attribute__((target("avx512bw"))) bool Avx512Contains(std::string_view text,
                                                        std::string_view word, WordProbe probe) {
    const char* s = text.data();
    const size_t places = text.size() - (word.size() - 1);
    const __m512i rareByte = _mm512_set1_epi8(word[probe.rare]);
    const __m512i otherByte = _mm512_set1_epi8(word[probe.other]);
    size_t i = 0;
    for (; i + 128 <= places; i += 128) {
        const uint64_t low = Avx512Candidates(s + i, probe, rareByte, otherByte);
        const uint64_t high = Avx512Candidates(s + i + 64, probe, rareByte, otherByte);
        if ((low | high) == 0) continue;
        if (AnyCandidateMatches(low, s + i, word) || AnyCandidateMatches(high, s + i + 64, word))
            return true;
    }
    for (; i + 64 <= places; i += 64)
        if (AnyCandidateMatches(Avx512Candidates(s + i, probe, rareByte, otherByte), s + i, word))
            return true;
    return i < places &&
           AnyCandidateMatches(Avx512Candidates(s + places - 64, probe, rareByte, otherByte),
                               s + places - 64, word);
}
#endif

// Searches with `kernel` or, for a text with fewer places than its blocks hold, with the
// widest narrower one whose blocks fit. The word has two bytes or more and fits the text.
inline bool Search(TextSearchKernel kernel, std::string_view text, std::string_view word,
                   WordProbe probe) {
    [[maybe_unused]] const size_t places = text.size() - (word.size() - 1);
    switch (kernel) {
#if defined(__x86_64__)
        case TextSearchKernel::Avx512:
            if (places >= 64) return Avx512Contains(text, word, probe);
            [[fallthrough]];
        case TextSearchKernel::Avx2:
            if (places >= 32) return Avx2Contains(text, word, probe);
            [[fallthrough]];
        case TextSearchKernel::Sse2:
            if (places >= 16) return Sse2Contains(text, word, probe);
            [[fallthrough]];
#endif
        default:
            return PlainContains(text, word);
    }
}

}  // namespace

WordProbe WordProbe::Rarest(std::string_view word) {
    if (word.size() < 2) return {};
    // Each place as one key, commonness above offset, so that the two least keys are the two
    // rarest places (the earlier of equals); kept with minimum and maximum alone, which need
    // no branch a word's bytes could mislead. Words past 16 MB have their probe in the start.
    const size_t places = std::min<size_t>(word.size(), size_t{1} << 24);
    auto key = [&](size_t at) {
        return uint32_t{kCommonness[static_cast<uint8_t>(word[at])]} << 24 |
               static_cast<uint32_t>(at);
    };
    uint32_t least = std::min(key(0), key(1)), next = std::max(key(0), key(1));
    for (size_t at = 2; at < places; ++at) {
        const uint32_t k = key(at);
        next = std::min(next, std::max(least, k));
        least = std::min(least, k);
    }
    constexpr uint32_t kOffset = (1u << 24) - 1;
    return {least & kOffset, next & kOffset};
}

WordProbe WordProbe::Ends(std::string_view word) {
    // Any two places give the same answers: past 4 GB the last byte is left out.
    return {
        0, static_cast<uint32_t>(std::min<size_t>(word.empty() ? 0 : word.size() - 1, UINT32_MAX))};
}

bool HasTextSearchKernel(TextSearchKernel kernel) {
    switch (kernel) {
#if defined(__x86_64__)
        case TextSearchKernel::Avx512:
            return __builtin_cpu_supports("avx512bw");
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

namespace {

inline TextSearchKernel Widest() {
    static const TextSearchKernel widest =
        HasTextSearchKernel(TextSearchKernel::Avx512) ? TextSearchKernel::Avx512
        : HasTextSearchKernel(TextSearchKernel::Avx2) ? TextSearchKernel::Avx2
                                                      : TextSearchKernel::Sse2;
    return widest;
}

inline bool Contains(TextSearchKernel kernel, std::string_view text, std::string_view word,
                     WordProbe probe) {
    if (const int answer = WithoutSearch(text, word); answer >= 0) return answer;
    // A probe made for another word could point past this one.
    if (probe.rare >= word.size() || probe.other >= word.size()) probe = WordProbe::Ends(word);
    return Search(kernel, text, word, probe);
}

}  // namespace

bool TextContainsUsing(TextSearchKernel kernel, std::string_view text, std::string_view word,
                       WordProbe probe) {
    return Contains(kernel, text, word, probe);
}

bool TextContainsUsing(TextSearchKernel kernel, std::string_view text, std::string_view word) {
    return Contains(kernel, text, word, WordProbe::Rarest(word));
}

bool TextContains(std::string_view text, std::string_view word, WordProbe probe) {
    return Contains(Widest(), text, word, probe);
}

bool TextContains(std::string_view text, std::string_view word) {
    if (const int answer = WithoutSearch(text, word); answer >= 0) return answer;
    return Search(Widest(), text, word,
                  text.size() >= kLongText ? WordProbe::Rarest(word) : WordProbe::Ends(word));
}

}  // namespace ph
