#pragma once
// Blowfish (16 rounds) as the package format uses it: ECB over 8-byte blocks
// whose halves are little-endian words (bytes 0-3 the left half, 4-7 the
// right), so the published big-endian test vectors apply only through the
// block functions.

#include <cstddef>
#include <cstdint>

namespace quenlow {

class Blowfish {
  public:
    // Key bytes are taken cyclically; the package keys are 32 bytes.
    Blowfish(const uint8_t* key, size_t keyLength);

    void encryptBlock(uint32_t& left, uint32_t& right) const;
    void decryptBlock(uint32_t& left, uint32_t& right) const;

    // ECB over ceil(length / 8) blocks, in place. The caller's buffer must hold
    // that many whole blocks (length rounded up to a multiple of 8).
    void decryptBuffer(uint8_t* data, size_t length) const;
    void encryptBuffer(uint8_t* data, size_t length) const;

  private:
    uint32_t f(uint32_t x) const;

    uint32_t p_[18];
    uint32_t s_[4][256];
};

}  // namespace quenlow
