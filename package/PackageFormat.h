#pragma once
// What each catalogue version of the two keyed layouts carries. The reader and
// the package writer both follow this one table, so they cannot drift apart.

#include <cstdint>

namespace quenlow {

enum class PackageLayout { Versioned, Sealed, Legacy };

// How the name block is hidden.
enum class NameCoding {
    XorSeed,      // every byte XORed with the seed's low byte (the version before 178)
    Descrambled,  // the four-pass descrambler, seeded with the seed
    Plain,        // nothing beyond the sealed layout's cipher
};

struct VersionRules {
    bool seedWord = false;   // a seed word follows the version (else the version is the seed)
    bool storedCrc = false;  // a CRC word follows the name block
    NameCoding names = NameCoding::XorSeed;
    bool formB = false;  // 64-bit packed sizes in the records
};

// The rules of `version` in the versioned or sealed layout.
constexpr VersionRules versionRules(PackageLayout layout, uint32_t version) {
    const bool sealed = layout == PackageLayout::Sealed;
    VersionRules r;
    r.seedWord = version >= 178;
    r.formB = sealed && version == 209;
    switch (version) {
        case 179:
            r.storedCrc = true;
            break;
        case 180:
        case 196:
            r.storedCrc = true;
            r.names = NameCoding::Descrambled;
            break;
        case 181:
            r.storedCrc = sealed;
            r.names = sealed ? NameCoding::Plain : NameCoding::Descrambled;
            break;
        case 209:
            r.storedCrc = sealed;
            if (sealed) r.names = NameCoding::Plain;
            break;
        default:
            break;
    }
    return r;
}

}  // namespace quenlow
