#pragma once
// Builds packages that the extraction reads: the versioned, sealed and legacy
// layouts, every catalogue version, form A and form B records, raw-deflate or
// zlib-wrapped compressed entries, a stored last entry, the XOR byte, the
// scrambled or ciphered name block, the Blowfish-sealed header and the stored
// package CRC.
//
// Typical use:
//
//     std::vector<PackageEntry> entries = {
//         {.name = "Setup/", .folder = true},
//         {.name = "Setup/setup.exe", .data = bytes, .lastWriteTime = ft},
//     };
//     PackageOptions options;                       // versioned, version 180
//     options.key = "42";                           // XOR byte 42
//     BuiltPackage package = BuildPackage(entries, options);
//     // package.bytes is the file; package.unpackParameter is "CRC^^42".
//
// or WritePackage(path, EntriesFromFolder(folder), options) for a folder tree.
// Invalid options (a key that would make the unpack task choose another
// layout, a version-169 package with entries, a form-A entry of 4 GiB or more)
// throw std::invalid_argument.

#include <cstdint>
#include <string>
#include <vector>

#include "package/PackageFormat.h"

namespace quenlow {

struct PackageEntry {
    // Relative path, "/" or "\" between components. A folder whose name ends
    // with a separator creates itself on extraction; without one, only its parents.
    std::string name;
    std::string data;  // file contents; ignored for folders
    bool folder = false;
    // FILETIME values (100 ns since 1601-01-01 UTC); 0 leaves the file's own time.
    uint64_t creationTime = 0;
    uint64_t lastAccessTime = 0;
    uint64_t lastWriteTime = 0;
    bool readOnly = false;
    uint32_t extraAttributes = 0;  // further attribute bits, stored as given
};

struct PackageOptions {
    PackageLayout layout = PackageLayout::Versioned;
    // Versioned: 169 (no catalogue) or 178-181 are what the unpack task routes
    // to this layout; other values are written as the catalogue reader
    // understands them. Sealed: any value; 209 writes form B records.
    uint32_t version = 180;
    // The package key: at most 50 characters for versioned and legacy
    // packages, more than 50 for sealed ones.
    std::string key;
    bool zlibWrapped = false;            // compressed entries with the zlib header and trailer
    bool storeLast = false;              // the last file entry stored rather than compressed
    uint32_t seed = 0x2F1C5A7;           // written for versions 178 and above
    unsigned zeroWordsBeforeLength = 0;  // sealed: zero words before the name block length
    int compressionLevel = 6;
};

struct BuiltPackage {
    std::string bytes;
    uint32_t dataCrc = 0;  // CRC-32 of the entry data (also stored when the version carries it)
    std::string unpackParameter;  // UnpackParameterFor(dataCrc, key)
};

BuiltPackage BuildPackage(const std::vector<PackageEntry>& entries, const PackageOptions& options);

// Builds and writes the package to path (replacing it). Returns the unpack
// parameter; throws std::invalid_argument for bad options and
// std::runtime_error when the file cannot be written.
std::string WritePackage(const std::string& path, const std::vector<PackageEntry>& entries,
                         const PackageOptions& options);

// The entries of a folder tree, depth first in name order, each folder as
// "name/" before its contents, with times and the read-only attribute. Only
// folders and regular files are taken. Throws std::runtime_error when the
// folder cannot be read.
std::vector<PackageEntry> EntriesFromFolder(const std::string& folder);

// The unpack parameter for a package: the CRC in decimal, "^^", the key.
std::string UnpackParameterFor(uint32_t crc, const std::string& key);

// The XOR byte a package key gives in a layout (0 for legacy).
uint8_t XorByteFor(PackageLayout layout, const std::string& key);

}  // namespace quenlow
