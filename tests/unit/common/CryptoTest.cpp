#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/Bytes.h"
#include "common/Crypto.h"

namespace ph {
namespace {

std::string FromHex(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return out;
}

uint8_t* Bytes(std::string& s) {
    return reinterpret_cast<uint8_t*>(s.data());
}

const std::string kKey = FromHex("000102030405060708090a0b0c0d0e0f");
const std::string kPlain = FromHex("00112233445566778899aabbccddeeff");
const std::string kCipher = "69c4e0d86a7b0430d8cdb78070b4c55a";

TEST(Aes128Ecb, MatchesTheFips197KnownAnswer) {
    Aes128Ecb aes(kKey);
    std::string block = kPlain;
    std::string out(16, '\0');
    aes.Encrypt(Bytes(block), Bytes(out), out.size());
    EXPECT_EQ(HexLower(out), kCipher);
    aes.Decrypt(Bytes(out), Bytes(block), block.size());
    EXPECT_EQ(block, kPlain);
}

TEST(Aes128Ecb, EnciphersEveryBlockOnItsOwnInPlace) {
    // Three copies of the known-answer block: in ECB each must give the known ciphertext.
    std::string buffer = kPlain + kPlain + kPlain;
    Aes128Ecb& aes = Aes128Ecb::ForKey(kKey);
    aes.Encrypt(Bytes(buffer), Bytes(buffer), buffer.size());
    EXPECT_EQ(HexLower(buffer), kCipher + kCipher + kCipher);
    aes.Decrypt(Bytes(buffer), Bytes(buffer), buffer.size());
    EXPECT_EQ(buffer, kPlain + kPlain + kPlain);
}

TEST(Aes128Ecb, RoundTripsManyBlocksInPlace) {
    std::string original(16 * 1000, '\0');
    uint32_t x = 12345;
    for (char& c : original) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    std::string buffer = original;
    Aes128Ecb aes(FromHex("2b7e151628aed2a6abf7158809cf4f3c"));
    aes.Encrypt(Bytes(buffer), Bytes(buffer), buffer.size());
    EXPECT_NE(buffer, original);
    aes.Decrypt(Bytes(buffer), Bytes(buffer), buffer.size());
    EXPECT_EQ(buffer, original);
}

TEST(Aes128Ecb, RefusesAKeyThatIsNot16Bytes) {
    EXPECT_THROW(Aes128Ecb(std::string(15, 'k')), std::invalid_argument);
    EXPECT_THROW(Aes128Ecb(std::string(32, 'k')), std::invalid_argument);
}

TEST(Aes128Ecb, ForKeyKeepsOneCipherPerKeyAndThread) {
    Aes128Ecb* first = &Aes128Ecb::ForKey(kKey);
    EXPECT_EQ(&Aes128Ecb::ForKey(kKey), first);
    EXPECT_NE(&Aes128Ecb::ForKey(std::string(16, 'k')), first);
    Aes128Ecb* other = nullptr;
    std::thread([&] { other = &Aes128Ecb::ForKey(kKey); }).join();
    EXPECT_NE(other, first);
}

TEST(Md5, MatchesTheRfc1321Vectors) {
    struct Case {
        std::string input;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1, '\0'), "93b885adfe0da089cdf634904fd59f71"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Md5Hex(c.input), c.expected) << c.input;
        EXPECT_EQ(Md5(c.input).size(), 16u) << c.input;
    }
}

TEST(Base64Encode, MatchesTheRfc4648Vectors) {
    struct Case {
        std::string input;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\0\xff", 2), "AP8="},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Base64Encode(c.input), c.expected) << c.input;
    }
    // No line breaks however long the input.
    EXPECT_EQ(Base64Encode(std::string(300, 'a')).find('\n'), std::string::npos);
}

}  // namespace
}  // namespace ph
