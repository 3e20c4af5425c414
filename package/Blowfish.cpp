#include "package/Blowfish.h"

#include <cstring>

#include "package/BlowfishTables.h"
#include "package/LittleEndian.h"

namespace quenlow {

Blowfish::Blowfish(const uint8_t* key, size_t keyLength) {
    std::memcpy(p_, blowfish_init::kP, sizeof p_);
    std::memcpy(s_[0], blowfish_init::kS0, sizeof s_[0]);
    std::memcpy(s_[1], blowfish_init::kS1, sizeof s_[1]);
    std::memcpy(s_[2], blowfish_init::kS2, sizeof s_[2]);
    std::memcpy(s_[3], blowfish_init::kS3, sizeof s_[3]);
    if (keyLength > 0) {
        size_t k = 0;
        for (auto& word : p_) {
            uint32_t data = 0;
            for (int i = 0; i < 4; ++i) {
                data = data << 8 | key[k];
                k = (k + 1) % keyLength;
            }
            word ^= data;
        }
    }
    uint32_t l = 0, r = 0;
    for (int i = 0; i < 18; i += 2) {
        encryptBlock(l, r);
        p_[i] = l;
        p_[i + 1] = r;
    }
    for (auto& box : s_) {
        for (int i = 0; i < 256; i += 2) {
            encryptBlock(l, r);
            box[i] = l;
            box[i + 1] = r;
        }
    }
}

uint32_t Blowfish::f(uint32_t x) const {
    return ((s_[0][x >> 24] + s_[1][(x >> 16) & 0xFF]) ^ s_[2][(x >> 8) & 0xFF]) + s_[3][x & 0xFF];
}

void Blowfish::encryptBlock(uint32_t& left, uint32_t& right) const {
    uint32_t l = left, r = right;
    for (int i = 0; i < 16; i += 2) {
        l ^= p_[i];
        r ^= f(l);
        r ^= p_[i + 1];
        l ^= f(r);
    }
    l ^= p_[16];
    r ^= p_[17];
    left = r;
    right = l;
}

void Blowfish::decryptBlock(uint32_t& left, uint32_t& right) const {
    uint32_t l = left, r = right;
    for (int i = 17; i > 1; i -= 2) {
        l ^= p_[i];
        r ^= f(l);
        r ^= p_[i - 1];
        l ^= f(r);
    }
    l ^= p_[1];
    r ^= p_[0];
    left = r;
    right = l;
}

void Blowfish::decryptBuffer(uint8_t* data, size_t length) const {
    for (size_t off = 0; off < length; off += 8) {
        uint32_t l = get32(data + off), r = get32(data + off + 4);
        decryptBlock(l, r);
        set32(data + off, l);
        set32(data + off + 4, r);
    }
}

void Blowfish::encryptBuffer(uint8_t* data, size_t length) const {
    for (size_t off = 0; off < length; off += 8) {
        uint32_t l = get32(data + off), r = get32(data + off + 4);
        encryptBlock(l, r);
        set32(data + off, l);
        set32(data + off + 4, r);
    }
}

}  // namespace quenlow
