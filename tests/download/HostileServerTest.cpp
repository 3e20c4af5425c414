// Servers, files and folders that try to make a download write the wrong
// bytes, write outside its file, or retry forever.

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "support/DownloadFixture.h"

namespace quenlow::test {
namespace {

class Hostile : public DownloadFixture {
  protected:
    // Part 0 resumes at `read`: its first bytes are on disk already.
    void restorePartZero(const std::string& p0, const std::string& p1, int64_t read) {
        file->fileSize = static_cast<int64_t>(p0.size() + p1.size());
        file->parts[0]->readPosition = read;
        file->parts[0]->writePosition = read;
        file->parts[1]->writePosition = static_cast<int64_t>(p0.size());
        file->downloadedBytes = read;
        writeAll(outputPath(),
                 p0.substr(0, static_cast<size_t>(read)) +
                     std::string(p0.size() - static_cast<size_t>(read) + p1.size(), '\0'));
    }
    bool waitDownloadError() { return waitError(Error_Download); }
};

// A 206 answer must say it starts where it was asked to; otherwise the part
// fails with the status and nothing is written.
struct PartialCase {
    const char* name;
    ServerBehavior behavior;
};

class BadPartialAnswer : public Hostile, public ::testing::WithParamInterface<PartialCase> {};

TEST_P(BadPartialAnswer, FailsThePartAndWritesNothing) {
    std::string p0 = generatedContent(41, 300000), p1 = generatedContent(42, 50000);
    server.addFile("/p/0", p0);
    server.addFile("/p/1", p1);
    server.setBehavior("/p/0", GetParam().behavior);
    makeFile("partial.bin", {"/p/0", "/p/1"});
    restorePartZero(p0, p1, 100000);
    const std::string before = readAll(outputPath());
    start();
    ASSERT_TRUE(waitDownloadError());
    ASSERT_TRUE(waitUntil([&] { return file->state.load() == FileState_Error; }));
    std::string text = file->lockedCopy(file->parts[0]->errorText);
    EXPECT_EQ(text.rfind("206", 0), 0u) << text;
    EXPECT_NE(text.find("100000"), std::string::npos) << text;
    file->shutdown();
    EXPECT_EQ(readAll(outputPath()).substr(0, p0.size()), before.substr(0, p0.size()));
    EXPECT_EQ(file->parts[0]->readPosition.load(), 100000);
    EXPECT_EQ(view.count(UM_FILE_STATUS, Status_Complete), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, BadPartialAnswer,
                         ::testing::Values(PartialCase{"WithoutContentRangeFromByteZero",
                                                       {.partialWithoutContentRange = true}},
                                           PartialCase{"ContentRangeStartsElsewhere",
                                                       {.contentRangeShift = 1000}}),
                         [](const auto& info) { return std::string(info.param.name); });

// A link at the output path is never written through: a new download
// replaces it, a resume into it fails as "unable to create file".
struct LinkCase {
    const char* name;
    bool hardLink;
    bool resume;
};

class LinkAtOutputPath : public Hostile, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinkAtOutputPath, LeavesTheLinkedFileAlone) {
    const auto& tc = GetParam();
    std::string p0 = generatedContent(51, 200000), p1 = generatedContent(52, 30000);
    server.addFile("/l/0", p0);
    server.addFile("/l/1", p1);
    makeFile("linked.bin", {"/l/0", "/l/1"});
    const std::string outside = root + "/outside/precious.txt";
    const std::string precious(p0.size() + p1.size(), 'P');
    writeAll(outside, precious);
    if (tc.resume) {
        restorePartZero(p0, p1, 100000);
        std::filesystem::remove(outputPath());
    }
    std::filesystem::create_directories(outDir);
    if (tc.hardLink)
        std::filesystem::create_hard_link(outside, outputPath());
    else
        std::filesystem::create_symlink(outside, outputPath());
    start();
    if (tc.resume) {
        ASSERT_TRUE(waitError(Error_CreateFile));
    } else {
        ASSERT_TRUE(waitStatus(Status_Complete));
        EXPECT_FALSE(std::filesystem::is_symlink(outputPath()));
        EXPECT_EQ(std::filesystem::hard_link_count(outputPath()), 1u);
        EXPECT_EQ(readAll(outputPath()), p0 + p1);
    }
    file->shutdown();
    EXPECT_EQ(readAll(outside), precious);
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkAtOutputPath,
                         ::testing::Values(LinkCase{"SymlinkNewDownload", false, false},
                                           LinkCase{"HardLinkNewDownload", true, false},
                                           LinkCase{"SymlinkResume", false, true},
                                           LinkCase{"HardLinkResume", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Lengths from servers are range-checked before anything is created.
struct LengthCase {
    const char* name;
    uint64_t readPos;
    uint64_t contentLength;
    int64_t expected;
};

class PartLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(PartLength, SaturatesInsteadOfWrapping) {
    const auto& tc = GetParam();
    EXPECT_EQ(DownloadTask::partLength(tc.readPos, tc.contentLength), tc.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PartLength,
    ::testing::Values(LengthCase{"Plain", 5, 10, 15},
                      LengthCase{"TwoToThe64MinusTwo", 0, UINT64_MAX - 1, INT64_MAX},
                      LengthCase{"TwoToThe63", 0, uint64_t{1} << 63, INT64_MAX},
                      LengthCase{"SumPastTheLargest", 100, uint64_t{INT64_MAX} - 50, INT64_MAX},
                      LengthCase{"LargestExactly", 0, uint64_t{INT64_MAX}, INT64_MAX}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hostile, PartLengthsWhoseSumOverflowsFailWithDiskSpaceCreatingNothing) {
    makeFile("huge.bin", {"/never/0", "/never/1"});
    file->parts[0]->length = INT64_MAX - 10;
    file->parts[1]->length = 100;
    file->layoutStep();
    ASSERT_TRUE(waitError(Error_DiskSpace));
    EXPECT_FALSE(file->outputIsOpen());
    EXPECT_EQ(file->fileSize.load(), 0);
    EXPECT_FALSE(std::filesystem::exists(outDir));
}

TEST_F(Hostile, FileLargerThanTheFreeSpaceFailsBeforeAnythingIsCreated) {
    FaultyFileSystem fs;
    fs.freeBytes = 100000;  // the parts' KB figures are 0: only the whole file counts
    setFileSystem(&fs);
    server.addFile("/big/0", generatedContent(61, 150000));
    makeFile("big.bin", {"/big/0"});
    start();
    ASSERT_TRUE(waitError(Error_DiskSpace));
    file->shutdown();
    EXPECT_FALSE(std::filesystem::exists(outDir));
}

// Attempts that bring no byte are counted: after five in a row the part fails.
TEST_F(Hostile, EmptyBodiesEndInAnErrorAfterFiveAttempts) {
    server.addFile("/e/0", generatedContent(71, 100000));
    server.setBehavior("/e/0", {.shortBodyBytes = 0});
    makeFile("empty.bin", {"/e/0"});
    start();
    ASSERT_TRUE(waitDownloadError());
    ASSERT_TRUE(waitUntil([&] { return file->state.load() == FileState_Error; }));
    EXPECT_EQ(file->lockedCopy(file->parts[0]->errorText),
              "No data received in 5 attempts in a row");
    EXPECT_EQ(server.requestCount("/e/0"), 10u);  // five probes, five data requests
}

TEST_F(Hostile, ShortBodiesThatProgressStillComplete) {
    std::string content = generatedContent(72, 700000);
    server.addFile("/s/0", content);
    server.setBehavior("/s/0", {.shortBodyBytes = 100000});  // every answer cut short
    makeFile("short.bin", {"/s/0"});
    start();
    ASSERT_TRUE(waitStatus(Status_Complete));
    EXPECT_EQ(readAll(outputPath()), content);
}

}  // namespace
}  // namespace quenlow::test
