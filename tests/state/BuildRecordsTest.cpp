// Turning the page's file-information text into records, and merging what an
// earlier run saved.

#include <filesystem>

#include "state/StateFixture.h"

namespace quenlow::test {
namespace {

const char* kExample = R"(<ApplicationData DefaultOutputFolder="/data/Software"/>
<Files>
  <File FileTypeID="1" FileKey="1" FileName="Setup.tarn" InstallCommand="setup.sh">
    <FilePart FilePartKey="1" FileID="A1" DownloadKBCount="2048" ExtractedKBCount="4096" FileURL="http://h/a1"/>
    <FilePart FilePartKey="2" FileID="A2" FileURL="http://h/a2"/>
  </File>
  <File FileTypeID="x" FileKey="2" FileName="notes.txt">
    <FilePart FileID="B1" FileURL="http://h/b1"/>
  </File>
</Files>)";

using BuildRecordsTest = StateFixture;

TEST_F(BuildRecordsTest, ReadsFilesPartsAndDefaults) {
    auto order = makeOrder("4711");
    order->loadOrder(kExample);
    ASSERT_EQ(order->fileCount, 2);
    ASSERT_EQ(order->files.size(), 2u);
    EXPECT_EQ(order->DefaultOutputFolder, "/data/Software");

    const File& f = *order->files[0];
    EXPECT_EQ(f.fileTypeId, 1);
    EXPECT_EQ(f.fileKey, "1");
    EXPECT_EQ(f.fileNumber(), 1);
    EXPECT_EQ(f.fileName, "Setup.tarn");
    EXPECT_EQ(f.installCommand, "setup.sh");
    EXPECT_TRUE(f.isPackage);
    EXPECT_FALSE(f.prelocated);
    EXPECT_EQ(f.state.load(), FileState_Initial);
    EXPECT_EQ(f.viewWindow, &view);
    EXPECT_TRUE(f.outputFolder.empty());
    ASSERT_EQ(f.partCount, 2);
    const FilePart& p0 = *f.parts[0];
    EXPECT_EQ(p0.fileId, "A1");
    EXPECT_EQ(p0.url, "http://h/a1");
    EXPECT_EQ(p0.index, 0);
    EXPECT_EQ(p0.downloadKB, 2048);
    EXPECT_EQ(p0.extractedKB, 4096);
    EXPECT_EQ(p0.length.load(), -1);
    EXPECT_EQ(p0.state.load(), PartState_Start);
    EXPECT_EQ(p0.file, &f);
    EXPECT_EQ(f.parts[1]->index, 1);
    EXPECT_EQ(f.parts[1]->downloadKB, 0);  // missing number reads as 0

    const File& g = *order->files[1];
    EXPECT_EQ(g.fileTypeId, 0);  // non-numeric reads as 0
    EXPECT_EQ(g.installCommand, "");
    ASSERT_EQ(g.partCount, 1);
    EXPECT_EQ(g.parts[0]->index, 0);  // a missing key reads as the first part
    EXPECT_FALSE(g.isPackage);

    // Records ready, with lParam 0.
    EXPECT_EQ(view.count(UM_FILE_STATUS, Status_RecordsReady), 1u);
    EXPECT_EQ(view.messages().back().lParam, 0);
}

TEST_F(BuildRecordsTest, DefaultOutputFolderOnlyReplacedByNonEmptyValue) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const std::string fallback = home + "/Downloads";
    for (const Case& c :
         {Case{"<Files/>", nullptr},
          Case{"<ApplicationData DefaultOutputFolder=\"\"/><Files/>", nullptr},
          Case{"<ApplicationData/>", nullptr},
          Case{"<ApplicationData DefaultOutputFolder=\"/srv/x\"/><Files/>", "/srv/x"}}) {
        auto order = makeOrder("1");
        order->loadOrder(c.text);
        EXPECT_EQ(order->DefaultOutputFolder, c.expected ? std::string(c.expected) : fallback)
            << c.text;
    }
}

TEST_F(BuildRecordsTest, TextThatDoesNotParseGivesNoFilesButStillReportsReady) {
    for (const std::string& text :
         {std::string(""), std::string("not xml"), std::string(kExample).substr(0, 200),
          std::string("<Files><File FileKey=\"1\"></Files>"),
          std::string("<Other><Files><File FileKey=\"1\"/></Files></Other>")}) {
        view.clear();
        auto order = makeOrder("1");
        order->loadOrder(text);
        EXPECT_EQ(order->fileCount, 0) << text;
        EXPECT_TRUE(order->files.empty()) << text;
        EXPECT_EQ(view.count(UM_FILE_STATUS, Status_RecordsReady), 1u) << text;
    }
}

TEST_F(BuildRecordsTest, PackageDetectedByExtensionInAnyLetterCase) {
    struct Case {
        const char* name;
        bool package;
    };
    for (const Case& c :
         {Case{"Setup.tarn", true}, Case{"Setup.TARN", true}, Case{"a.b.TaRn", true},
          Case{"tarn", true}, Case{"Setup.tarn.zip", false}, Case{"Setup.tar", false},
          Case{"Setup.", false}, Case{"", false}, Case{"Setup.tarnx", false}}) {
        auto order = makeOrder("1");
        order->buildRecords(std::string("<Files><File FileKey=\"1\" FileName=\"") + c.name +
                            "\"><FilePart FileID=\"A\"/></File></Files>");
        ASSERT_EQ(order->files.size(), 1u);
        EXPECT_EQ(order->files[0]->isPackage, c.package) << c.name;
    }
}

// Part keys must give indexes 0..N-1; anything else is renumbered in text order.
TEST_F(BuildRecordsTest, PartKeysGiveIndexesOrAreRenumbered) {
    struct Case {
        std::vector<const char*> keys;  // nullptr: attribute missing
        std::vector<std::string>
            idsInOrder;  // FileIDs (P0, P1, ... in text order) by resulting index
    };
    const std::vector<Case> cases = {
        {{nullptr}, {"P0"}},  // no key: index 0
        {{"1"}, {"P0"}},      // key 1: index 0
        {{"1", "2", "3"}, {"P0", "P1", "P2"}},
        {{"2", "1"}, {"P1", "P0"}},          // a permutation keeps its keys
        {{"1", "1"}, {"P0", "P1"}},          // duplicate
        {{"0", "1"}, {"P0", "P1"}},          // zero-based by mistake
        {{"1", "3"}, {"P0", "P1"}},          // gap
        {{nullptr, nullptr}, {"P0", "P1"}},  // both missing
        {{"x", "2"}, {"P0", "P1"}},          // non-numeric
        {{"-4", "99999999999999999999"}, {"P0", "P1"}},
    };
    for (const auto& c : cases) {
        std::string text = "<Files><File FileKey=\"1\" FileName=\"a.bin\">";
        for (size_t k = 0; k < c.keys.size(); ++k) {
            text += "<FilePart FileID=\"P" + std::to_string(k) + "\"";
            if (c.keys[k]) text += std::string(" FilePartKey=\"") + c.keys[k] + "\"";
            text += "/>";
        }
        text += "</File></Files>";
        auto order = makeOrder("1");
        order->buildRecords(text);
        ASSERT_EQ(order->files.size(), 1u) << text;
        const File& f = *order->files[0];
        ASSERT_EQ(f.parts.size(), c.idsInOrder.size()) << text;
        EXPECT_EQ(f.partCount, static_cast<int>(c.idsInOrder.size()));
        for (size_t i = 0; i < f.parts.size(); ++i) {
            EXPECT_EQ(f.parts[i]->index, static_cast<int>(i)) << text;
            EXPECT_EQ(f.parts[i]->fileId, c.idsInOrder[i]) << text;
        }
    }
}

// ---- merging the saved state ----

// One file "a.bin" (FileKey 1) of order 7 with parts from the page, against a saved entry.
struct MergeCase {
    const char* name;
    int fileTypeId;
    const char* fileName;
    const char* installCommand;
    std::vector<std::string> pageParts;  // FileIDs, keys 1..N
    std::string savedFile;  // the saved <File> element; "@OUT@" stands for the output folder
    std::vector<std::string> onDisk;  // paths below the output folder that exist
    int state;
    bool keepsOutputFolder;
    int64_t fileSize;
    std::vector<std::pair<int64_t, int64_t>> positions;  // (read, write) per part
    std::string launchFolder;
};

void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

std::string savedFile(const char* attrs, const std::string& parts) {
    return std::string("<File FileKey=\"1\" OutputFolder=\"@OUT@\" FileSize=\"7000\" ") + attrs +
           ">" + parts + "</File>";
}

std::string part(const char* id, int key, int64_t read, int64_t write) {
    return std::string("<FilePart FileID=\"") + id + "\" FilePartKey=\"" + std::to_string(key) +
           "\" URLReadPosition=\"" + std::to_string(read) + "\" FileWritePosition=\"" +
           std::to_string(write) + "\"/>";
}

const std::string kTwoParts = part("A1", 0, 1200, 0) + part("A2", 1, 300, 3500);

const MergeCase kMergeCases[] = {
    {"PartialRestoresPositions",
     2,
     "a.bin",
     "",
     {"A1", "A2"},
     savedFile("FileState=\"Downloading\"", kTwoParts),
     {"a.bin"},
     FileState_Partial,
     true,
     7000,
     {{1200, 0}, {300, 3500}},
     ""},
    {"NothingFetchedStaysInitial",
     2,
     "a.bin",
     "",
     {"A1", "A2"},
     savedFile("FileState=\"Downloading\"", part("A1", 0, 0, 0) + part("A2", 1, 0, 3500)),
     {"a.bin"},
     FileState_Initial,
     true,
     7000,
     {{0, 0}, {0, 3500}},
     ""},
    {"CompleteFilePresent",
     2,
     "a.bin",
     "",
     {"A1", "A2"},
     savedFile("FileState=\"Complete\"", kTwoParts),
     {"a.bin"},
     FileState_Complete,
     true,
     7000,
     {{1200, 0}, {300, 3500}},
     ""},
    {"CompleteFileGone",
     2,
     "a.bin",
     "",
     {"A1", "A2"},
     savedFile("FileState=\"Complete\"", kTwoParts),
     {},
     FileState_Initial,
     false,
     0,
     {{0, 0}, {0, 0}},
     ""},
    {"UnpackedFoundInLaunchFolder",
     1,
     "Setup.tarn",
     "setup.sh",
     {"A1", "A2"},
     savedFile("FileState=\"Complete\" TarnLaunchFolder=\"Setup\"", kTwoParts),
     {"Setup/setup.sh"},
     FileState_Complete,
     true,
     7000,
     {{1200, 0}, {300, 3500}},
     "Setup"},
    {"UnpackedInstallMovedBesideLaunchFolder",
     1,
     "Setup.tarn",
     "setup.sh",
     {"A1", "A2"},
     savedFile("FileState=\"Complete\" TarnLaunchFolder=\"Setup\"", kTwoParts),
     {"setup.sh"},
     FileState_Complete,
     true,
     7000,
     {{1200, 0}, {300, 3500}},
     "Setup"},
    {"UnpackedInstallGone",
     1,
     "Setup.tarn",
     "setup.sh",
     {"A1", "A2"},
     savedFile("FileState=\"Complete\" TarnLaunchFolder=\"Setup\"", kTwoParts),
     {"Setup.tarn"},
     FileState_Initial,
     false,
     0,
     {{0, 0}, {0, 0}},
     ""},
    {"UnpackedWithoutInstallCommandFindsFolder",
     1,
     "Setup.tarn",
     "",
     {"A1", "A2"},
     savedFile("FileState=\"Complete\" TarnLaunchFolder=\"Setup\"", kTwoParts),
     {"Setup/x"},
     FileState_Complete,
     true,
     7000,
     {{1200, 0}, {300, 3500}},
     "Setup"},
    {"ChangedPartCountStartsOver",
     2,
     "a.bin",
     "",
     {"A1", "A2", "A3", "A4"},
     savedFile("FileState=\"Downloading\"",
               part("A1", 0, 10, 0) + part("A2", 1, 10, 100) + part("A3", 2, 10, 200)),
     {"a.bin"},
     FileState_Reconfigured,
     true,
     0,
     {{0, 0}, {0, 0}, {0, 0}, {0, 0}},
     ""},
    {"MissingFileIdStartsOver",
     2,
     "a.bin",
     "",
     {"A1", "NEW", "A3"},
     savedFile("FileState=\"Downloading\"",
               part("A1", 0, 10, 0) + part("A2", 1, 10, 100) + part("A3", 2, 10, 200)),
     {"a.bin"},
     FileState_Reconfigured,
     true,
     0,
     {{0, 0}, {0, 0}, {0, 0}},
     ""},
    {"CompleteButReconfiguredStartsOver",
     2,
     "a.bin",
     "",
     {"A1", "B2"},
     savedFile("FileState=\"Complete\"", kTwoParts),
     {"a.bin"},
     FileState_Reconfigured,
     true,
     0,
     {{0, 0}, {0, 0}},
     ""},
    {"PositionsFollowTheirFileId",
     2,
     "a.bin",
     "",
     {"A1", "A2"},
     savedFile("FileState=\"Downloading\"", part("A2", 0, 300, 3500) + part("A1", 1, 1200, 0)),
     {"a.bin"},
     FileState_Partial,
     true,
     7000,
     {{1200, 0}, {300, 3500}},
     ""},
    {"NegativePositionsStartOver",
     2,
     "a.bin",
     "",
     {"A1", "A2"},
     savedFile("FileState=\"Downloading\"", part("A1", 0, -5, 0) + part("A2", 1, 300, 3500)),
     {"a.bin"},
     FileState_Reconfigured,
     true,
     0,
     {{0, 0}, {0, 0}},
     ""},
    {"EmptySavedOutputFolderIsIgnored",
     2,
     "a.bin",
     "",
     {"A1", "A2"},
     "<File FileKey=\"1\" OutputFolder=\"\" FileSize=\"7000\" FileState=\"Complete\">" + kTwoParts +
         "</File>",
     {},
     FileState_Initial,
     false,
     0,
     {{0, 0}, {0, 0}},
     ""},
};

class MergeTest : public StateFixture, public ::testing::WithParamInterface<MergeCase> {};

TEST_P(MergeTest, RestoresWhatIsStillValid) {
    const MergeCase& c = GetParam();
    const std::string out = root + "/out";
    std::filesystem::create_directories(out);
    for (const auto& rel : c.onDisk) writeFile(out + "/" + rel, "x");

    std::string saved = c.savedFile;
    for (auto at = saved.find("@OUT@"); at != std::string::npos; at = saved.find("@OUT@"))
        saved.replace(at, 5, out);
    // The same file key under another order must not be picked up.
    writeFile(savePath(),
              "<?xml version=\"1.0\"?><ApplicationData/><Orders>"
              "<Order OrderID=\"6\"><Files><File FileKey=\"1\" "
              "OutputFolder=\"/elsewhere\"/></Files></Order>"
              "<Order OrderID=\"7\"><Files>" +
                  saved + "</Files></Order></Orders>");

    std::string text = std::string("<Files><File FileKey=\"1\" FileTypeID=\"") +
                       std::to_string(c.fileTypeId) + "\" FileName=\"" + c.fileName +
                       "\" InstallCommand=\"" + c.installCommand + "\">";
    for (size_t k = 0; k < c.pageParts.size(); ++k)
        text += "<FilePart FilePartKey=\"" + std::to_string(k + 1) + "\" FileID=\"" +
                c.pageParts[k] + "\"/>";
    text += "</File></Files>";

    auto order = makeOrder("7");
    order->loadOrder(text);
    ASSERT_EQ(order->files.size(), 1u);
    const File& f = *order->files[0];
    EXPECT_EQ(f.state.load(), c.state);
    EXPECT_EQ(f.outputFolder, c.keepsOutputFolder ? out : "");
    EXPECT_EQ(f.outputPath, c.keepsOutputFolder ? out + "/" : "");
    EXPECT_EQ(f.fileSize.load(), c.fileSize);
    EXPECT_EQ(f.launchFolder, c.launchFolder);
    ASSERT_EQ(f.parts.size(), c.positions.size());
    int64_t sum = 0;
    for (size_t k = 0; k < f.parts.size(); ++k) {
        EXPECT_EQ(f.parts[k]->readPosition.load(), c.positions[k].first) << "part " << k;
        EXPECT_EQ(f.parts[k]->writePosition.load(), c.positions[k].second) << "part " << k;
        sum += c.positions[k].first;
    }
    EXPECT_EQ(f.downloadedBytes.load(), sum);
}

INSTANTIATE_TEST_SUITE_P(SavedState, MergeTest, ::testing::ValuesIn(kMergeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BuildRecordsTest, KeysWithQuotesStillFindTheirSavedFile) {
    const std::string out = root + "/out";
    writeFile(out + "/a.bin", "x");
    // Values are escaped in the file; lookups must not break on the quotes.
    writeFile(savePath(),
              "<Orders><Order OrderID=\"o'1&quot;\"><Files><File FileKey=\"k'&quot;\" "
              "FileState=\"Downloading\" "
              "OutputFolder=\"" +
                  out +
                  "\"><FilePart FileID=\"i'd\" FilePartKey=\"0\" URLReadPosition=\"5\" "
                  "FileWritePosition=\"0\"/></File></Files></Order></Orders>");
    auto order = makeOrder("o'1\"");
    order->loadOrder(
        R"(<Files><File FileKey="k'&quot;" FileName="a.bin"><FilePart FilePartKey="1" FileID="i'd"/></File></Files>)");
    ASSERT_EQ(order->files.size(), 1u);
    EXPECT_EQ(order->files[0]->state.load(), FileState_Partial);
    EXPECT_EQ(order->files[0]->parts[0]->readPosition.load(), 5);
}

// ---- packages already on a drive ----

TEST_F(BuildRecordsTest, PackageFoundOnADriveIsPrelocated) {
    const std::string driveE = root + "/mnt/e";
    const std::string driveF = root + "/mnt/f";
    writeFile(driveF + "/TARN/Setup.TARN", "pkg");
    writeFile(driveE + "/TARN/other.tarn", "pkg");
    writeFile(driveF + "/TARN/plain.bin", "x");
    setDriveRoots(std::vector<std::string>{driveE, driveF});

    auto order = makeOrder("1");
    order->loadOrder(R"(<ApplicationData DefaultOutputFolder="/dl"/><Files>
        <File FileKey="1" FileName="Setup.TARN"><FilePart FilePartKey="1" FileID="A"/></File>
        <File FileKey="2" FileName="plain.bin"><FilePart FileID="B"/></File>
        <File FileKey="3" FileName="absent.tarn"><FilePart FileID="C"/></File>
        <File FileKey="4" FileName="../e/TARN/other.tarn"><FilePart FileID="D"/></File></Files>)");
    ASSERT_EQ(order->files.size(), 4u);
    const File& f = *order->files[0];
    EXPECT_TRUE(f.prelocated);
    EXPECT_EQ(f.state.load(), FileState_Downloading);
    EXPECT_EQ(f.outputPath, driveF + "/TARN/");
    EXPECT_EQ(f.outputFolder, "/dl");
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_FALSE(order->files[i]->prelocated)
            << i;  // not a package / not there / not a bare name
        EXPECT_EQ(order->files[i]->state.load(), FileState_Initial) << i;
    }
    EXPECT_EQ(order->locatePackageOnDrives(""), "");
    EXPECT_EQ(order->locatePackageOnDrives("other.tarn"), driveE + "/TARN/other.tarn");
}

TEST_F(BuildRecordsTest, CompleteFileIsNotLookedForOnDrives) {
    const std::string out = root + "/out";
    writeFile(out + "/Setup.tarn", "x");
    writeFile(root + "/drive/TARN/Setup.tarn", "x");
    setDriveRoots(std::vector<std::string>{root + "/drive"});
    writeFile(savePath(),
              "<Orders><Order OrderID=\"1\"><Files><File FileKey=\"1\" FileState=\"Complete\" "
              "OutputFolder=\"" +
                  out +
                  "\"><FilePart FileID=\"A\" FilePartKey=\"0\"/></File></Files></Order></Orders>");
    auto order = makeOrder("1");
    order->loadOrder(
        R"(<Files><File FileKey="1" FileTypeID="2" FileName="Setup.tarn"><FilePart FileID="A"/></File></Files>)");
    ASSERT_EQ(order->files.size(), 1u);
    EXPECT_EQ(order->files[0]->state.load(), FileState_Complete);
    EXPECT_FALSE(order->files[0]->prelocated);
    EXPECT_EQ(order->files[0]->outputPath, out + "/");
}

// An order of `files` files with `parts` parts each; names as given.
std::string orderText(size_t files, size_t parts, const std::string& fileName = "f.bin",
                      const std::string& installCommand = "",
                      const std::string& outputFolder = "") {
    std::string text;
    if (!outputFolder.empty())
        text += "<ApplicationData DefaultOutputFolder=\"" + outputFolder + "\"/>";
    text += "<Files>";
    for (size_t i = 1; i <= files; ++i) {
        text += "<File FileKey=\"" + std::to_string(i) + "\" FileName=\"" + fileName +
                "\" InstallCommand=\"" + installCommand + "\">";
        for (size_t k = 1; k <= parts; ++k)
            text += "<FilePart FilePartKey=\"" + std::to_string(k) + "\" FileID=\"P" +
                    std::to_string(k) + "\" FileURL=\"http://h/" + std::to_string(k) + "\"/>";
        text += "</File>";
    }
    return text + "</Files>";
}

struct LimitCase {
    const char* name;
    std::string fileInfo;
    bool taken;
    const char* why;  // in the log line when refused
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

class FileInfoLimits : public StateFixture, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(FileInfoLimits, RefusedWithALogLineBeyondWhatAFileSystemOrTheEngineCanHold) {
    const LimitCase& c = GetParam();
    auto order = makeOrder("1");
    order->loadOrder(c.fileInfo);
    EXPECT_EQ(view.count(UM_FILE_STATUS, Status_RecordsReady), 1u);
    std::vector<std::string> logged;
    for (const auto& m : view.messages())
        if (m.id == UM_DEBUG_TEXT) logged.push_back(m.text.value_or(""));
    if (c.taken) {
        EXPECT_GT(order->fileCount, 0);
        EXPECT_TRUE(logged.empty()) << logged.front();
        return;
    }
    EXPECT_EQ(order->fileCount, 0);
    EXPECT_TRUE(order->files.empty());
    EXPECT_EQ(order->DefaultOutputFolder, home + "/Downloads");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind("Invalid file information: ", 0), 0u) << logged[0];
    EXPECT_NE(logged[0].find(c.why), std::string::npos) << logged[0];
    EXPECT_LT(logged[0].size(), 300u);  // a huge name never lands in the log whole
}

const std::string kLongName(256, 'n');
// 4141 bytes in components of 100.
const std::string kLongPath = [] {
    std::string path;
    for (int i = 0; i < 41; ++i) path += "/" + std::string(100, 'p');
    return path;
}();

INSTANTIATE_TEST_SUITE_P(
    SizeLimits, FileInfoLimits,
    ::testing::Values(LimitCase{"MaxFilesAndParts", orderText(256, 256), true, ""},
                      LimitCase{"TooManyFiles", orderText(257, 1), false, "more than 256 files"},
                      LimitCase{"TooManyParts", orderText(1, 257), false, "more than 256 parts"},
                      LimitCase{"LongestName", orderText(1, 1, std::string(255, 'n')), true, ""},
                      LimitCase{"NameTooLong", orderText(1, 1, kLongName), false, "FileName"},
                      LimitCase{"InstallCommandComponentTooLong",
                                orderText(1, 1, "f.bin", "dir/" + kLongName), false,
                                "InstallCommand"},
                      LimitCase{"InstallCommandPathTooLong",
                                orderText(1, 1, "f.bin", kLongPath.substr(1) + "x"), false,
                                "InstallCommand"},
                      LimitCase{"OutputFolderTooLong", orderText(1, 1, "f.bin", "", kLongPath),
                                false, "DefaultOutputFolder"},
                      LimitCase{"FileWithoutParts", orderText(1, 0), false, "file 1 has no parts"},
                      LimitCase{"FileWithoutPartsSelfClosed",
                                R"(<Files><File FileKey="1" FileName="a.bin"/></Files>)", false,
                                "file 1 has no parts"},
                      LimitCase{"FileWithOtherChildrenOnly",
                                R"(<Files><File FileKey="1" FileName="a.bin"><Part FileID="A"/>)"
                                R"(</File></Files>)",
                                false, "file 1 has no parts"}),
    [](const auto& info) { return std::string(info.param.name); });

// One file that can never be fetched refuses the whole file information,
// like any other limit: no record of it is kept, so none is saved "Complete"
// (an earlier run's record of the order included).
TEST_F(BuildRecordsTest, FileWithoutPartsIsRefusedAndNeverSavedComplete) {
    writeFile(savePath(),
              "<Orders><Order OrderID=\"1\"><Files><File FileKey=\"1\" FileState=\"Complete\" "
              "OutputFolder=\"" +
                  root + "\"/></Files></Order></Orders>");
    auto order = makeOrder("1");
    order->loadOrder(R"(<Files><File FileKey="2" FileName="b.bin"><FilePart FileID="B"/></File>
        <File FileKey="1" FileName="a.bin"/></Files>)");
    EXPECT_EQ(order->fileCount, 0);
    EXPECT_TRUE(order->files.empty());
    std::vector<std::string> logged;
    for (const auto& m : view.messages())
        if (m.id == UM_DEBUG_TEXT) logged.push_back(m.text.value_or(""));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("file 1 has no parts"), std::string::npos) << logged[0];
    EXPECT_EQ(view.count(UM_FILE_STATUS, Status_RecordsReady), 1u);

    ASSERT_TRUE(order->saveState());
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(savePath().c_str()));
    EXPECT_TRUE(doc.select_node("/Orders/Order[@OrderID='1']"));
    EXPECT_FALSE(doc.select_node("//File[@FileState='Complete']"));
    EXPECT_FALSE(doc.select_node("//File"));
}

struct FolderCase {
    const char* name;
    const char* folder;  // "@ROOT@" stands for the test's folder
    bool used;
};

void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class PageFolder : public StateFixture, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(PageFolder, OnlyAnAbsoluteFolderWithoutHiddenComponentsIsUsed) {
    std::string folder = GetParam().folder;
    if (auto at = folder.find("@ROOT@"); at != std::string::npos) folder.replace(at, 6, root);
    auto order = makeOrder("1");
    order->loadOrder(orderText(1, 1, "f.bin", "", folder));
    ASSERT_EQ(order->fileCount, 1);
    size_t logged = view.count(UM_DEBUG_TEXT);
    if (GetParam().used) {
        EXPECT_EQ(order->DefaultOutputFolder, folder);
        EXPECT_EQ(logged, 0u);
    } else {
        EXPECT_EQ(order->DefaultOutputFolder, home + "/Downloads");
        ASSERT_EQ(logged, 1u);
        for (const auto& m : view.messages()) {
            if (m.id == UM_DEBUG_TEXT) {
                EXPECT_NE(m.text.value_or("").find("is not used"), std::string::npos);
            }
        }
    }
    order->requestFileAction("0");
    EXPECT_EQ(order->files[0]->outputFolder, order->DefaultOutputFolder);
}

INSTANTIATE_TEST_SUITE_P(
    OrderFolders, PageFolder,
    ::testing::Values(FolderCase{"Absolute", "@ROOT@/Software", true},
                      FolderCase{"DotInsideAName", "@ROOT@/my.apps/v1.2", true},
                      FolderCase{"Relative", "Software", false},
                      FolderCase{"DotRelative", "./Software", false},
                      FolderCase{"Autostart", "@ROOT@/home/.config/autostart", false},
                      FolderCase{"HiddenLast", "@ROOT@/.local", false},
                      FolderCase{"ParentStep", "@ROOT@/a/../.config", false},
                      FolderCase{"CurrentStep", "@ROOT@/./x", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BuildRecordsTest, AFolderTheUserPicksIsUsedEvenWhenHidden) {
    auto order = makeOrder("1");
    order->loadOrder(orderText(1, 1));
    const std::string picked = root + "/.hidden/downloads";
    order->DefaultOutputFolder = picked;  // what the folder button sets
    order->requestFileAction("0");
    EXPECT_EQ(order->files[0]->outputFolder, picked);
}

TEST_F(BuildRecordsTest, ControllersStartIdleAndAreJoinedAtShutdown) {
    auto order = makeOrder("1", /*startControllers=*/true);
    order->loadOrder(kExample);
    ASSERT_EQ(order->files.size(), 2u);
    for (auto& f : order->files) EXPECT_TRUE(f->started());
    order->shutdown();
    for (auto& f : order->files) EXPECT_TRUE(f->finished());
}

}  // namespace
}  // namespace quenlow::test
