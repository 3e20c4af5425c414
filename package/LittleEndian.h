#pragma once
// Little-endian words as every package layout stores them: read from bytes,
// written over bytes in place, appended to a byte string.

#include <cstdint>
#include <string>

namespace quenlow {

inline uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t get64(const uint8_t* p) {
    return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32;
}

inline void set32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
}

inline void put64(std::string& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v));
    put32(out, static_cast<uint32_t>(v >> 32));
}

}  // namespace quenlow
