// Writes the seed corpus of the package fuzz target with the package writer:
// one small package per layout and catalogue version.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "package/PackageWriter.h"

using namespace quenlow;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    const std::vector<PackageEntry> entries = {
        {.name = "Setup/", .folder = true},
        {.name = "Setup/a.txt",
         .data = "alpha alpha alpha alpha",
         .lastWriteTime = 132000000000000000ull},
        {.name = "\\Setup\\sub\\b.bin",
         .data = std::string("\x01\x02\x03\xFF", 4),
         .readOnly = true},
        {.name = "c.txt", .data = "root file"},
    };
    struct Seed {
        const char* name;
        unsigned mode;
        PackageLayout layout;
        uint32_t version;
        bool wrapped, storeLast;
    };
    const Seed seeds[] = {
        {"v178", fuzz::kModeVersioned, PackageLayout::Versioned, 178, false, false},
        {"v179crc", fuzz::kModeVersioned | fuzz::kCheckCrc, PackageLayout::Versioned, 179, false,
         true},
        {"v180", fuzz::kModeVersioned, PackageLayout::Versioned, 180, true, false},
        {"v181", fuzz::kModeVersioned, PackageLayout::Versioned, 181, false, true},
        {"s177", fuzz::kModeSealed, PackageLayout::Sealed, 177, false, false},
        {"s180", fuzz::kModeSealed | fuzz::kCheckCrc, PackageLayout::Sealed, 180, false, false},
        {"s181", fuzz::kModeSealed, PackageLayout::Sealed, 181, true, true},
        {"s196", fuzz::kModeSealed, PackageLayout::Sealed, 196, false, false},
        {"s209", fuzz::kModeSealed, PackageLayout::Sealed, 209, false, true},
        {"legacy", fuzz::kModeLegacy, PackageLayout::Legacy, 0, false, false},
    };
    for (const auto& s : seeds) {
        PackageOptions o;
        o.layout = s.layout;
        o.version = s.version;
        o.key = s.layout == PackageLayout::Sealed ? fuzz::kSealedKey : fuzz::kShortKey;
        o.zlibWrapped = s.wrapped;
        o.storeLast = s.storeLast;
        o.zeroWordsBeforeLength = s.version == 196 ? 2 : 0;
        std::string bytes(1, static_cast<char>(s.mode));
        bytes += BuildPackage(entries, o).bytes;
        std::ofstream(std::string(argv[1]) + "/" + s.name, std::ios::binary) << bytes;
    }
    PackageOptions empty;
    empty.version = 169;
    std::ofstream(std::string(argv[1]) + "/v169", std::ios::binary)
        << std::string(1, static_cast<char>(fuzz::kCheckCrc)) + BuildPackage({}, empty).bytes;
    return 0;
}
