// Arbitrary bytes through both transfer decoders, and the same bytes encoded first: a clean
// encoding must decode back to exactly what was encoded.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Crypto.h"
#include "message/Decoders.h"

namespace {

void Check(bool promise) {
    if (!promise) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    std::string base64 = input;
    ph::mime::DecodeBase64(base64);
    Check(base64.size() <= input.size() / 4 * 3 + 3);
    std::string qp = input;
    ph::mime::DecodeQuotedPrintable(qp);
    Check(qp.size() <= input.size());

    std::string encoded = ph::Base64Encode(input);
    // Line breaks as a message carries them are skipped.
    for (size_t at = 76; at < encoded.size(); at += 78) encoded.insert(at, "\r\n");
    ph::mime::DecodeBase64(encoded);
    Check(encoded == input);

    // Every byte as "=XX" with soft breaks between; zero bytes are dropped by design.
    static const char* kHex = "0123456789ABCDEF";
    std::string quoted, expected;
    for (size_t i = 0; i < input.size(); ++i) {
        const auto c = static_cast<unsigned char>(input[i]);
        quoted += '=';
        quoted += kHex[c >> 4];
        quoted += kHex[c & 15];
        if (i % 25 == 24) quoted += "=\r\n";
        if (c != 0) expected += static_cast<char>(c);
    }
    ph::mime::DecodeQuotedPrintable(quoted);
    Check(quoted == expected);
    return 0;
}
