#include <gtest/gtest.h>

#include <random>

#include "net/TerminatorSearch.h"

namespace ph {
namespace {

constexpr size_t npos = std::string_view::npos;

TEST(TerminatorSearch, LineFeedStandsForEveryKindOfLineEnd) {
    struct Case {
        const char* name;
        std::string text;
        const char* terminator;
        size_t expected;
    } cases[] = {
        {"crlf", "+OK 2\r\na\r\n.\r\n", "\n.\n", 8},
        {"bare lf", "+OK 2\na\n.\n", "\n.\n", 7},
        {"lf cr", "+OK 2\n\ra\n\r.\n\r", "\n.\n", 8},
        {"lone cr", "+OK 2\ra\r.\r", "\n.\n", 7},
        {"dot inside a line is no terminator", "+OK\r\na.b\r\n", "\n.\n", npos},
        {"dot line not yet ended", "+OK\r\na\r\n.", "\n.\n", npos},
        {"cr at the very end suffices", "+OK\r\na\r\n.\r", "\n.\n", 6},
        {"lone lf ends the dot line", "+OK\r\na\n.\n", "\n.\n", 6},
        {"cr cr is two line ends", "+OK\r\r.\r", "\n.\n", 4},
        {"one-line reply", "+OK ready\r\n", "\n", 9},
        {"one-line reply cut at its cr", "+OK ready\r", "\n", 9},
        {"first match wins", "+OK\n\n", "\n", 3},
        {"no line end", "+OK ready", "\n", npos},
        {"plain characters", "abcabd", "abd", 3},
        {"empty text", "", "\n", npos},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindTerminator(c.text, c.terminator), c.expected) << c.name;
}

// Feeding a text in pieces must find exactly what a search of the whole text so far finds,
// whatever the pieces: the search resumes late but must never skip a match.
void ExpectSameAsFullRescan(const std::string& text, const std::string& terminator,
                            const std::vector<size_t>& cuts) {
    TerminatorSearch search(terminator);
    size_t previous = 0;
    for (size_t cut : cuts) {
        if (cut <= previous || cut > text.size()) continue;
        const std::string_view prefix(text.data(), cut);
        const size_t expected = FindTerminator(prefix, terminator);
        ASSERT_EQ(search.Find(prefix), expected)
            << "text " << testing::PrintToString(text) << " cut at " << cut;
        if (expected != npos) return;
        previous = cut;
    }
}

TEST(TerminatorSearch, PiecewiseSearchFindsWhatAFullRescanFinds) {
    const std::string texts[] = {
        "+OK 2 messages\r\n1 120\r\n2 200\r\n.\r\n",
        "+OK\n\r1 1\n\r.\n\r",
        "+OK\r1\r..\r.x\r.\r",
        "+OK\r\n.\r\r\n.\r\n",
        "+OK\n\n\r\r.\n",
    };
    for (const std::string& text : texts) {
        for (const char* terminator : {"\n.\n", "\n"}) {
            for (size_t a = 1; a <= text.size(); ++a) {
                ExpectSameAsFullRescan(text, terminator, {a, text.size()});
                for (size_t b = a + 1; b <= text.size(); ++b)
                    ExpectSameAsFullRescan(text, terminator, {a, b, text.size()});
            }
        }
    }
}

TEST(TerminatorSearch, ByteByByteOverRandomLineEndsMatchesFullRescan) {
    std::mt19937 random(20240611);
    const char alphabet[] = {'\r', '\n', '.', 'a'};
    for (int round = 0; round < 2000; ++round) {
        std::string text(1 + random() % 24, ' ');
        for (char& c : text) c = alphabet[random() % 4];
        std::vector<size_t> cuts;
        for (size_t i = 1; i <= text.size(); ++i) cuts.push_back(i);
        ExpectSameAsFullRescan(text, "\n.\n", cuts);
    }
}

}  // namespace
}  // namespace ph
