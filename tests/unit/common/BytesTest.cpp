#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/Bytes.h"
#include "common/Format.h"

namespace ph {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

TEST(LeadingInt, ReadsLikeAtoiAndSaturatesInsteadOfOverflowing) {
    struct Case {
        const char* name;
        std::string input;
        int32_t expected;
    };
    const std::vector<Case> cases = {
        {"empty", "", 0},
        {"plain", "42", 42},
        {"leading zeros", "007", 7},
        {"blanks and minus", "  -17", -17},
        {"every C blank and plus", " \t\n\v\f\r+8", 8},
        {"stops at the first non-digit", "12abc", 12},
        {"exponent is not read", "1e5", 1},
        {"hex prefix is not read", "0x1F", 0},
        {"no digits", "abc", 0},
        {"sign alone", "-", 0},
        {"blank between sign and digits", "- 5", 0},
        {"two signs", "+-5", 0},
        {"non-ASCII byte is not a blank",
         "\xA0"
         "5",
         0},
        {"largest", "2147483647", kMax},
        {"smallest", "-2147483648", kMin},
        {"one past largest", "2147483648", kMax},
        {"one past smallest", "-2147483649", kMin},
        {"beyond 64 bits", "99999999999999999999999", kMax},
        {"beyond 64 bits negative", "-99999999999999999999999", kMin},
        {"embedded zero ends the number",
         std::string("12\0"
                     "3",
                     4),
         12},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LeadingInt(c.input), c.expected) << c.name;
    }
}

TEST(EqualsNoCase, FoldsOnlyAsciiLetters) {
    struct Case {
        const char* name;
        std::string a, b;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"mixed case", "Content-TYPE", "content-type", true},
        {"both empty", "", "", true},
        {"different letter", "abc", "abd", false},
        {"prefix only", "abc", "ab", false},
        {"brackets differ by the case bit", "[", "{", false},
        {"at sign and backquote differ by the case bit", "@", "`", false},
        {"Latin-1 letters are not folded", "\xC4", "\xE4", false},
        {"high bytes equal themselves", "\xC4z", "\xC4Z", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EqualsNoCase(c.a, c.b), c.expected) << c.name;
        EXPECT_EQ(EqualsNoCase(c.b, c.a), c.expected) << c.name << " (swapped)";
    }
}

TEST(LittleEndian, StoresLowByteFirstAndLoadsBackWithoutSignExtension) {
    unsigned char buf[8] = {};
    StoreLE32(buf, 0x12345678u);
    EXPECT_EQ(HexLower(std::string_view(reinterpret_cast<char*>(buf), 4)), "78563412");
    StoreLE64(buf, 0x0102030405060708ull);
    EXPECT_EQ(HexLower(std::string_view(reinterpret_cast<char*>(buf), 8)), "0807060504030201");
    StoreLE16(buf, 0xBEEF);
    EXPECT_EQ(HexLower(std::string_view(reinterpret_cast<char*>(buf), 2)), "efbe");

    for (uint64_t v : {uint64_t{0}, uint64_t{0x80}, uint64_t{0x8000}, uint64_t{0xFFFF},
                       uint64_t{0x80000000}, uint64_t{0xFFFFFFFE}, uint64_t{0x8000000000000000},
                       ~uint64_t{0}, uint64_t{0xFEDCBA9876543210}}) {
        StoreLE16(buf, static_cast<uint16_t>(v));
        EXPECT_EQ(LoadLE16(buf), static_cast<uint16_t>(v)) << std::hex << v;
        StoreLE32(buf, static_cast<uint32_t>(v));
        EXPECT_EQ(LoadLE32(buf), static_cast<uint32_t>(v)) << std::hex << v;
        StoreLE64(buf, v);
        EXPECT_EQ(LoadLE64(buf), v) << std::hex << v;
    }
}

TEST(HexLower, WritesTwoLowerCaseDigitsPerByte) {
    EXPECT_EQ(HexLower(""), "");
    EXPECT_EQ(HexLower(std::string("\x00\x0f\x7f\x80\xff", 5)), "000f7f80ff");
    EXPECT_EQ(HexLower("AZ"), "415a");
}

TEST(Format, ProducesPrintfTextOfAnyLength) {
    const std::string long300(300, 'x');
    struct Case {
        const char* name;
        std::string actual;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"empty", Format("%s", ""), ""},
        {"zero padded", Format("%06d", 42), "000042"},
        {"stream name", Format("Blob_%s_%d", "ab", 7), "Blob_ab_7"},
        {"escaped percent", Format("100%% of %d%%", 5), "100% of 5%"},
        {"fits the small buffer exactly", Format("%s", std::string(255, 'y').c_str()),
         std::string(255, 'y')},
        {"one past the small buffer", Format("%s", std::string(256, 'y').c_str()),
         std::string(256, 'y')},
        {"long with arguments after it", Format("%s-%d%%", long300.c_str(), 7), long300 + "-7%"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.actual, c.expected) << c.name;
    }
}

}  // namespace
}  // namespace ph
