#include "common/Crypto.h"

#include <openssl/evp.h>

#include <stdexcept>
#include <unordered_map>

#include "common/Bytes.h"

namespace ph {
namespace {

evp_cipher_ctx_st* NewEcbContext(std::string_view key, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx ||
        EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr,
                          reinterpret_cast<const unsigned char*>(key.data()), nullptr,
                          encrypt ? 1 : 0) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        throw std::runtime_error("AES-128-ECB is not available");
    }
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    return ctx;
}

void RunEcb(EVP_CIPHER_CTX* ctx, const uint8_t* in, uint8_t* out, size_t size) {
    // EVP takes int lengths; with padding off and whole blocks no state carries over between
    // calls, so large buffers are simply cut into pieces.
    constexpr size_t kPiece = size_t(1) << 30;
    while (size > 0) {
        const size_t n = size < kPiece ? size : kPiece;
        int written = 0;
        EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(n));
        in += n;
        out += n;
        size -= n;
    }
}

}  // namespace

void Aes128Ecb::CtxDeleter::operator()(evp_cipher_ctx_st* ctx) const { EVP_CIPHER_CTX_free(ctx); }

Aes128Ecb::Aes128Ecb(std::string_view key) : m_key(key) {
    if (key.size() != 16) throw std::invalid_argument("AES-128 needs a 16-byte key");
    m_encrypt.reset(NewEcbContext(key, true));
    m_decrypt.reset(NewEcbContext(key, false));
}

Aes128Ecb::~Aes128Ecb() = default;

void Aes128Ecb::Encrypt(const uint8_t* in, uint8_t* out, size_t size) {
    RunEcb(m_encrypt.get(), in, out, size);
}

void Aes128Ecb::Decrypt(const uint8_t* in, uint8_t* out, size_t size) {
    RunEcb(m_decrypt.get(), in, out, size);
}

Aes128Ecb& Aes128Ecb::ForKey(std::string_view key) {
    thread_local std::unordered_map<std::string, std::unique_ptr<Aes128Ecb>> cache;
    // A walk through a store asks for the same key once per stream.
    thread_local Aes128Ecb* latest = nullptr;
    if (latest && latest->m_key == key) return *latest;
    auto it = cache.find(std::string(key));
    if (it == cache.end())
        it = cache.emplace(std::string(key), std::make_unique<Aes128Ecb>(key)).first;
    latest = it->second.get();
    return *latest;
}

std::string Md5(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Md5Hex(std::string_view data) { return HexLower(Md5(data)); }

std::string Base64Encode(std::string_view data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(data.data()),
                                  static_cast<int>(data.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace ph
