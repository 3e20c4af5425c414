#include "package/PackageWriter.h"

#include <dirent.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "package/Blowfish.h"
#include "package/Crc32Static.h"
#include "package/LittleEndian.h"
#include "package/PackageCatalogue.h"
#include "package/PackageFile.h"
#include "platform/FileSystem.h"

namespace quenlow {

namespace {

std::string deflateBytes(const std::string& plain, uint8_t xorByte, bool wrapped, int level) {
    std::string input = plain;
    if (xorByte)
        for (auto& c : input) c = static_cast<char>(static_cast<uint8_t>(c) ^ xorByte);
    z_stream s{};
    if (deflateInit2(&s, level, Z_DEFLATED, wrapped ? MAX_WBITS : -MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflate initialisation failed");
    std::string out(deflateBound(&s, static_cast<uLong>(input.size())), '\0');
    s.next_in = reinterpret_cast<Bytef*>(input.data());
    s.avail_in = static_cast<uInt>(input.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return out;
}

uint32_t attributesOf(const PackageEntry& e) {
    uint32_t a = e.extraAttributes;
    if (e.folder) a |= FileAttribute_Directory;
    if (e.readOnly) a |= FileAttribute_ReadOnly;
    if (!(a & (FileAttribute_Directory | FileAttribute_ReadOnly))) a |= FileAttribute_Normal;
    return a;
}

struct Packed {
    std::string data;
    bool compressed = false;
};

void validate(const std::vector<PackageEntry>& entries, const PackageOptions& o) {
    switch (o.layout) {
        case PackageLayout::Sealed:
            if (o.key.size() <= 50)
                throw std::invalid_argument(
                    "a sealed package needs a key of more than 50 characters");
            break;
        case PackageLayout::Versioned:
            if (o.key.size() > 50)
                throw std::invalid_argument("a versioned package key has at most 50 characters");
            if (o.version == 169 && !entries.empty())
                throw std::invalid_argument("a version-169 package has no entries");
            break;
        case PackageLayout::Legacy:
            if (o.key.size() > 50)
                throw std::invalid_argument("a legacy package key has at most 50 characters");
            break;
    }
    for (const auto& e : entries)
        if (e.name.find('\0') != std::string::npos)
            throw std::invalid_argument("an entry name contains a zero byte");
}

// The name block: every name zero-terminated, in entry order.
std::string nameBlock(const std::vector<PackageEntry>& entries, std::vector<uint32_t>& offsets) {
    std::string block;
    for (const auto& e : entries) {
        offsets.push_back(static_cast<uint32_t>(block.size()));
        block += e.name;
        block += '\0';
    }
    return block;
}

std::string buildLegacy(const std::vector<PackageEntry>& entries, BuiltPackage& result) {
    std::vector<uint32_t> offsets;
    const std::string names = nameBlock(entries, offsets);
    std::string out;
    put32(out, 1);  // not a versioned-layout word
    put32(out, static_cast<uint32_t>(entries.size()));
    std::string data;
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        const std::string& bytes = e.folder ? std::string() : e.data;
        if (bytes.size() > 0xFFFFFFFFull) throw std::invalid_argument("legacy entry too large");
        put32(out, offsets[i]);
        put32(out, attributesOf(e));
        put64(out, e.creationTime);
        put64(out, e.lastAccessTime);
        put64(out, e.lastWriteTime);
        put32(out, static_cast<uint32_t>(bytes.size()));
        put32(out, 0);
        put64(out, 0);
        data += bytes;
    }
    put32(out, static_cast<uint32_t>(names.size()));
    out += names;
    result.dataCrc = CCrc32Static::Compute(data.data(), data.size());
    out += data;
    return out;
}

}  // namespace

uint8_t XorByteFor(PackageLayout layout, const std::string& key) {
    switch (layout) {
        case PackageLayout::Sealed:
            return SealedXorByte(key);
        case PackageLayout::Versioned:
            return VersionedXorByte(key);
        case PackageLayout::Legacy:
            return 0;
    }
    return 0;
}

std::string UnpackParameterFor(uint32_t crc, const std::string& key) {
    return std::to_string(crc) + "^^" + key;
}

namespace {

// Each entry's packed bytes in table order; only the last file may be stored.
std::vector<Packed> packEntries(const std::vector<PackageEntry>& entries, const PackageOptions& o,
                                const VersionRules& rules) {
    const uint8_t xorByte = XorByteFor(o.layout, o.key);
    size_t lastFile = entries.size();
    for (size_t i = entries.size(); i-- > 0;)
        if (!entries[i].folder) {
            lastFile = i;
            break;
        }
    std::vector<Packed> packed(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].folder) continue;
        if (o.storeLast && i == lastFile) {
            packed[i].data = entries[i].data;
        } else {
            packed[i].data =
                deflateBytes(entries[i].data, xorByte, o.zlibWrapped, o.compressionLevel);
            packed[i].compressed = true;
        }
        if (!rules.formB && packed[i].data.size() > 0xFFFFFFFFull)
            throw std::invalid_argument("an entry of 4 GiB or more needs version 209");
    }
    return packed;
}

// Version, seed, count and the entry records.
std::string catalogueHead(const std::vector<PackageEntry>& entries,
                          const std::vector<Packed>& packed, const std::vector<uint32_t>& offsets,
                          uint32_t version, uint32_t seed, const VersionRules& rules) {
    std::string catalogue;
    put32(catalogue, version);
    if (rules.seedWord) put32(catalogue, seed);
    put32(catalogue, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        const uint64_t size = packed[i].data.size();
        put32(catalogue, offsets[i]);
        put32(catalogue, attributesOf(e));
        put64(catalogue, e.creationTime);
        put64(catalogue, e.lastAccessTime);
        put64(catalogue, e.lastWriteTime);
        if (rules.formB) {
            put64(catalogue, size);
            put32(catalogue, static_cast<uint32_t>(e.data.size()));
            catalogue += static_cast<char>(packed[i].compressed);
            catalogue += std::string(3, '\0');
        } else {
            put32(catalogue, static_cast<uint32_t>(size));
            put32(catalogue, static_cast<uint32_t>(size));  // progress size
            catalogue += static_cast<char>(packed[i].compressed);
            catalogue += std::string(7, '\0');
        }
        put64(catalogue, 0);
    }
    return catalogue;
}

void hideNames(std::string& names, uint32_t seed, NameCoding coding) {
    if (coding == NameCoding::Descrambled)
        Descramble(reinterpret_cast<uint8_t*>(names.data()), names.size(), seed);
    else if (coding == NameCoding::XorSeed)
        for (auto& c : names) c = static_cast<char>(static_cast<uint8_t>(c) ^ uint8_t(seed));
}

void encipher(std::string& bytes, const std::string& key) {
    Blowfish(reinterpret_cast<const uint8_t*>(key.data()), key.size())
        .encryptBuffer(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
}

// The sealed header: names under K1, the whole catalogue under K2, after its length.
std::string sealCatalogue(std::string catalogue, std::string names, uint32_t seed,
                          const VersionRules& rules, const PackageOptions& o, uint32_t dataCrc) {
    // The name length word must be nonzero: the reader skips zero words.
    if (names.empty()) names.assign(1, '\0');
    const uint32_t length = static_cast<uint32_t>(names.size());
    hideNames(names, seed, rules.names);
    names.resize((names.size() + 7) / 8 * 8, '\0');
    encipher(names, KeyK1(o.key));
    for (unsigned i = 0; i < o.zeroWordsBeforeLength; ++i) put32(catalogue, 0);
    put32(catalogue, length);
    catalogue += names;
    if (rules.storedCrc) put32(catalogue, dataCrc);
    catalogue.resize((catalogue.size() + 7) / 8 * 8, '\0');
    encipher(catalogue, KeyK2(o.key));
    std::string header;
    put32(header, static_cast<uint32_t>(catalogue.size()));
    return header + catalogue;
}

}  // namespace

BuiltPackage BuildPackage(const std::vector<PackageEntry>& entries, const PackageOptions& o) {
    validate(entries, o);
    BuiltPackage result;
    if (o.layout == PackageLayout::Legacy) {
        result.bytes = buildLegacy(entries, result);
        result.unpackParameter = UnpackParameterFor(result.dataCrc, o.key);
        return result;
    }
    const uint32_t v = o.version;
    if (o.layout == PackageLayout::Versioned && v == 169) {
        put32(result.bytes, v);
        result.dataCrc = 0;
        result.unpackParameter = UnpackParameterFor(0, o.key);
        return result;
    }
    const VersionRules rules = versionRules(o.layout, v);
    const std::vector<Packed> packed = packEntries(entries, o, rules);
    std::string data;
    for (const auto& p : packed) data += p.data;
    result.dataCrc = CCrc32Static::Compute(data.data(), data.size());

    std::vector<uint32_t> offsets;
    std::string names = nameBlock(entries, offsets);
    const uint32_t seed = rules.seedWord ? o.seed : v;
    std::string catalogue = catalogueHead(entries, packed, offsets, v, seed, rules);
    if (o.layout == PackageLayout::Versioned) {
        hideNames(names, seed, rules.names);
        put32(catalogue, static_cast<uint32_t>(names.size()));
        catalogue += names;
        if (rules.storedCrc) put32(catalogue, result.dataCrc);
        result.bytes = catalogue + data;
    } else {
        result.bytes = sealCatalogue(catalogue, names, seed, rules, o, result.dataCrc) + data;
    }
    result.unpackParameter = UnpackParameterFor(result.dataCrc, o.key);
    return result;
}

std::string WritePackage(const std::string& path, const std::vector<PackageEntry>& entries,
                         const PackageOptions& options) {
    BuiltPackage built = BuildPackage(entries, options);
    PackageFile file;
    if (!file.open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644) ||
        !file.write(built.bytes.data(), built.bytes.size()))
        throw std::runtime_error("cannot write " + path);
    return built.unpackParameter;
}

namespace {

void collect(const std::string& folder, const std::string& prefix, std::vector<PackageEntry>& out) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) throw std::runtime_error("cannot read folder " + folder);
    std::vector<std::string> names;
    while (dirent* d = ::readdir(dir)) {
        std::string n = d->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        const std::string path = joinPath(folder, n);
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        PackageEntry e;
        e.lastWriteTime = TimespecToFileTime(st.st_mtim);
        e.lastAccessTime = TimespecToFileTime(st.st_atim);
        e.creationTime = e.lastWriteTime;  // no creation time here
        e.readOnly = !(st.st_mode & S_IWUSR);
        if (S_ISDIR(st.st_mode)) {
            e.name = prefix + n + "/";
            e.folder = true;
            out.push_back(e);
            collect(path, e.name, out);
        } else if (S_ISREG(st.st_mode)) {
            e.name = prefix + n;
            PackageFile f;
            if (!f.open(path, O_RDONLY)) throw std::runtime_error("cannot read " + path);
            int64_t size = f.size();
            e.data.resize(size > 0 ? static_cast<size_t>(size) : 0);
            if (!f.readExact(e.data.data(), e.data.size()))
                throw std::runtime_error("cannot read " + path);
            out.push_back(std::move(e));
        }
    }
}

}  // namespace

std::vector<PackageEntry> EntriesFromFolder(const std::string& folder) {
    std::vector<PackageEntry> entries;
    collect(folder, "", entries);
    return entries;
}

}  // namespace quenlow
