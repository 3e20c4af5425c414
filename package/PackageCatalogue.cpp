#include "package/PackageCatalogue.h"

#include <cctype>
#include <cstring>

#include "package/Blowfish.h"
#include "package/LittleEndian.h"
#include "package/PackageFile.h"
#include "package/PackageFormat.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace quenlow {

namespace {

// Reveals a name block hidden as the version's rules say.
void decodeNames(std::vector<uint8_t>& block, size_t length, uint32_t seed, NameCoding coding) {
    switch (coding) {
        case NameCoding::Descrambled:
            Descramble(block.data(), length, seed);
            break;
        case NameCoding::XorSeed:
            for (auto& b : block) b ^= static_cast<uint8_t>(seed);
            break;
        case NameCoding::Plain:
            break;
    }
}

bool asciiEqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

void PackageCatalogue::reset() {
    version_ = count_ = cursor_ = storedCrc_ = 0;
    records_.clear();
    names_.clear();
    nameLength_ = 0;
}

bool PackageCatalogue::readRecords(PackageFile& file, size_t recordSize) {
    // The count must fit in what the file still holds before anything is allocated.
    if (count_ > file.remaining() / recordSize) return false;
    records_.resize(static_cast<size_t>(count_) * recordSize);
    return file.readExact(records_.data(), records_.size());
}

bool PackageCatalogue::namesValid() const {
    const size_t recordSize = form_ == EntryForm::Legacy ? kLegacyRecordSize : kRecordSize;
    for (uint32_t i = 0; i < count_; ++i) {
        uint32_t offset = get32(records_.data() + size_t(i) * recordSize);
        if (offset >= nameLength_) return false;
        if (!std::memchr(names_.data() + offset, 0, nameLength_ - offset)) return false;
    }
    return true;
}

bool PackageCatalogue::nameAt(uint32_t offset, std::string& name) const {
    if (offset >= nameLength_) return false;
    const char* start = reinterpret_cast<const char*>(names_.data()) + offset;
    const void* end = std::memchr(start, 0, nameLength_ - offset);
    if (!end) return false;
    name = EntryNameToUtf8(std::string(start, static_cast<const char*>(end)));
    return true;
}

// Both enciphered and plain catalogues open with the version; from 178 on a
// seed word follows, before that the version is the seed.
bool PackageCatalogue::readVersionAndSeed(PackageFile& file, uint32_t& seed) {
    if (!file.readWord(version_)) return false;
    if (!versionRules(PackageLayout::Versioned, version_).seedWord) {
        seed = version_;
        return true;
    }
    return file.readWord(seed);
}

// The length word and the name block it announces, never more than the file holds.
bool PackageCatalogue::readNameBlock(PackageFile& file, uint32_t& length) {
    if (!file.readWord(length) || length > file.remaining()) return false;
    names_.resize(length);
    if (!file.readExact(names_.data(), length)) return false;
    nameLength_ = length;
    return true;
}

bool PackageCatalogue::LoadHeader(PackageFile& file) {
    reset();
    form_ = EntryForm::HeaderFormA;
    uint32_t seed = 0, length = 0;
    if (!readVersionAndSeed(file, seed)) return false;
    if (!file.readWord(count_) || !readRecords(file, kRecordSize)) return false;
    if (!readNameBlock(file, length)) return false;
    const VersionRules rules = versionRules(PackageLayout::Versioned, version_);
    if (rules.storedCrc && !file.readWord(storedCrc_)) return false;
    decodeNames(names_, length, seed, rules.names);
    return namesValid();
}

bool PackageCatalogue::LoadBFCool(PackageFile& file, const uint8_t* key, size_t keyLength) {
    reset();
    uint32_t seed = 0, length = 0;
    if (!readVersionAndSeed(file, seed)) return false;
    if (!file.readWord(count_)) return false;
    const VersionRules rules = versionRules(PackageLayout::Sealed, version_);
    form_ = rules.formB ? EntryForm::FormB : EntryForm::BFCoolFormA;
    if (!readRecords(file, kRecordSize)) return false;
    do {
        if (!file.readWord(length)) return false;
    } while (length == 0);
    const uint64_t padded = (uint64_t(length) + 7) / 8 * 8;
    if (padded > file.remaining()) return false;
    names_.resize(static_cast<size_t>(padded));
    if (!file.readExact(names_.data(), names_.size())) return false;
    Blowfish(key, keyLength < 32 ? keyLength : 32).decryptBuffer(names_.data(), names_.size());
    nameLength_ = length;
    if (rules.storedCrc && !file.readWord(storedCrc_)) return false;
    decodeNames(names_, length, seed, rules.names);
    return namesValid();
}

bool PackageCatalogue::LoadLegacyHeader(PackageFile& file) {
    reset();
    form_ = EntryForm::Legacy;
    uint32_t first = 0, length = 0;
    if (!file.readWord(first) || !file.readWord(count_)) return false;
    if (!readRecords(file, kLegacyRecordSize)) return false;
    if (!readNameBlock(file, length)) return false;
    return namesValid();
}

namespace {
// Every record form starts with the name offset, the attributes and the three times.
template <class Entry>
void readRecordHead(const uint8_t* r, Entry& entry) {
    entry.nameOffset = get32(r);
    entry.attributes = get32(r + 4);
    entry.creationTime = get64(r + 8);
    entry.lastAccessTime = get64(r + 16);
    entry.lastWriteTime = get64(r + 24);
}
}  // namespace

bool PackageCatalogue::NextEntry(std::string& name, CatalogueEntry& entry) {
    if (form_ == EntryForm::Legacy || cursor_ >= count_) return false;
    const uint8_t* r = records_.data() + size_t(cursor_) * kRecordSize;
    entry = CatalogueEntry{};
    readRecordHead(r, entry);
    entry.reserved = get64(r + 48);
    if (form_ == EntryForm::FormB) {
        entry.packedSize = get64(r + 32);
        entry.value = get32(r + 40);
        entry.compressed = r[44];
        entry.reservedByte = r[45];
    } else {
        entry.packedSize = get32(r + 32);  // widened, never sign-extended
        entry.value = get32(r + 36);
        entry.compressed = r[40];
        entry.reservedByte = r[41];
    }
    ++cursor_;
    return nameAt(entry.nameOffset, name);
}

bool PackageCatalogue::NextLegacyEntry(std::string& name, LegacyEntry& entry) {
    if (form_ != EntryForm::Legacy || cursor_ >= count_) return false;
    const uint8_t* r = records_.data() + size_t(cursor_) * kLegacyRecordSize;
    entry = LegacyEntry{};
    readRecordHead(r, entry);
    entry.size = get32(r + 32);
    ++cursor_;
    return nameAt(entry.nameOffset, name);
}

uint64_t PackageCatalogue::SumProgressSizes() const {
    if (form_ == EntryForm::Legacy) return 0;
    uint64_t total = 0;
    for (uint32_t i = 0; i < count_; ++i) {
        const uint8_t* r = records_.data() + size_t(i) * kRecordSize;
        total += form_ == EntryForm::FormB ? get64(r + 32) : get32(r + 36);
    }
    return total;
}

bool PackageCatalogue::TrackTopFolder(const std::string& nameIn) {
    std::string name = nameIn;
    if (!name.empty() && name[0] == '/') name.erase(0, 1);
    size_t slash = name.find('/');
    if (slash == std::string::npos) {
        topFolder.clear();
        return false;
    }
    std::string component = name.substr(0, slash);
    if (topFolder.empty()) {
        topFolder = component;
        return true;
    }
    return asciiEqualNoCase(component, topFolder);
}

void Descramble(uint8_t* buffer, size_t length, uint32_t seed) {
    uint32_t state = 0;
    auto draw = [&state] {
        state = state * 214013u + 2531011u;
        return (state >> 16) & 0x7FFFu;
    };
    auto xorPass = [&] {
        uint32_t last = 0;
        for (size_t i = 0; i < length; ++i) {
            last = draw();
            buffer[i] ^= static_cast<uint8_t>(last);
        }
        return last;
    };
    // Each pass reseeds from the last value drawn by the one before; with no
    // bytes that is the discarded draw.
    state = seed ^ 0x5A17C3u;
    uint32_t r = 0;
    for (int round = 0; round < 5; ++round) {
        r = draw();
        uint32_t last = xorPass();
        if (length > 0) r = last;
    }
    for (uint32_t salt : {0x2E6D91u, 0x4B7Du}) {
        state = r ^ salt;
        r = draw();
        uint32_t last = xorPass();
        if (length > 0) r = last;
    }
    state = r ^ 0x16C0E27u;
    draw();
    xorPass();
}

std::string KeyK1(const std::string& key) { return key.substr(0, 32); }

std::string KeyK2(const std::string& key) {
    std::string first = key.substr(0, 64);
    return first.size() > 32 ? first.substr(first.size() - 32) : first;
}

int64_t ParseSignedDecimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        value = value * 10 + static_cast<uint64_t>(text[i++] - '0');
    return static_cast<int64_t>(negative ? 0 - value : value);
}

uint8_t SealedXorByte(const std::string& key) {
    const std::string prefix = key.substr(0, 64);
    std::string rest;
    if (!prefix.empty()) {
        size_t pos = 0;
        for (size_t hit; (hit = key.find(prefix, pos)) != std::string::npos;
             pos = hit + prefix.size())
            rest.append(key, pos, hit - pos);
        rest.append(key, pos, std::string::npos);
    }
    return static_cast<uint8_t>(ParseSignedDecimal(rest));
}

uint8_t VersionedXorByte(const std::string& key) {
    return static_cast<uint8_t>(ParseSignedDecimal(key));
}

bool IsVersionedLayoutWord(uint32_t w) { return w == 169 || (w >= 178 && w <= 181); }

bool OpenSealedPackage(PackageCatalogue& catalogue, PackageFile& package,
                       const std::string& packagePath, const std::string& packageKey) {
    uint32_t headerLength = 0;
    package.seek(0);
    bool ok = package.readWord(headerLength) && headerLength % 8 == 0 &&
              headerLength <= package.remaining();
    std::vector<uint8_t> header;
    if (ok) {
        header.resize(headerLength);
        ok = package.readExact(header.data(), header.size());
    }
    if (ok) {
        const std::string k2 = KeyK2(packageKey);
        Blowfish(reinterpret_cast<const uint8_t*>(k2.data()), k2.size())
            .decryptBuffer(header.data(), header.size());
        const std::string sidePath = packagePath + ".tmp";
        PackageFile side;
        side.createFresh(sidePath, 0600);  // a stale side file or a link there is replaced
        ok = side.isOpen() && side.write(header.data(), header.size());
        side.seek(0);
        std::string k1 = KeyK1(packageKey);
        k1.resize(32, '\0');
        ok = ok && catalogue.LoadBFCool(side, reinterpret_cast<const uint8_t*>(k1.data()), 32);
        side.close();
        fileSystem().remove(sidePath);
    }
    package.seek(4 + int64_t(headerLength));
    return ok;
}

timespec FileTimeToTimespec(uint64_t fileTime) {
    constexpr uint64_t kEpoch = 116444736000000000ull;  // 1970-01-01 as FILETIME
    timespec ts{};
    if (fileTime >= kEpoch) {
        uint64_t d = fileTime - kEpoch;
        ts.tv_sec = static_cast<time_t>(d / 10000000);
        ts.tv_nsec = static_cast<long>(d % 10000000) * 100;
    } else {
        uint64_t d = kEpoch - fileTime;
        uint64_t sec = (d + 9999999) / 10000000;
        ts.tv_sec = -static_cast<time_t>(sec);
        ts.tv_nsec = static_cast<long>(sec * 10000000 - d) * 100;
    }
    return ts;
}

uint64_t TimespecToFileTime(const timespec& ts) {
    constexpr int64_t kEpoch = 116444736000000000ll;
    return static_cast<uint64_t>(kEpoch + int64_t(ts.tv_sec) * 10000000 + ts.tv_nsec / 100);
}

std::string EntryNameToUtf8(const std::string& raw) {
    if (isValidUtf8(raw)) return raw;
    // Windows-1252: 0x80-0x9F have their own code points; the rest are Latin-1.
    static const uint16_t kHigh[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::string out;
    for (unsigned char c : raw) {
        uint32_t cp = c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace quenlow
