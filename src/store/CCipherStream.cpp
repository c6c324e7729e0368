#include "store/CCipherStream.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/Crypto.h"

namespace ph {
namespace {

constexpr size_t kBlock = Aes128Ecb::kBlock;
// Streams are read in chunks of this many bytes: a multiple of the block size.
constexpr size_t kChunk = 2000;
static_assert(kChunk % kBlock == 0);

// Deciphers a stream's blocks as they come out of the file.
class Decipher final : public cfb::ReadFilter {
public:
    explicit Decipher(Aes128Ecb& cipher) : m_cipher(cipher) {}
    void Apply(const unsigned char* from, unsigned char* to, size_t size) override {
        m_cipher.Decrypt(from, to, size);
    }

private:
    Aes128Ecb& m_cipher;
};

// Drops the padding of the stream's last block from the end of `plain`.
void StripPad(std::string& plain) {
    if (plain.empty()) return;
    const char pad = plain.back();
    size_t keep = plain.size();
    const size_t blockStart = plain.size() - kBlock;
    while (keep > blockStart && plain[keep - 1] == pad) --keep;
    plain.resize(keep);
}

}  // namespace

CCipherStream::CCipherStream(std::shared_ptr<cfb::CompoundFile> file, cfb::EntryId entry, Mode mode)
    : m_file(std::move(file)),
      m_entry(entry),
      m_generation(m_file->Dir()[entry].generation),
      m_written(mode != Mode::Open),
      m_cutOnClose(mode == Mode::Replaced) {}

CCipherStream::~CCipherStream() { Close(); }

void CCipherStream::EnableCipher(std::string_view key) { m_cipher = &Aes128Ecb::ForKey(key); }

uint64_t CCipherStream::GetLength() const { return Usable() ? m_file->StreamSize(m_entry) : 0; }

bool CCipherStream::SetLength(uint64_t length) {
    return Usable() && m_file->SetStreamSize(m_entry, length);
}

uint64_t CCipherStream::Seek(int64_t offset, SeekOrigin origin) {
    const int64_t base = origin == SeekOrigin::Begin     ? 0
                         : origin == SeekOrigin::Current ? static_cast<int64_t>(m_pos)
                                                         : static_cast<int64_t>(GetLength());
    m_pos = static_cast<uint64_t>(std::max<int64_t>(0, base + offset));
    m_buffer.clear();
    m_bufferPos = 0;
    m_endOfData = false;
    m_tail.clear();
    m_finalWritten = false;
    return m_pos;
}

// Deciphers the next chunk into the buffer; the chunk holding the stream's last whole block
// has its padding dropped, and ends the data.
bool CCipherStream::Refill() {
    m_buffer.clear();
    m_bufferPos = 0;
    if (m_endOfData || !Usable()) return false;
    const uint64_t length = m_file->StreamSize(m_entry);
    const uint64_t wholeEnd = length - length % kBlock;
    if (m_pos >= wholeEnd) {
        m_endOfData = true;
        return false;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, wholeEnd - m_pos)) / kBlock * kBlock;
    if (n == 0) {
        m_endOfData = true;
        return false;
    }
    m_buffer.resize(n);
    Decipher decipher(*m_cipher);
    if (m_file->ReadStream(m_entry, m_pos, m_buffer.data(), n, &decipher) !=
        static_cast<int64_t>(n)) {
        m_damaged = m_endOfData = true;
        m_buffer.clear();
        return false;
    }
    m_pos += n;
    if (m_pos == wholeEnd) {
        StripPad(m_buffer);
        m_endOfData = true;  // once this buffer is delivered
    }
    return true;
}

size_t CCipherStream::Read(void* buffer, size_t count) {
    if (!Usable()) return 0;
    auto* out = static_cast<char*>(buffer);
    if (!m_cipher) {
        const int64_t got = m_file->ReadStream(m_entry, m_pos, out, count);
        if (got < 0) {
            m_damaged = true;
            return 0;
        }
        m_pos += static_cast<uint64_t>(got);
        return static_cast<size_t>(got);
    }
    size_t done = 0;
    while (done < count) {
        if (m_bufferPos == m_buffer.size() && !Refill()) break;
        const size_t n = std::min(count - done, m_buffer.size() - m_bufferPos);
        std::memcpy(out + done, m_buffer.data() + m_bufferPos, n);
        m_bufferPos += n;
        done += n;
    }
    return done;
}

std::string CCipherStream::ReadAll() {
    std::string out;
    ReadAll(out);
    return out;
}

void CCipherStream::ReadAll(std::string& out) {
    out.clear();
    if (!Usable()) return;
    const uint64_t length = m_file->StreamSize(m_entry);
    if (!m_cipher || m_bufferPos < m_buffer.size() || m_endOfData) {
        char chunk[kChunk];
        while (size_t n = Read(chunk, sizeof chunk)) out.append(chunk, n);
        return;
    }
    // Whole rest of an enciphered stream: one read and one deciphering pass.
    const uint64_t wholeEnd = length - length % kBlock;
    if (m_pos >= wholeEnd) {
        m_endOfData = true;
        return;
    }
    out.resize(static_cast<size_t>(wholeEnd - m_pos) / kBlock * kBlock);
    Decipher decipher(*m_cipher);
    if (m_file->ReadStream(m_entry, m_pos, out.data(), out.size(), &decipher) !=
        static_cast<int64_t>(out.size())) {
        m_damaged = m_endOfData = true;
        out.clear();
        return;
    }
    m_pos += out.size();
    StripPad(out);
    m_endOfData = true;
}

bool CCipherStream::ReadLine(std::string& line) {
    line.clear();
    bool any = false;
    char c;
    while (Read(&c, 1) == 1) {
        any = true;
        if (c == '\r') {
            char next;
            if (Read(&next, 1) == 1 && next != '\n') {  // not ours: give it back
                if (m_cipher)
                    --m_bufferPos;
                else
                    --m_pos;
            }
            return true;
        }
        line += c;
    }
    return any;
}

bool CCipherStream::WriteRaw(const void* data, size_t count) {
    if (!Usable() || !m_file->WriteStream(m_entry, m_pos, data, count)) return false;
    m_pos += count;
    m_written = true;
    return true;
}

bool CCipherStream::Write(const void* data, size_t count) {
    if (!m_cipher) return WriteRaw(data, count);
    std::string plain;
    if (!m_tail.empty()) {
        // A padded final block already holds the end of the previous write: write it again
        // with the new bytes behind it, as if both had come in one call.
        m_pos -= kBlock;
        plain = m_tail;
        m_tail.clear();
    }
    plain.append(static_cast<const char*>(data), count);
    const size_t whole = plain.size() - plain.size() % kBlock;
    const size_t rest = plain.size() - whole;
    if (rest) {
        m_tail = plain.substr(whole);
        const char pad = plain.back() == '\0' ? '\x01' : '\0';
        plain.append(kBlock - rest, pad);
    }
    auto* bytes = reinterpret_cast<uint8_t*>(plain.data());
    m_cipher->Encrypt(bytes, bytes, plain.size());
    m_finalWritten = rest != 0;
    if (!plain.empty()) return WriteRaw(plain.data(), plain.size());
    m_written = true;
    return true;
}

size_t CCipherStream::ReadBlocks(void* buffer, size_t count) {
    if (!Usable() || count % kBlock != 0) return 0;
    // Whole blocks only: a stream that ends inside one has its last bytes left out.
    const uint64_t length = m_file->StreamSize(m_entry);
    const uint64_t left = m_pos < length ? length - m_pos : 0;
    const size_t whole = static_cast<size_t>(std::min<uint64_t>(count, left - left % kBlock));
    std::optional<Decipher> decipher;
    if (m_cipher) decipher.emplace(*m_cipher);
    const int64_t got =
        m_file->ReadStream(m_entry, m_pos, buffer, whole, decipher ? &*decipher : nullptr);
    if (got < 0) {
        m_damaged = true;
        return 0;
    }
    m_pos += static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
}

bool CCipherStream::WriteBlocks(const void* data, size_t count) {
    if (count % kBlock != 0) return false;
    if (!m_cipher) return WriteRaw(data, count);
    std::string blocks(static_cast<const char*>(data), count);
    auto* bytes = reinterpret_cast<uint8_t*>(blocks.data());
    m_cipher->Encrypt(bytes, bytes, count);
    return WriteRaw(blocks.data(), count);
}

bool CCipherStream::Close() {
    if (m_closed) return true;
    m_closed = true;
    bool ok = true;
    if (m_cipher && m_padding && m_written && !m_finalWritten) {
        uint8_t zeros[kBlock] = {};
        m_cipher->Encrypt(zeros, zeros, kBlock);
        ok = WriteRaw(zeros, kBlock);
    }
    if (m_cutOnClose && ok && m_pos < GetLength()) ok = SetLength(m_pos);
    return ok;
}

}  // namespace ph
