#pragma once
// The catalogue of one package: its entry records and name block, read from
// one of the three layouts (versioned, sealed, legacy), plus the counters the
// extraction keeps while it walks the entries.
//
// Every length, count and offset read from a package is checked against the
// bytes actually there before it is used: a catalogue that claims more than
// its file holds, or whose names do not lie (zero-terminated) inside the name
// block, does not load.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessageQueue.h"

namespace quenlow {

class PackageFile;
struct InflateScratch;

inline constexpr uint32_t FileAttribute_ReadOnly = 0x01;
inline constexpr uint32_t FileAttribute_Directory = 0x10;
inline constexpr uint32_t FileAttribute_Normal = 0x80;

inline constexpr size_t kRecordSize = 56;        // form A and form B
inline constexpr size_t kLegacyRecordSize = 48;  // legacy form

// An entry as NextEntry hands it out (the fields of form B).
struct CatalogueEntry {
    uint32_t nameOffset = 0;
    uint32_t attributes = 0;
    uint64_t creationTime = 0;  // FILETIME values
    uint64_t lastAccessTime = 0;
    uint64_t lastWriteTime = 0;
    uint64_t packedSize = 0;
    uint32_t value = 0;  // form A: the progress size; form B: carried, unused
    uint8_t compressed = 0;
    uint8_t reservedByte = 0;
    uint64_t reserved = 0;
};

// An entry of the legacy form.
struct LegacyEntry {
    uint32_t nameOffset = 0;
    uint32_t attributes = 0;
    uint64_t creationTime = 0;
    uint64_t lastAccessTime = 0;
    uint64_t lastWriteTime = 0;
    uint32_t size = 0;
};

enum class EntryForm { HeaderFormA, BFCoolFormA, FormB, Legacy };

class PackageCatalogue {
  public:
    PackageCatalogue() = default;

    // Versioned layout, from the file's position; leaves the file at the first
    // byte of entry data.
    bool LoadHeader(PackageFile& file);
    // Catalogue stream of a sealed package (the deciphered header); `key` is K1.
    bool LoadBFCool(PackageFile& file, const uint8_t* key, size_t keyLength);
    // Legacy layout; leaves the file at the first byte of entry data.
    bool LoadLegacyHeader(PackageFile& file);

    // The next entry and its name (UTF-8), or false past the last one.
    bool NextEntry(std::string& name, CatalogueEntry& entry);
    bool NextLegacyEntry(std::string& name, LegacyEntry& entry);
    void Rewind() { cursor_ = 0; }

    uint32_t entryCount() const { return count_; }
    EntryForm form() const { return form_; }
    uint32_t storedCrc() const { return storedCrc_; }

    // Sum of the progress sizes (form A) or packed sizes (form B).
    uint64_t SumProgressSizes() const;

    // Follows the single top-level folder of the names seen so far ("/"
    // separated). Returns whether the name lies below the current top folder.
    bool TrackTopFolder(const std::string& name);

    // Extraction state, owned by the job.
    std::string topFolder;
    QueueRef reportThread;
    uint64_t totalPackedRead = 0;
    uint64_t progressTotal = 0;
    uint32_t lastPercent = 0;
    // Set when an entry's write failed because the disk is full.
    bool outOfDiskSpace = false;
    // Set at shutdown; the extraction stops between pieces when it is set.
    const std::atomic<bool>* stopFlag = nullptr;
    bool stopRequested() const { return stopFlag && stopFlag->load(); }

    // Scratch of the inflate loop (buffers and decoder state), made at the
    // first compressed entry and kept across entries.
    std::shared_ptr<InflateScratch> inflateScratch;

  private:
    void reset();
    bool readRecords(PackageFile& file, size_t recordSize);
    bool readVersionAndSeed(PackageFile& file, uint32_t& seed);
    bool readNameBlock(PackageFile& file, uint32_t& length);
    bool namesValid() const;
    bool nameAt(uint32_t offset, std::string& name) const;

    EntryForm form_ = EntryForm::FormB;
    uint32_t version_ = 0;
    uint32_t count_ = 0;
    uint32_t cursor_ = 0;
    uint32_t storedCrc_ = 0;
    std::vector<uint8_t> records_;
    std::vector<uint8_t> names_;  // capacity may exceed the length (cipher blocks)
    size_t nameLength_ = 0;
};

// The four-pass descrambler of the name block. It only XORs, so it also
// scrambles.
void Descramble(uint8_t* buffer, size_t length, uint32_t seed);

// Keys and XOR bytes from the package key.
std::string KeyK1(const std::string& packageKey);
std::string KeyK2(const std::string& packageKey);
uint8_t SealedXorByte(const std::string& packageKey);
uint8_t VersionedXorByte(const std::string& packageKey);
// Leading white space, an optional sign, then digits up to the first
// non-digit; 0 when there is none. Wraps modulo 2^64 like the low bits of the
// exact value.
int64_t ParseSignedDecimal(const std::string& text);

// Versions that select the versioned layout (with a key of at most 50 characters).
bool IsVersionedLayoutWord(uint32_t word);

// Opens the sealed package at `packagePath` through `package` (already open at
// its start): reads and deciphers the header, loads it through the side file
// packagePath + ".tmp" (always removed) and leaves `package` at the first byte
// of entry data. False when the header is malformed or does not load.
bool OpenSealedPackage(PackageCatalogue& catalogue, PackageFile& package,
                       const std::string& packagePath, const std::string& packageKey);

// FILETIME (100 ns since 1601) <-> Unix time.
timespec FileTimeToTimespec(uint64_t fileTime);
uint64_t TimespecToFileTime(const timespec& ts);

// An 8-bit entry name as UTF-8: kept when it is valid UTF-8, else read as Windows-1252.
std::string EntryNameToUtf8(const std::string& raw);

}  // namespace quenlow
