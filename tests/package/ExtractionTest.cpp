#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "PackageTestUtil.h"
#include "package/PackageCatalogue.h"
#include "package/PackageExtraction.h"
#include "package/PackageWriter.h"
#include "package/UnpackMessageHandler.h"
#include "package/UnpackTask.h"
#include "platform/FileSystem.h"
#include "support/FaultyFileSystem.h"

namespace quenlow::test {
namespace {

const std::string kSealedKey = std::string(64, 'k').replace(10, 5, "Q7z!x") + "123";

uint64_t fileTime(int64_t unixSeconds) {
    return 116444736000000000ull + uint64_t(unixSeconds) * 10000000;
}

std::string compressible(size_t n) {
    std::string s;
    while (s.size() < n) s += "line " + std::to_string(s.size() % 977) + " of a setup log\n";
    s.resize(n);
    return s;
}

std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (auto& c : s) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return s;
}

std::vector<PackageEntry> sampleEntries() {
    return {
        {.name = "Setup/", .folder = true},
        {.name = "Setup/bin/tool.exe",
         .data = compressible(300000) + noise(5000, 1),
         .lastAccessTime = fileTime(1600000000),
         .lastWriteTime = fileTime(1500000000)},
        {.name = "Setup/empty.dat"},
        {.name = "Setup/readme.txt",
         .data = "Read me.\n",
         .lastWriteTime = fileTime(1400000000),
         .readOnly = true},
    };
}

class ExtractionTest : public ::testing::Test {
  protected:
    FastPacing fast;
    ScratchDir dir;
    QueueRef reports = std::make_shared<MessageQueue>();
    UnpackMessageHandler relay;
    std::string package = dir / "pkg.tarn";
    std::string out = dir / "out";
    std::string launchFolder;

    ExtractionTest() { relay.targetThread = reports; }

    void write(const std::string& bytes) { writeFile(package, bytes); }

    int unpack(const std::string& parameter, bool deleteOnCrcFailure = false) {
        UnpackParameter p = SplitUnpackParameter(parameter);
        PackageCatalogue catalogue;
        catalogue.reportThread = reports;
        return Unpack(catalogue, package, out, launchFolder, UM_PROCESS_STATUS(), &relay, p.skipCrc,
                      p.expectedCrc, p.packageKey, deleteOnCrcFailure, reports);
    }

    // Extracts without a CRC check, with the caller's catalogue (its flags and counters).
    int unpackWith(PackageCatalogue& catalogue) {
        catalogue.reportThread = reports;
        return Unpack(catalogue, package, out, launchFolder, UM_PROCESS_STATUS(), &relay, true, 0,
                      "", false, reports);
    }

    bool unpackLegacy() {
        PackageCatalogue catalogue;
        return UnpackLegacy(catalogue, package, out, UM_UNPACK_PERCENT, &relay);
    }

    void expectSampleExtracted() {
        // Times first: reading a file moves its access time.
        struct stat st {};
        ASSERT_EQ(::stat((out + "/Setup/bin/tool.exe").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
        EXPECT_EQ(st.st_atim.tv_sec, 1600000000);
        ASSERT_EQ(::stat((out + "/Setup/readme.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1400000000);
        EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only attribute";
        auto entries = sampleEntries();
        EXPECT_EQ(readFile(out + "/Setup/bin/tool.exe"), entries[1].data);
        EXPECT_EQ(readFile(out + "/Setup/empty.dat"), "");
        EXPECT_EQ(readFile(out + "/Setup/readme.txt"), "Read me.\n");
    }
};

struct LayoutCase {
    PackageLayout layout;
    uint32_t version;
    std::string key;
    bool zlibWrapped = false;
    bool storeLast = false;
};

std::string caseName(const LayoutCase& c) {
    const char* layout = c.layout == PackageLayout::Sealed   ? "Sealed"
                         : c.layout == PackageLayout::Legacy ? "Legacy"
                                                             : "Versioned";
    std::string name =
        layout + (c.layout == PackageLayout::Legacy ? "" : std::to_string(c.version));
    if (c.zlibWrapped) name += "ZlibWrapped";
    if (c.storeLast) name += "StoredLast";
    return name;
}

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << caseName(c); }

class LayoutRoundTrip : public ExtractionTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(LayoutRoundTrip, ExtractsEveryEntryWithTimesAttributesAndLaunchFolder) {
    const LayoutCase c = GetParam();
    PackageOptions o;
    o.layout = c.layout;
    o.version = c.version;
    o.key = c.key;
    o.zlibWrapped = c.zlibWrapped;
    o.storeLast = c.storeLast;
    BuiltPackage built = BuildPackage(sampleEntries(), o);
    write(built.bytes);
    if (c.layout == PackageLayout::Legacy) {
        ASSERT_TRUE(unpackLegacy());
    } else {
        ASSERT_EQ(unpack(built.unpackParameter), Unpack_Done)
            << ::testing::PrintToString(logTexts(drain(reports)));
        EXPECT_EQ(launchFolder, "Setup");
    }
    expectSampleExtracted();
    auto r = drain(reports);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().code, DownloadTaskState_Progress);
    EXPECT_EQ(r.back().lParam, 100);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutRoundTrip,
    ::testing::Values(LayoutCase{PackageLayout::Versioned, 178, "5"},
                      LayoutCase{PackageLayout::Versioned, 179, "0"},
                      LayoutCase{PackageLayout::Versioned, 180, "200"},
                      LayoutCase{PackageLayout::Versioned, 181, "", true},
                      LayoutCase{PackageLayout::Versioned, 180, "9", false, true},
                      LayoutCase{PackageLayout::Sealed, 177, kSealedKey},
                      LayoutCase{PackageLayout::Sealed, 178, kSealedKey, true},
                      LayoutCase{PackageLayout::Sealed, 179, kSealedKey},
                      LayoutCase{PackageLayout::Sealed, 180, kSealedKey},
                      LayoutCase{PackageLayout::Sealed, 181, kSealedKey.substr(0, 51)},
                      LayoutCase{PackageLayout::Sealed, 196, kSealedKey, false, true},
                      LayoutCase{PackageLayout::Sealed, 209, kSealedKey, true, true},
                      LayoutCase{PackageLayout::Legacy, 0, ""}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return caseName(info.param); });

TEST_F(ExtractionTest, Version169HasNoCatalogueAndAnEmptyCrc) {
    PackageOptions o;
    o.version = 169;
    write(BuildPackage({}, o).bytes + "trailing bytes are not data");
    EXPECT_EQ(unpack("5^^"), Unpack_CrcFailed);
    EXPECT_EQ(logTexts(drain(reports)),
              (std::vector<std::string>{"Unpacking File: " + package,
                                        "CRC Check completed reading 0 bytes",
                                        "CRC Compare 0 and 5", "CRC not valid2"}));
    EXPECT_EQ(unpack("0^^"), Unpack_Done);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(percents(drain(reports)).back(), 100);
}

TEST_F(ExtractionTest, CrcCasesAndTheirLogTexts) {
    struct Case {
        uint32_t version;
        std::string parameterPrefix;  // before "^^"; "=" means the right CRC
        bool corrupt;
        bool deleteOnFailure;
        std::vector<std::string> tail;  // the log lines after the completion line
        int result;
    };
    const std::vector<Case> cases = {
        {180, "=", true, true, {"CRC not valid"}, Unpack_CrcFailed},  // stored CRC differs
        {180, "1", false, false, {}, Unpack_Done},  // stored CRC wins over expected
        {178, "1", false, false, {"CRC Compare <crc> and 1", "CRC not valid2"}, Unpack_CrcFailed},
        {178, "=", false, false, {"CRC Compare <crc> and <crc>"}, Unpack_Done},
        {178, "0", false, true, {"CRC Compare <crc> and 0", "CRC not valid3"}, Unpack_CrcFailed},
    };
    for (const auto& c : cases) {
        PackageOptions o;
        o.version = c.version;
        BuiltPackage built = BuildPackage(sampleEntries(), o);
        if (c.corrupt) built.bytes.back() ^= 1;
        write(built.bytes);
        fs::remove_all(out);
        const uint32_t crc = built.dataCrc;
        const std::string prefix =
            c.parameterPrefix == "=" ? std::to_string(crc) : c.parameterPrefix;
        EXPECT_EQ(unpack(prefix + "^^", c.deleteOnFailure), c.result) << c.version << " " << prefix;
        auto logs = logTexts(drain(reports));
        std::vector<std::string> tail;
        for (auto it = std::find_if(logs.begin(), logs.end(),
                                    [](auto& l) { return l.rfind("CRC Check", 0) == 0; });
             it != logs.end() && ++it != logs.end();)
            tail.push_back(*it);
        std::vector<std::string> expected;
        for (std::string t : c.tail) {
            const std::string signedCrc = std::to_string(
                c.version == 178 && t.find("and 0") == std::string::npos ? int64_t(int32_t(crc))
                                                                         : int64_t(crc));
            for (size_t at; (at = t.find("<crc>")) != std::string::npos;)
                t.replace(at, 5, signedCrc);
            expected.push_back(t);
        }
        EXPECT_EQ(tail, expected) << c.version << " " << prefix;
        const bool failed = c.result != Unpack_Done;
        EXPECT_EQ(fs::exists(out), !failed) << "nothing is extracted after a CRC failure";
        EXPECT_EQ(fs::exists(package), !(failed && c.deleteOnFailure));
    }
}

TEST_F(ExtractionTest, SkippedCrcHasNoCrcPass) {
    PackageOptions o;
    o.version = 178;
    write(BuildPackage(sampleEntries(), o).bytes);
    ASSERT_EQ(unpack("no separator"), Unpack_Done);
    auto r = drain(reports);
    for (const auto& rep : r) EXPECT_NE(rep.code, DownloadTaskState_CrcStarted);
    EXPECT_EQ(std::count_if(r.begin(), r.end(),
                            [](auto& x) { return x.code == DownloadTaskState_CrcFinished; }),
              1);
    expectSampleExtracted();
}

TEST_F(ExtractionTest, XorAppliesToInflatedBytesOnlyAndZlibWrappedStreamsFallBack) {
    const std::string text = compressible(1000);
    std::vector<PackageEntry> entries = {{.name = "a.txt", .data = text},
                                         {.name = "b.bin", .data = text}};
    PackageOptions o;
    o.version = 181;
    o.key = "77";
    o.storeLast = true;
    o.zlibWrapped = true;
    BuiltPackage built = BuildPackage(entries, o);
    // Entry data starts right after the catalogue: V, S, N, 2 records, L, names.
    const size_t dataStart = 12 + 2 * 56 + 4 + std::string("a.txt\0b.bin\0", 12).size();
    ASSERT_EQ(static_cast<uint8_t>(built.bytes[dataStart]), 0x78) << "zlib header";
    write(built.bytes);
    // Unpacking with XOR byte 78 instead of 77 leaves every inflated byte off by 77^78.
    ASSERT_EQ(unpack("^^78"), Unpack_Done);
    std::string expected = text;
    for (auto& ch : expected) ch = static_cast<char>(ch ^ 77 ^ 78);
    EXPECT_EQ(readFile(out + "/a.txt"), expected);
    EXPECT_EQ(readFile(out + "/b.bin"), text) << "stored data carries no XOR";
    o.key = "0";
    write(BuildPackage(entries, o).bytes);
    ASSERT_EQ(unpack("^^"), Unpack_Done);
    EXPECT_EQ(readFile(out + "/a.txt"), text);
}

TEST_F(ExtractionTest, BackslashNamesAndTheLaunchFolder) {
    struct Case {
        std::vector<std::string> names;
        std::string launchFolder;
    };
    const std::vector<Case> cases = {
        {{"\\Setup\\a.txt", "Setup/b\\c.txt"}, "Setup"},
        {{"Setup\\a.txt", "readme.txt"}, "given"},  // last entry at the root: left as given
        {{"Setup/a.txt", "Other/b.txt"}, "given"},
    };
    for (const auto& c : cases) {
        std::vector<PackageEntry> entries;
        for (const auto& n : c.names) entries.push_back({.name = n, .data = n});
        write(BuildPackage(entries, {}).bytes);
        out = dir / "out/";  // a trailing separator must not double up
        launchFolder = "given";
        ASSERT_EQ(unpack("^^"), Unpack_Done);
        EXPECT_EQ(launchFolder, c.launchFolder) << c.names.back();
        for (const auto& n : c.names) {
            std::string rel = n;
            std::replace(rel.begin(), rel.end(), '\\', '/');
            if (rel[0] == '/') rel.erase(0, 1);
            EXPECT_EQ(readFile(dir / "out/" + rel), n) << rel;
        }
        fs::remove_all(dir / "out");
    }
}

TEST_F(ExtractionTest, ReplacesAReadOnlyFileAndTinyTotalsGiveDefinedPercents) {
    writeFile(out + "/a.txt", "old contents");
    ::chmod((out + "/a.txt").c_str(), 0444);
    write(BuildPackage({{.name = "a.txt", .data = "new"}}, {}).bytes);  // total below 100 bytes
    ASSERT_EQ(unpack("^^"), Unpack_Done);
    EXPECT_EQ(readFile(out + "/a.txt"), "new");
    for (int p : percents(drain(reports))) EXPECT_LE(p, 100);
}

TEST(ExecutableSnifferTest, RecognisesProgramsFromTheirFirstBytesFedInPieces) {
    struct Case {
        std::vector<std::string> pieces;
        bool executable;
    };
    const std::vector<Case> cases = {
        {{"#!/bin/sh\n"}, true},
        {{"#", "!", "/bin/sh"}, true},
        {{"#!"}, true},
        {{std::string("\x7f"
                      "ELF\x02",
                      5)},
         true},
        {{"\x7f", "", "E", "LF"}, true},
        {{"\x7f"
          "EL"},
         false},  // too short to be an ELF file
        {{"#"}, false},
        {{}, false},
        {{" #!/bin/sh"}, false},
        {{"x", "#!"}, false},
        {{"\x7f"
          "ELG"},
         false},
        {{"!#"}, false},
    };
    for (const auto& c : cases) {
        ExecutableSniffer head;
        std::string all;
        for (const auto& p : c.pieces) {
            head.feed(p.data(), p.size());
            all += p;
        }
        EXPECT_EQ(head.executable(), c.executable) << ::testing::PrintToString(all);
    }
}

TEST_F(ExtractionTest, ProgramsGetExecuteBitsInEveryDataPath) {
    struct Case {
        std::string name, data;
        bool readOnly;
        mode_t mode;
    };
    const std::vector<Case> cases = {
        {"Setup/setup.sh", "#!/bin/sh\necho installing\n", false, 0755},
        {"Setup/setup",
         std::string("\x7f"
                     "ELF\x02\x01\x01\0",
                     8) +
             noise(3000, 5),
         false, 0755},
        {"Setup/readme.txt", "# Read me\nnot a script #!\n", false, 0644},
        // Large enough to inflate in several output pieces.
        {"Setup/install.sh", "#!/bin/sh\n" + compressible(600000), true, 0555},
        {"Setup/notes.txt", "plain text", true, 0444},
        {"Setup/elfish",
         "\x7f"
         "EL",
         false, 0644},
        {"Setup/empty", "", false, 0644},
    };
    auto entryOf = [](const Case& c) {
        return PackageEntry{.name = c.name, .data = c.data, .readOnly = c.readOnly};
    };
    auto extract = [&](const std::vector<PackageEntry>& entries, const PackageOptions& o) {
        fs::remove_all(out);
        BuiltPackage built = BuildPackage(entries, o);
        write(built.bytes);
        if (o.layout == PackageLayout::Legacy)
            return unpackLegacy() ? Unpack_Done : Unpack_NotLoaded;
        return unpack(built.unpackParameter);
    };
    auto expectModes = [&](const std::vector<Case>& expected, const std::string& path) {
        for (const auto& c : expected) {
            struct stat st {};
            ASSERT_EQ(::stat((out + "/" + c.name).c_str(), &st), 0) << c.name;
            EXPECT_EQ(st.st_mode & 07777, c.mode) << c.name << " through " << path;
            EXPECT_EQ(readFile(out + "/" + c.name), c.data) << c.name;
        }
    };
    std::vector<PackageEntry> all;
    for (const auto& c : cases) all.push_back(entryOf(c));
    PackageOptions compressed;
    compressed.key = "77";
    PackageOptions wrapped = compressed;
    wrapped.zlibWrapped = true;
    PackageOptions legacy;
    legacy.layout = PackageLayout::Legacy;
    for (const auto& [options, path] : std::vector<std::pair<PackageOptions, std::string>>{
             {compressed, "inflate"}, {wrapped, "zlib-wrapped inflate"}, {legacy, "legacy copy"}}) {
        ASSERT_EQ(extract(all, options), Unpack_Done) << path;
        expectModes(cases, path);
    }
    // Only the last file entry of a package can be stored.
    PackageOptions stored;
    stored.storeLast = true;
    for (const auto& c : cases) {
        ASSERT_EQ(extract({entryOf(c)}, stored), Unpack_Done) << c.name;
        expectModes({c}, "stored copy");
    }
}

TEST_F(ExtractionTest, EntriesThatWouldLeaveTheOutputFolderAreNotWritten) {
    fs::create_directories(out);
    fs::create_directories(dir / "outside");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (out + "/link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "outside/target").c_str(), (out + "/filelink").c_str()), 0);
    // A link to a file that exists outside the output folder: the entry is
    // refused like one through a dangling link, and the file keeps its bytes.
    const std::string kept = dir / "kept.txt";
    writeFile(kept, "not yours");
    ASSERT_EQ(::symlink(kept.c_str(), (out + "/keptlink").c_str()), 0);
    const std::vector<std::string> names = {"../evil",   "Setup/../../evil", "\\\\abs/evil",
                                            "link/evil", "filelink",         "link/",
                                            "keptlink"};
    for (bool legacy : {false, true}) {
        for (const auto& n : names) {
            PackageOptions o;
            if (legacy) o.layout = PackageLayout::Legacy;
            PackageEntry e{.name = n, .data = "x"};
            e.folder = n.back() == '/';
            write(BuildPackage({{.name = "ok.txt", .data = "fine"}, e}, o).bytes);
            if (legacy) {
                EXPECT_FALSE(unpackLegacy()) << n;
            } else {
                EXPECT_EQ(unpack("^^"), Unpack_NotLoaded) << n;
                auto logs = logTexts(drain(reports));
                ASSERT_FALSE(logs.empty());
                EXPECT_EQ(logs.back().rfind("Error(TARN-1004): unable to create file ", 0), 0u)
                    << logs.back();
                EXPECT_NE(logs.back().find(" during unpacking phase."), std::string::npos);
            }
            EXPECT_EQ(readFile(out + "/ok.txt"), "fine");
        }
    }
    EXPECT_TRUE(filesBelow(dir / "outside").empty());
    EXPECT_EQ(readFile(kept), "not yours");
    EXPECT_TRUE(fs::is_symlink(out + "/keptlink"));
    EXPECT_EQ(fs::read_symlink(out + "/keptlink"), fs::path(kept));
    EXPECT_FALSE(fs::exists(dir / "evil"));
    EXPECT_FALSE(fs::exists("/abs/evil"));
}

TEST_F(ExtractionTest, DataAndOutputFailures) {
    PackageOptions o;
    o.version = 178;
    BuiltPackage built = BuildPackage(sampleEntries(), o);

    write(built.bytes.substr(0, built.bytes.size() - 100));  // truncated compressed data
    EXPECT_EQ(unpack("^^"), Unpack_EntryFailed);
    EXPECT_EQ(logTexts(drain(reports)).back(),
              "Error(TARN-1004): unable to open " + out + "/Setup/bin/tool.exe For output2");

    std::string corrupt = built.bytes;
    const size_t dataStart = 12 + 4 * 56 + 4 + 59;  // V, S, N, records, L, names
    for (size_t i = dataStart + 20; i < dataStart + 220; ++i) corrupt[i] = 'Z';
    write(corrupt);
    EXPECT_EQ(unpack("^^"), Unpack_EntryFailed) << "corrupt deflate data";

    write(built.bytes);
    FaultyFileSystem faulty;
    faulty.writeFault.error = ENOSPC;
    setFileSystem(&faulty);
    int full = unpack("^^");
    faulty.writeFault.error = 0;
    faulty.openFault.error = EACCES;
    int denied = unpack("^^");
    setFileSystem(nullptr);
    EXPECT_EQ(full, Unpack_EntryFailed);
    EXPECT_EQ(denied, 0);
    auto logs = logTexts(drain(reports));
    EXPECT_EQ(logs.back(), "Error(TARN-1004): unable to create file " + out +
                               "/Setup/bin/tool.exe during unpacking phase.");

    // Legacy data that ends before an entry's size is a failure, not a short file.
    o.layout = PackageLayout::Legacy;
    built = BuildPackage(sampleEntries(), o);
    write(built.bytes.substr(0, built.bytes.size() - 20));
    EXPECT_FALSE(unpackLegacy());
}

TEST_F(ExtractionTest, EntriesOfSeveralChunksRoundTripAndKeepTheirStartWhenCut) {
    // Incompressible data packs to several 256 KiB reads; text inflates to
    // several output buffers per read.
    const std::string data = noise(700000, 3) + compressible(900000) + noise(1001, 4);
    for (bool zlibWrapped : {false, true}) {
        PackageOptions o;
        o.key = "91";
        o.zlibWrapped = zlibWrapped;
        BuiltPackage built = BuildPackage(
            {{.name = "big.bin", .data = data}, {.name = "next.txt", .data = "next"}}, o);
        write(built.bytes);
        fs::remove_all(out);
        ASSERT_EQ(unpack(built.unpackParameter), Unpack_Done) << zlibWrapped;
        EXPECT_EQ(readFile(out + "/big.bin"), data) << zlibWrapped;
        EXPECT_EQ(readFile(out + "/next.txt"), "next");

        // The package ends inside the big entry: what was inflated before stays.
        write(built.bytes.substr(0, built.bytes.size() - 150000));
        fs::remove_all(out);
        EXPECT_EQ(unpack("^^91"), Unpack_EntryFailed);
        const auto partial = readFile(out + "/big.bin");
        ASSERT_TRUE(partial);
        EXPECT_GT(partial->size(), 262144u) << "more than one buffer was inflated";
        EXPECT_LT(partial->size(), data.size());
        EXPECT_EQ(data.compare(0, partial->size(), *partial), 0)
            << "a start of the data, unchanged";

        // A write that fails after the first one fails the entry.
        write(built.bytes);
        fs::remove_all(out);
        FaultyFileSystem faulty;
        faulty.writeFault = {ENOSPC, 1};
        setFileSystem(&faulty);
        const int full = unpack("^^91");
        setFileSystem(nullptr);
        EXPECT_EQ(full, Unpack_EntryFailed);
        EXPECT_EQ(logTexts(drain(reports)).back(),
                  "Error(TARN-1004): unable to open " + out + "/big.bin For output2");
    }
}

TEST_F(ExtractionTest, CataloguesThatDoNotLoadAreReported) {
    write(Bytes().u32(180).u32(1).u32(0x40000000).s);
    EXPECT_EQ(unpack("^^"), Unpack_NotLoaded);
    EXPECT_EQ(logTexts(drain(reports)).back(), "header Load failed");
    write(Bytes().u32(7).zeros(7).s);
    EXPECT_EQ(unpack("^^" + kSealedKey), Unpack_NotLoaded);
    EXPECT_EQ(logTexts(drain(reports)).back(), "LoadBFCool failed");
    EXPECT_FALSE(fs::exists(package + ".tmp"));
    EXPECT_FALSE(fs::exists(out));
}

// What an output path may already hold before the extraction writes there.
enum class Occupant { HardLink, Pipe, ReadOnlyFile };

struct OccupantCase {
    Occupant occupant;
    bool legacy;
};

std::string caseName(const OccupantCase& c) {
    static const char* names[] = {"HardLink", "Pipe", "ReadOnlyFile"};
    return std::string(names[static_cast<int>(c.occupant)]) + (c.legacy ? "Legacy" : "Versioned");
}

void PrintTo(const OccupantCase& c, std::ostream* os) { *os << caseName(c); }

class OutputPathOccupied : public ExtractionTest,
                           public ::testing::WithParamInterface<OccupantCase> {};

TEST_P(OutputPathOccupied, IsReplacedByANewFileAndNothingElseIsWritten) {
    const OccupantCase c = GetParam();
    const std::string target = out + "/Setup/a.txt";
    const std::string outside = dir / "outside.txt";
    writeFile(outside, "not yours");
    fs::create_directories(out + "/Setup");
    switch (c.occupant) {
        case Occupant::HardLink:
            ASSERT_EQ(::link(outside.c_str(), target.c_str()), 0);
            break;
        case Occupant::Pipe:
            ASSERT_EQ(::mkfifo(target.c_str(), 0644), 0);
            break;
        case Occupant::ReadOnlyFile:
            writeFile(target, "old");
            ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
            break;
    }
    PackageOptions o;
    if (c.legacy) o.layout = PackageLayout::Legacy;
    write(BuildPackage({{.name = "Setup/a.txt", .data = "new contents"}}, o).bytes);
    if (c.legacy)
        ASSERT_TRUE(unpackLegacy());
    else
        ASSERT_EQ(unpack("^^"), Unpack_Done) << ::testing::PrintToString(logTexts(drain(reports)));
    EXPECT_EQ(readFile(target), "new contents");
    EXPECT_EQ(readFile(outside), "not yours") << "the linked file is unchanged";
    struct stat st {};
    ASSERT_EQ(::lstat(target.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_nlink, 1u);
}

INSTANTIATE_TEST_SUITE_P(Occupants, OutputPathOccupied,
                         ::testing::Values(OccupantCase{Occupant::HardLink, false},
                                           OccupantCase{Occupant::HardLink, true},
                                           OccupantCase{Occupant::Pipe, false},
                                           OccupantCase{Occupant::Pipe, true},
                                           OccupantCase{Occupant::ReadOnlyFile, true}),
                         [](const auto& info) { return caseName(info.param); });

TEST_F(ExtractionTest, SealedSideFileIsCreatedAfreshWhateverIsThere) {
    const std::string outside = dir / "outside.txt";
    const std::string side = package + ".tmp";
    PackageOptions o;
    o.layout = PackageLayout::Sealed;
    o.key = kSealedKey;
    BuiltPackage built = BuildPackage(sampleEntries(), o);
    write(built.bytes);
    for (bool link : {false, true}) {
        writeFile(outside, "not yours");
        if (link) {
            ASSERT_EQ(::symlink(outside.c_str(), side.c_str()), 0);
        } else {
            writeFile(side, std::string(5000, 'x'));  // stale, and read-only
            ASSERT_EQ(::chmod(side.c_str(), 0444), 0);
        }
        fs::remove_all(out);
        ASSERT_EQ(unpack(built.unpackParameter), Unpack_Done)
            << ::testing::PrintToString(logTexts(drain(reports)));
        expectSampleExtracted();
        EXPECT_EQ(readFile(outside), "not yours") << "link " << link;
        EXPECT_FALSE(fs::exists(fs::symlink_status(side))) << "link " << link;
    }
}

TEST_F(ExtractionTest, PercentsStayWithin0To100WhenTheDataFarExceedsTheCatalogue) {
    PackageOptions o;
    o.version = 178;
    BuiltPackage built = BuildPackage({{.name = "big.bin", .data = noise(900000, 5)}}, o);
    patch32(built.bytes, 12 + 36, 1);  // the only record's progress size: 1 byte
    write(built.bytes);
    ASSERT_EQ(unpack("^^"), Unpack_Done);  // the CRC is checked over the data, not the total
    const auto all = percents(drain(reports));
    ASSERT_FALSE(all.empty());
    for (int p : all) {
        EXPECT_GE(p, 0);
        EXPECT_LE(p, 100);
    }
    EXPECT_EQ(all.back(), 100);
}

TEST_F(ExtractionTest, AFullDiskIsReportedAsSuchAndLeavesNoPartialFile) {
    const std::string data = noise(700000, 6) + compressible(600000);
    for (bool stored : {false, true}) {
        PackageOptions o;
        o.storeLast = stored;
        write(BuildPackage({{.name = "big.bin", .data = data}}, o).bytes);
        fs::remove_all(out);
        FaultyFileSystem faulty;
        faulty.writeFault = {ENOSPC, 1};
        PackageCatalogue catalogue;
        int result = 0;
        {
            FileSystemInPlace inPlace(faulty);
            result = unpackWith(catalogue);
        }
        EXPECT_EQ(result, Unpack_EntryFailed) << "stored " << stored;
        EXPECT_TRUE(catalogue.outOfDiskSpace);
        const auto logs = logTexts(drain(reports));
        ASSERT_GE(logs.size(), 2u);
        EXPECT_EQ(logs[logs.size() - 2],
                  "Error(TARN-1004): not enough disk space to write " + out + "/big.bin");
        EXPECT_EQ(logs.back(), "Error(TARN-1004): unable to open " + out + "/big.bin For output2");
        EXPECT_FALSE(fs::exists(out + "/big.bin")) << "stored " << stored;
    }

    PackageOptions legacy;
    legacy.layout = PackageLayout::Legacy;
    write(BuildPackage({{.name = "big.bin", .data = data}}, legacy).bytes);
    fs::remove_all(out);
    FaultyFileSystem faulty;
    faulty.writeFault = {ENOSPC, 1};
    PackageCatalogue catalogue;
    bool done = true;
    {
        FileSystemInPlace inPlace(faulty);
        done = UnpackLegacy(catalogue, package, out, UM_UNPACK_PERCENT, &relay);
    }
    EXPECT_FALSE(done);
    EXPECT_TRUE(catalogue.outOfDiskSpace);
    EXPECT_FALSE(fs::exists(out + "/big.bin"));
}

TEST_F(ExtractionTest, AStopEndsALongEntryBetweenBuffersAndRemovesIt) {
    // Many output buffers' worth of data: the stop comes at the first write.
    const std::string data = compressible(8 << 20);
    for (bool stored : {false, true}) {
        PackageOptions o;
        o.storeLast = stored;
        // A stored entry is the last one; the stop comes at its first write.
        const PackageEntry big{.name = "big.bin", .data = data};
        const PackageEntry next{.name = "next.txt", .data = "n"};
        const int stopAtWrite = stored ? 2 : 1;
        write(BuildPackage(stored ? std::vector{next, big} : std::vector{big, next}, o).bytes);
        fs::remove_all(out);
        std::atomic<bool> stop{false};
        int writes = 0;
        FaultyFileSystem faulty;
        faulty.beforeWrite = [&] {
            if (++writes == stopAtWrite) stop = true;
        };
        PackageCatalogue catalogue;
        catalogue.stopFlag = &stop;
        int result = 0;
        {
            FileSystemInPlace inPlace(faulty);
            result = unpackWith(catalogue);
        }
        EXPECT_EQ(result, Unpack_NotLoaded) << "stored " << stored;
        EXPECT_EQ(writes, stopAtWrite) << "stopped after one buffer, stored " << stored;
        EXPECT_FALSE(fs::exists(out + "/big.bin")) << "stored " << stored;
        EXPECT_EQ(fs::exists(out + "/next.txt"), stored);
        drain(reports);
    }
}

}  // namespace
}  // namespace quenlow::test
