#pragma once
// Thin wrappers over OpenSSL's libcrypto for the published algorithms the system uses.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct evp_cipher_ctx_st;

namespace ph {

// AES-128 in ECB mode without padding: every 16-byte block is enciphered on its own.
// Not thread-safe: one object per thread (ForKey hands out a per-thread instance).
class Aes128Ecb {
public:
    static constexpr size_t kBlock = 16;

    // `key` must hold exactly 16 bytes.
    explicit Aes128Ecb(std::string_view key);
    ~Aes128Ecb();
    Aes128Ecb(const Aes128Ecb&) = delete;
    Aes128Ecb& operator=(const Aes128Ecb&) = delete;

    // `size` must be a multiple of 16; `in` and `out` may be the same buffer.
    void Encrypt(const uint8_t* in, uint8_t* out, size_t size);
    void Decrypt(const uint8_t* in, uint8_t* out, size_t size);

    // This thread's cipher for `key`, set up once: key expansion is not repeated per stream.
    static Aes128Ecb& ForKey(std::string_view key);

private:
    struct CtxDeleter {
        void operator()(evp_cipher_ctx_st* ctx) const;
    };
    std::unique_ptr<evp_cipher_ctx_st, CtxDeleter> m_encrypt;
    std::unique_ptr<evp_cipher_ctx_st, CtxDeleter> m_decrypt;
    std::string m_key;
};

// MD5 of `data` as 32 lower-case hexadecimal digits.
std::string Md5Hex(std::string_view data);
// The raw 16-byte MD5 digest.
std::string Md5(std::string_view data);
// Standard Base64 (RFC 4648 alphabet, with padding, no line breaks).
std::string Base64Encode(std::string_view data);

}  // namespace ph
