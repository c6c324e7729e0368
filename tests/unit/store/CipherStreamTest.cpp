#include "store/CCipherStream.h"

#include <gtest/gtest.h>

#include "common/Crypto.h"
#include "store/StoreKey.h"
#include "support/MemStore.h"

namespace ph {
namespace {

// Writes `text` enciphered in one call and returns the stored bytes, deciphered.
std::string StoredPlainBlocks(test::MemStore& store, const std::string& text) {
    auto stream = store.root.CreateStream("S");
    stream->EnableCipher(kStoreKey);
    EXPECT_TRUE(stream->Write(text));
    EXPECT_TRUE(stream->Close());
    auto raw = store.root.OpenStream("S");
    std::string bytes(raw->GetLength(), '\0');
    EXPECT_EQ(raw->Read(bytes.data(), bytes.size()), bytes.size());
    auto* p = reinterpret_cast<uint8_t*>(bytes.data());
    Aes128Ecb(kStoreKey).Decrypt(p, p, bytes.size() / 16 * 16);
    return bytes;
}

std::string ReadBack(test::MemStore& store) {
    auto stream = store.root.OpenStream("S");
    stream->EnableCipher(kStoreKey);
    return stream->ReadAll();
}

TEST(CipherStream, PaddingAndEndOfDataFollowTheStoredLayout) {
    struct Case {
        const char* name;
        std::string text;
        std::string storedPlain;  // the deciphered blocks as stored
    } cases[] = {
        {"empty stream is one block of zeros", "", std::string(16, '\0')},
        {"whole block gets a block of zeros", std::string(16, 'a'), std::string(16, 'a') + std::string(16, '\0')},
        {"partial block padded with zeros", std::string(17, 'b'), std::string(17, 'b') + std::string(15, '\0')},
        {"last byte zero pads with 0x01", std::string("abc\0", 4), std::string("abc\0", 4) + std::string(12, '\x01')},
        {"zero-ending whole block", std::string(15, 'c') + '\0', std::string(15, 'c') + '\0' + std::string(16, '\0')},
        {"pad byte never equals the data", std::string(5, '\x01'), std::string(5, '\x01') + std::string(11, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::MemStore store(false);
        EXPECT_EQ(StoredPlainBlocks(store, c.text), c.storedPlain);
        EXPECT_EQ(ReadBack(store), c.text);
    }
}

TEST(CipherStream, ManyWritesStoreTheSameBytesAsOne) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += static_cast<char>(i * 7 % 256);
    test::MemStore one(false), many(false);
    const std::string single = StoredPlainBlocks(one, text);
    auto stream = many.root.CreateStream("S");
    stream->EnableCipher(kStoreKey);
    for (size_t at = 0, step = 1; at < text.size(); at += step, step = step * 3 % 37 + 1)
        ASSERT_TRUE(stream->Write(text.substr(at, step)));
    stream->Close();
    EXPECT_EQ(ReadBack(many), text);
    EXPECT_EQ(many.root.OpenStream("S")->GetLength(), one.root.OpenStream("S")->GetLength());
}

TEST(CipherStream, ReadInOddPiecesMatchesReadAll) {
    for (size_t length : {0u, 1u, 15u, 16u, 1999u, 2000u, 2001u, 4095u, 4096u, 4097u, 30000u}) {
        SCOPED_TRACE(length);
        test::MemStore store(false);
        std::string text(length, '\0');
        for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>((i * 131 + 7) % 256);
        StoredPlainBlocks(store, text);
        auto stream = store.root.OpenStream("S");
        stream->EnableCipher(kStoreKey);
        std::string pieces;
        char buffer[777];
        for (size_t n = 1; size_t got = stream->Read(buffer, n); n = n % 700 + 13) pieces.append(buffer, got);
        EXPECT_EQ(pieces, text);
        EXPECT_EQ(stream->Read(buffer, 1), 0u);  // end of data stays
    }
}

TEST(CipherStream, ReadLineSplitsAtCarriageReturnAndSwallowsOneLineFeed) {
    test::MemStore store(false);
    StoredPlainBlocks(store, "one\r\ntwo\rthree\r\n\nlast");
    auto stream = store.root.OpenStream("S");
    stream->EnableCipher(kStoreKey);
    std::vector<std::string> lines;
    for (std::string line; stream->ReadLine(line);) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three", "\nlast"}));
}

TEST(CipherStream, WholeBlocksAreUnpaddedAndRefuseRaggedLengths) {
    test::MemStore store(false);
    auto stream = store.root.CreateStream("Records");
    stream->SetPadding(false);
    stream->EnableCipher(kStoreKey);
    const std::string record(48, 'r');
    EXPECT_FALSE(stream->WriteBlocks(record.data(), 47));
    EXPECT_EQ(stream->GetLength(), 0u);
    ASSERT_TRUE(stream->WriteBlocks(record.data(), 48));
    stream->Close();
    auto again = store.root.OpenStream("Records");
    EXPECT_EQ(again->GetLength(), 48u);  // no block of zeros: padding is off
    again->EnableCipher(kStoreKey);
    std::string back(48, '\0');
    ASSERT_EQ(again->ReadBlocks(back.data(), 48), 48u);
    EXPECT_EQ(back, record);
}

TEST(CipherStream, HandleOfDestroyedStreamStopsWorking) {
    test::MemStore store(false);
    auto stream = store.root.CreateStream("S");
    ASSERT_TRUE(store.root.Destroy("S"));
    auto other = store.root.CreateStream("T");  // may reuse the same directory slot
    ASSERT_TRUE(other->Write("keep"));
    EXPECT_FALSE(stream->Write("clobber"));
    other->Close();
    EXPECT_EQ(store.root.OpenStream("T")->ReadAll(), "keep");
}

}  // namespace
}  // namespace ph
