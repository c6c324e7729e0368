#pragma once
// A stream of the store file, plain or enciphered with AES-128-ECB under the store key.
//
// Enciphered layout: 16-byte blocks, each enciphered on its own. A final partial block is
// filled with a pad byte (0x00, or 0x01 when the last data byte is 0x00, so the pad never
// equals the last data byte); when the data ends on a block boundary, Close appends one
// block of zeros (unless padding is switched off, as for fixed records). A reader drops,
// from the last block, every trailing byte equal to its last byte.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "store/cfb/CompoundFile.h"

namespace ph {

class Aes128Ecb;

enum class SeekOrigin { Begin, Current, End };

class CCipherStream {
public:
    enum class Mode {
        Open,     // an existing stream, as it stands
        Created,  // a new, empty stream: closing it writes its end even if nothing was written
        // An existing stream being replaced: written from the start and cut where the writing
        // ends when it is closed. Unchanged bytes then cost no write at all.
        Replaced,
    };
    CCipherStream(std::shared_ptr<cfb::CompoundFile> file, cfb::EntryId entry, Mode mode);
    ~CCipherStream();  // closes
    CCipherStream(const CCipherStream&) = delete;
    CCipherStream& operator=(const CCipherStream&) = delete;

    void EnableCipher(std::string_view key);
    void SetPadding(bool on) { m_padding = on; }

    // Bytes delivered (0 at end of data or on a damaged stream).
    size_t Read(void* buffer, size_t count);
    // The rest of the data from the current position.
    std::string ReadAll();
    // The same into `out`, whose room is reused (a walk reads one such stream per row).
    void ReadAll(std::string& out);
    // Reads up to the next CR and swallows one LF after it; false at end of data.
    bool ReadLine(std::string& line);
    bool Write(const void* data, size_t count);
    bool Write(std::string_view data) { return Write(data.data(), data.size()); }

    // Whole-block access for fixed records: `count` must be a multiple of 16.
    size_t ReadBlocks(void* buffer, size_t count);
    bool WriteBlocks(const void* data, size_t count);

    uint64_t Seek(int64_t offset, SeekOrigin origin);
    uint64_t GetLength() const;
    // Cuts (or zero-extends) the stream; the position is not moved.
    bool SetLength(uint64_t length);
    bool Close();

    bool IsDamaged() const { return m_damaged; }

private:
    bool Usable() const { return m_file && m_file->IsCurrent(m_entry, m_generation); }
    bool Refill();
    bool WriteRaw(const void* data, size_t count);

    std::shared_ptr<cfb::CompoundFile> m_file;
    cfb::EntryId m_entry;
    uint32_t m_generation;
    Aes128Ecb* m_cipher = nullptr;  // this thread's cipher for the key; null while plain
    bool m_padding = true;
    bool m_finalWritten = false;
    bool m_written;        // created or written to: closing writes the end marker
    bool m_cutOnClose;
    bool m_endOfData = false;
    bool m_damaged = false;
    bool m_closed = false;
    uint64_t m_pos = 0;    // position in the stored (enciphered) bytes
    std::string m_tail;    // plaintext of a padded final block, in case more is written
    std::string m_buffer;  // deciphered bytes not yet delivered
    size_t m_bufferPos = 0;
};

}  // namespace ph
