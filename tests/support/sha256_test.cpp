#include "support/sha256.h"

#include <gtest/gtest.h>

#include <vector>

namespace sorvanta {
namespace {

TEST(Sha256Test, NistVectorsAsLowercaseHex) {
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
                        "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(sha256Hex(std::string(1'000'000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, ByteSpanAndTextAgreeIncludingZeroBytes) {
    const std::vector<std::uint8_t> bytes = {0x00, 0xff, 0x00, 0x61};
    const std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    EXPECT_EQ(sha256Hex(bytes), sha256Hex(text));
    EXPECT_NE(sha256Hex(bytes), sha256Hex(std::string_view("\0\xff", 2)));
    EXPECT_EQ(sha256Hex(std::span<const std::uint8_t>()), sha256Hex(""));
}

}  // namespace
}  // namespace sorvanta
