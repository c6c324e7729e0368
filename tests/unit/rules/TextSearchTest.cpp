#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "rules/TextSearch.h"

namespace ph {
namespace {

using Kernel = TextSearchKernel;

std::vector<Kernel> AvailableKernels() {
    std::vector<Kernel> kernels;
    for (Kernel kernel : {Kernel::Avx512, Kernel::Avx2, Kernel::Sse2, Kernel::Plain})
        if (HasTextSearchKernel(kernel)) kernels.push_back(kernel);
    return kernels;
}

bool Expected(const std::string& text, const std::string& word) {
    return text.find(word) != std::string::npos;
}

// Every available kernel, with the rarest-byte probe, the end-byte probe and a probe made for
// a longer word, must agree with the plain search; so must TextContains itself.
void ExpectAllAgree(const std::string& text, const std::string& word, const std::string& why) {
    const bool expected = Expected(text, word);
    EXPECT_EQ(TextContains(text, word), expected) << why;
    const WordProbe probes[] = {WordProbe::Rarest(word), WordProbe::Ends(word), WordProbe{1000, 7}};
    for (const WordProbe probe : probes) {
        EXPECT_EQ(TextContains(text, word, probe), expected)
            << why << " probe " << probe.rare << "," << probe.other;
        for (Kernel kernel : AvailableKernels())
            EXPECT_EQ(TextContainsUsing(kernel, text, word, probe), expected)
                << why << " kernel " << static_cast<int>(kernel) << " probe " << probe.rare << ","
                << probe.other;
    }
}

TEST(TextSearch, PlacesAtTheEdgesOfEveryBlockWidth) {
    // Texts one place short of, at and past each block width (16, 32, 64, two blocks of 64),
    // with the word first, last, nowhere, and nowhere but for its last byte.
    const std::string word = "zebra";
    for (const size_t length : {5u, 15u, 16u, 17u, 20u, 31u, 36u, 37u, 63u, 64u, 68u, 69u, 127u,
                                128u, 132u, 133u, 200u, 300u, 2049u}) {
        const std::string filler(length - word.size(), '.');
        const std::string why = "length " + std::to_string(length);
        ExpectAllAgree(word + filler, word, why + " first");
        ExpectAllAgree(filler + word, word, why + " last");
        ExpectAllAgree(filler + "zebr.", word, why + " last byte differs");
        ExpectAllAgree(std::string(length, 'z'), word, why + " probe bytes everywhere");
    }
}

TEST(TextSearch, WordsThatNeedNoSearchAndUnusualBytes) {
    const struct {
        const char* name;
        std::string text, word;
    } cases[] = {
        {"empty word in empty text", "", ""},
        {"empty word", "abc", ""},
        {"word longer than text", "abc", "abcd"},
        {"one byte found", std::string(100, 'a') + "b", "b"},
        {"one byte missing", std::string(100, 'a'), "b"},
        {"whole text", "harbour", "harbour"},
        // A word of zeros where the text ends one zero short: the bytes past it must not count.
        {"zeros not past the end", std::string(70, 'x') + std::string(2, '\0'),
         std::string(3, '\0')},
        {"zeros at the end", std::string(70, 'x') + std::string(3, '\0'), std::string(3, '\0')},
        {"high bytes", std::string(90, '\xe9') + "\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
        {"high bytes missing", std::string(90, '\xc3'), "\xc3\xa9"},
        {"overlapping prefix", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "aaab"},
    };
    for (const auto& c : cases) ExpectAllAgree(c.text, c.word, c.name);
}

TEST(TextSearch, AgreesWithThePlainSearchOnRandomTexts) {
    // A small alphabet makes partial matches and probe hits common; lengths cross every block
    // width. Words are cut from the text (found) or drawn afresh (mostly not).
    std::mt19937 random(11);
    const std::string alphabet("ab \n\0\xff", 6);
    auto draw = [&](size_t length) {
        std::string out(length, ' ');
        for (char& c : out) c = alphabet[random() % alphabet.size()];
        return out;
    };
    for (int n = 0; n < 3000; ++n) {
        const std::string text = draw(random() % 300);
        const size_t wordLength = 1 + random() % 12;
        std::string word = draw(wordLength);
        if (random() % 2 && text.size() >= wordLength)
            word = text.substr(random() % (text.size() - wordLength + 1), wordLength);
        ExpectAllAgree(text, word, "case " + std::to_string(n));
        if (HasFailure()) return;
    }
}

TEST(TextSearch, ProbesStayInsideTheWord) {
    const struct {
        std::string word;
        WordProbe rarest;
    } cases[] = {
        {"", {0, 0}},
        {"a", {0, 0}},
        {"ab", {1, 0}},  // 'b' is rarer than 'a'
        // One byte of the word is rarer than any letter: it is the first place probed.
        {"hello\x01world", {5, 6}},
        {"the zebra", {4, 6}},
        {"opt out", {1, 5}},
    };
    for (const auto& c : cases) {
        const WordProbe rarest = WordProbe::Rarest(c.word);
        EXPECT_EQ(rarest.rare, c.rarest.rare) << c.word;
        EXPECT_EQ(rarest.other, c.rarest.other) << c.word;
        const WordProbe ends = WordProbe::Ends(c.word);
        EXPECT_EQ(ends.rare, 0u) << c.word;
        EXPECT_EQ(ends.other, c.word.empty() ? 0u : c.word.size() - 1) << c.word;
    }
}

}  // namespace
}  // namespace ph
