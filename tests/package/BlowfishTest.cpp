#include <gtest/gtest.h>

#include <cstring>

#include "package/Blowfish.h"

namespace quenlow {
namespace {

// Published test vectors: 8-byte key, big-endian halves.
TEST(Blowfish, PublishedVectors) {
    struct Vector {
        uint8_t key[8];
        uint32_t plainL, plainR, cipherL, cipherR;
    };
    const Vector vectors[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0}, 0x00000000, 0x00000000, 0x4EF99745, 0x6198DD78},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         0xFFFFFFFF,
         0xFFFFFFFF,
         0x51866FD5,
         0xB85ECB8A},
        {{0x30, 0, 0, 0, 0, 0, 0, 0}, 0x10000000, 0x00000001, 0x7D856F9A, 0x613063F2},
    };
    for (const auto& v : vectors) {
        Blowfish bf(v.key, 8);
        uint32_t l = v.plainL, r = v.plainR;
        bf.encryptBlock(l, r);
        EXPECT_EQ(l, v.cipherL);
        EXPECT_EQ(r, v.cipherR);
        bf.decryptBlock(l, r);
        EXPECT_EQ(l, v.plainL);
        EXPECT_EQ(r, v.plainR);
    }
}

TEST(Blowfish, BuffersUseLittleEndianHalvesAndRoundTrip) {
    const uint8_t key[32] = "0123456789abcdef0123456789abcde";
    Blowfish bf(key, 32);
    uint8_t buffer[24];
    for (int i = 0; i < 24; ++i) buffer[i] = static_cast<uint8_t>(i * 7);
    uint8_t original[24];
    std::memcpy(original, buffer, 24);

    bf.encryptBuffer(buffer, 24);
    uint32_t l = uint32_t(original[0]) | uint32_t(original[1]) << 8 | uint32_t(original[2]) << 16 |
                 uint32_t(original[3]) << 24;
    uint32_t r = uint32_t(original[4]) | uint32_t(original[5]) << 8 | uint32_t(original[6]) << 16 |
                 uint32_t(original[7]) << 24;
    bf.encryptBlock(l, r);
    EXPECT_EQ(buffer[0], uint8_t(l));
    EXPECT_EQ(buffer[3], uint8_t(l >> 24));
    EXPECT_EQ(buffer[4], uint8_t(r));
    EXPECT_EQ(buffer[7], uint8_t(r >> 24));
    EXPECT_NE(std::memcmp(buffer + 8, original + 8, 16), 0);

    bf.decryptBuffer(buffer, 24);
    EXPECT_EQ(std::memcmp(buffer, original, 24), 0);
}

}  // namespace
}  // namespace quenlow
