#pragma once
// Shared by the package fuzz target and its seed maker: the first input byte
// chooses how the rest is read, the rest is the package file.

#include <string>

namespace quenlow::fuzz {

// Input byte 0, low two bits: 0 versioned, 1 sealed, 2 legacy. Bit 2: run the
// CRC check (expected CRC 0) instead of skipping it.
inline constexpr unsigned kModeVersioned = 0, kModeSealed = 1, kModeLegacy = 2, kCheckCrc = 4;

// The package keys the target uses: short (XOR byte 7) and sealed.
inline const std::string kShortKey = "7";
inline const std::string kSealedKey =
    "fuzzfuzzfuzzfuzzfuzzfuzzfuzzfuzzSEALSEALSEALSEALSEALSEALSEALSEAL"
    "91";

}  // namespace quenlow::fuzz
