#include <gtest/gtest.h>

#include "PackageTestUtil.h"
#include "package/PackageCatalogue.h"
#include "package/PackageFile.h"
#include "package/UnpackTask.h"

namespace quenlow::test {
namespace {

const std::string kKey64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef"
    "ghijklmnopqrstuvwxyz0123456789+-";

TEST(PackageKeys, DerivesBothKeysFromTheRightCharacters) {
    const std::string key51 = kKey64.substr(0, 51);
    EXPECT_EQ(KeyK1(key51), kKey64.substr(0, 32));
    EXPECT_EQ(KeyK2(key51), key51.substr(19));  // its last 32 characters
    EXPECT_EQ(KeyK2(kKey64), kKey64.substr(32, 32));
    EXPECT_EQ(KeyK2(kKey64 + "77"), kKey64.substr(32, 32));
}

TEST(PackageKeys, XorBytes) {
    struct Case {
        std::string key;
        bool sealed;
        int xorByte;
    };
    const std::vector<Case> cases = {
        {kKey64, true, 0},                   // exactly 64 characters: nothing left
        {kKey64 + "300", true, 300 & 0xFF},  // the rest after the first 64
        {kKey64 + " -1", true, 0xFF},        // white space and sign
        {kKey64 + "12" + kKey64, true, 12},  // every occurrence removed
        {kKey64.substr(0, 51), true, 0},     // shorter than 64: all removed
        {"42", false, 42},
        {"abc7", false, 0},  // no leading digits
        {"  +300x", false, 300 & 0xFF},
        {"-2", false, 0xFE},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.sealed ? SealedXorByte(c.key) : VersionedXorByte(c.key), c.xorByte) << c.key;
    }
}

TEST(PackageKeys, UnpackParameterSplit) {
    struct Case {
        std::string parameter;
        std::string key;
        bool skipCrc;
        uint32_t crc;
    };
    const std::vector<Case> cases = {
        {"", "", true, 0},
        {"12345", "", true, 0},                            // no "^^"
        {"^^77", "77", true, 0},                           // "^^" at the start
        {"3735928559^^k^^x", "k^^x", false, 3735928559u},  // split at the first
        {"4294967297^^", "", false, 1},                    // only the low 32 bits
        {"-1^^", "", false, 0xFFFFFFFFu},
        {"12ab^^k", "k", false, 12},
    };
    for (const auto& c : cases) {
        UnpackParameter p = SplitUnpackParameter(c.parameter);
        EXPECT_EQ(p.packageKey, c.key) << c.parameter;
        EXPECT_EQ(p.skipCrc, c.skipCrc) << c.parameter;
        EXPECT_EQ(p.expectedCrc, c.crc) << c.parameter;
    }
}

TEST(Descramble, KnownAnswersAndInverse) {
    std::string text("Setup/a.exe\0", 12);
    std::vector<uint8_t> buf(text.begin(), text.end());
    Descramble(buf.data(), buf.size(), 0x2F1C5A7);
    EXPECT_EQ(buf, (std::vector<uint8_t>{0xD2, 0x0E, 0x98, 0x2C, 0xC4, 0x53, 0x9B, 0x3A, 0xCC, 0x45,
                                         0x2E, 0x02}));
    Descramble(buf.data(), buf.size(), 0x2F1C5A7);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), text);

    uint8_t two[2] = {'x', 0};
    Descramble(two, 2, 181);
    EXPECT_EQ(two[0], 0x4F);
    EXPECT_EQ(two[1], 0x54);
    Descramble(nullptr, 0, 5);  // L = 0: draws, changes nothing, touches nothing
}

enum class Names { XorSeed, XorVersion, Descrambled, Plain };

struct LayoutRow {
    bool sealed;
    uint32_t version;
    Names names;
    bool crc;
    unsigned zeroWords = 0;
};

std::string describe(const LayoutRow& r) {
    return std::string(r.sealed ? "sealed " : "versioned ") + std::to_string(r.version);
}

void PrintTo(const LayoutRow& r, std::ostream* os) {
    *os << describe(r)
        << (r.zeroWords ? " after " + std::to_string(r.zeroWords) + " zero words" : "");
}

std::string rowName(const ::testing::TestParamInfo<LayoutRow>& info) {
    const LayoutRow& r = info.param;
    return std::string(r.sealed ? "Sealed" : "Versioned") + std::to_string(r.version) +
           (r.zeroWords ? "After" + std::to_string(r.zeroWords) + "ZeroWords" : "");
}

class NameBlockTable : public ::testing::TestWithParam<LayoutRow> {
  protected:
    ScratchDir dir;
};

// Builds the package by hand, transforming the name block the way the row says.
TEST_P(NameBlockTable, LoadsNamesCrcAndEntryForm) {
    const LayoutRow row = GetParam();
    const uint32_t seed = 0x01020304 + 0x55;  // low byte 0x59
    const std::string key = kKey64 + "9";
    std::string names("Setup/a.exe\0b\0", 14);
    std::vector<uint8_t> block(names.begin(), names.end());
    switch (row.names) {
        case Names::XorSeed:
            for (auto& b : block) b ^= uint8_t(seed);
            break;
        case Names::XorVersion:
            for (auto& b : block) b ^= uint8_t(row.version);
            break;
        case Names::Descrambled:
            Descramble(block.data(), block.size(), seed);
            break;
        case Names::Plain:
            break;
    }
    const bool formB = row.version == 209;
    Bytes cat;
    cat.u32(row.version);
    if (row.version >= 178) cat.u32(seed);
    cat.u32(2);
    if (formB) {
        for (uint32_t off : {0u, 12u}) {
            cat.u32(off).u32(0x80).u64(1).u64(2).u64(3).u64(0x100000003ull).u32(99);
            cat.s += '\1';
            cat.zeros(3).u64(0);
        }
    } else {
        cat.raw(recordA(0, 0x80, 3, 3, 1)).raw(recordA(12, 0x80, 0xFFFFFFFF, 7, 0));
    }
    for (unsigned i = 0; i < row.zeroWords; ++i) cat.u32(0);
    cat.u32(static_cast<uint32_t>(block.size()));
    std::string blockBytes(block.begin(), block.end());
    if (row.sealed) encrypt(blockBytes, KeyK1(key));
    cat.raw(blockBytes);
    if (row.crc) cat.u32(0xABCD1234);

    std::string package;
    if (row.sealed) {
        std::string header = cat.s;
        encrypt(header, KeyK2(key));
        package = Bytes().u32(static_cast<uint32_t>(header.size())).raw(header).s;
    } else {
        package = cat.s;
    }
    const int64_t dataStart = static_cast<int64_t>(package.size());
    package += "DATA";
    const std::string path = dir / "p.tarn";
    writeFile(path, package);

    PackageCatalogue catalogue;
    PackageFile file;
    ASSERT_TRUE(file.open(path, O_RDONLY));
    if (row.sealed) {
        ASSERT_TRUE(OpenSealedPackage(catalogue, file, path, key)) << describe(row);
        EXPECT_FALSE(fs::exists(path + ".tmp"));
        EXPECT_EQ(catalogue.form(), formB ? EntryForm::FormB : EntryForm::BFCoolFormA);
    } else {
        ASSERT_TRUE(catalogue.LoadHeader(file)) << describe(row);
        EXPECT_EQ(catalogue.form(), EntryForm::HeaderFormA);
    }
    EXPECT_EQ(file.position(), dataStart) << describe(row);
    EXPECT_EQ(catalogue.storedCrc(), row.crc ? 0xABCD1234u : 0u) << describe(row);

    std::string name;
    CatalogueEntry e;
    ASSERT_TRUE(catalogue.NextEntry(name, e));
    EXPECT_EQ(name, "Setup/a.exe") << describe(row);
    ASSERT_TRUE(catalogue.NextEntry(name, e));
    EXPECT_EQ(name, "b") << describe(row);
    if (formB) {
        EXPECT_EQ(e.packedSize, 0x100000003ull);
        EXPECT_EQ(e.value, 99u);
        EXPECT_EQ(e.lastWriteTime, 3u);
        EXPECT_EQ(e.compressed, 1);
        EXPECT_EQ(catalogue.SumProgressSizes(), 2 * 0x100000003ull);
    } else {
        EXPECT_EQ(e.packedSize, 4294967295ull);  // widened, not -1
        EXPECT_EQ(e.value, 7u);
        EXPECT_EQ(e.compressed, 0);
        EXPECT_EQ(catalogue.SumProgressSizes(), 10u);  // progress sizes, not packed sizes
    }
    EXPECT_FALSE(catalogue.NextEntry(name, e));
    catalogue.Rewind();
    EXPECT_TRUE(catalogue.NextEntry(name, e));
    EXPECT_EQ(name, "Setup/a.exe");
}

INSTANTIATE_TEST_SUITE_P(Versions, NameBlockTable,
                         ::testing::Values(LayoutRow{false, 177, Names::XorVersion, false},
                                           LayoutRow{false, 178, Names::XorSeed, false},
                                           LayoutRow{false, 179, Names::XorSeed, true},
                                           LayoutRow{false, 180, Names::Descrambled, true},
                                           LayoutRow{false, 181, Names::Descrambled, false},
                                           LayoutRow{false, 196, Names::Descrambled, true},
                                           LayoutRow{false, 200, Names::XorSeed, false},
                                           LayoutRow{true, 177, Names::XorVersion, false},
                                           LayoutRow{true, 178, Names::XorSeed, false},
                                           LayoutRow{true, 179, Names::XorSeed, true},
                                           LayoutRow{true, 180, Names::Descrambled, true},
                                           LayoutRow{true, 181, Names::Plain, true},
                                           LayoutRow{true, 196, Names::Descrambled, true},
                                           LayoutRow{true, 209, Names::Plain, true},
                                           LayoutRow{true, 200, Names::XorSeed, false},
                                           LayoutRow{true, 180, Names::Descrambled, true, 5}),
                         rowName);

TEST(Catalogue, EmptyCatalogueAndEmptyNameBlock) {
    ScratchDir dir;
    writeFile(dir / "p", Bytes().u32(180).u32(1).u32(0).u32(0).u32(0).s);
    PackageCatalogue catalogue;
    PackageFile file;
    ASSERT_TRUE(file.open(dir / "p", O_RDONLY));
    ASSERT_TRUE(catalogue.LoadHeader(file));
    std::string name;
    CatalogueEntry e;
    EXPECT_FALSE(catalogue.NextEntry(name, e));
    EXPECT_EQ(catalogue.entryCount(), 0u);
}

TEST(Catalogue, TopFolderTracking) {
    struct Case {
        std::vector<std::string> names;
        bool last;
        std::string top;
    };
    const std::vector<Case> cases = {
        {{"Setup/", "Setup/a.exe", "setup/sub/b"}, true, "Setup"},  // case-blind compare
        {{"Setup", "Setup/a.exe"}, true, "Setup"},                  // a bare folder name clears
        {{"/Setup/a", "Other/b"}, false, "Setup"},                  // other folder: top stays
        {{"Setup/a", "readme.txt"}, false, ""},                     // root entry clears
        {{"readme.txt", "Setup/a"}, true, "Setup"},
    };
    for (const auto& c : cases) {
        PackageCatalogue catalogue;
        bool last = false;
        for (const auto& n : c.names) last = catalogue.TrackTopFolder(n);
        EXPECT_EQ(last, c.last) << c.names.back();
        EXPECT_EQ(catalogue.topFolder, c.top) << c.names.back();
    }
}

TEST(Catalogue, NamesThatAreNotUtf8AreReadAsWindows1252) {
    EXPECT_EQ(EntryNameToUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(EntryNameToUtf8("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(EntryNameToUtf8("\x80"
                              "5"),
              "\xE2\x82\xAC"
              "5");
    EXPECT_EQ(EntryNameToUtf8("\xC3"), "\xC3\x83");  // a lone lead byte
}

// Catalogues whose counts, lengths and offsets do not fit the file fail to
// load; nothing is allocated for what the file cannot hold.
TEST(Catalogue, MalformedVersionedAndLegacyCataloguesFailCleanly) {
    const std::string goodNames("a\0", 2);
    struct Case {
        const char* what;
        std::string bytes;
        bool legacy;
    };
    const std::vector<Case> cases = {
        {"huge count", Bytes().u32(180).u32(1).u32(0x7FFFFFFF).s, false},
        {"count one past the file",
         Bytes().u32(178).u32(1).u32(2).raw(recordA(0, 0x80, 0, 0, 0)).u32(2).raw(goodNames).s,
         false},
        {"huge name block",
         Bytes()
             .u32(178)
             .u32(1)
             .u32(1)
             .raw(recordA(0, 0x80, 0, 0, 0))
             .u32(0xFFFFFFF0)
             .raw(goodNames)
             .s,
         false},
        {"name offset outside",
         Bytes().u32(181).u32(1).u32(1).raw(recordA(2, 0x80, 0, 0, 0)).u32(2).raw(goodNames).s,
         false},
        {"no terminator",
         Bytes().u32(178).u32(0).u32(1).raw(recordA(0, 0x80, 0, 0, 0)).u32(2).raw("ab").s, false},
        {"missing stored CRC", Bytes().u32(179).u32(0).u32(0).u32(0).s, false},
        {"truncated table", Bytes().u32(178).u32(0).u32(1).raw(std::string(40, '\0')).s, false},
        {"empty file", std::string(), false},
        {"legacy huge count", Bytes().u32(1).u32(0xFFFFFFFF).s, true},
        {"legacy huge names", Bytes().u32(1).u32(0).u32(0x7FFFFFFF).s, true},
        {"legacy offset outside",
         Bytes()
             .u32(1)
             .u32(1)
             .raw(std::string(48, '\0').replace(0, 1, "\x09"))
             .u32(2)
             .raw(goodNames)
             .s,
         true},
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        writeFile(dir / "p", c.bytes);
        PackageCatalogue catalogue;
        PackageFile file;
        ASSERT_TRUE(file.open(dir / "p", O_RDONLY));
        EXPECT_FALSE(c.legacy ? catalogue.LoadLegacyHeader(file) : catalogue.LoadHeader(file))
            << c.what;
    }
}

TEST(Catalogue, MalformedSealedHeadersFailAndTheSideFileIsRemoved) {
    const std::string key = kKey64 + "1";
    auto sealed = [&](const std::string& stream) {
        std::string header = stream;
        encrypt(header, KeyK2(key));
        return Bytes().u32(static_cast<uint32_t>(header.size())).raw(header).s;
    };
    std::string names("a\0", 2);
    encrypt(names, KeyK1(key));
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"length not a multiple of 8", Bytes().u32(12).zeros(12).s},
        {"length beyond the file", Bytes().u32(64).zeros(16).s},
        {"only zero words", sealed(Bytes().u32(209).u32(1).u32(0).zeros(16).s)},
        {"name block beyond the header",
         sealed(Bytes().u32(178).u32(1).u32(0).u32(4000).raw(names).s)},
        {"huge count", sealed(Bytes().u32(178).u32(1).u32(0x10000000).s)},
        {"offset outside", sealed(Bytes()
                                      .u32(181)
                                      .u32(1)
                                      .u32(1)
                                      .raw(recordA(9, 0x80, 0, 0, 0))
                                      .u32(2)
                                      .raw(names)
                                      .u32(0)
                                      .s)},
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        const std::string path = dir / "p";
        writeFile(path, c.bytes);
        PackageCatalogue catalogue;
        PackageFile file;
        ASSERT_TRUE(file.open(path, O_RDONLY));
        EXPECT_FALSE(OpenSealedPackage(catalogue, file, path, key)) << c.what;
        EXPECT_FALSE(fs::exists(path + ".tmp")) << c.what;
    }
}

}  // namespace
}  // namespace quenlow::test
