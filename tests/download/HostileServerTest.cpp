// Servers, files and folders that try to make a download write the wrong
// bytes, write outside its file, or retry forever.

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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
    // However the test body ends, the file's threads are joined and the view
    // unhooked before the body's locals (a file system, counters) go.
    struct StopAtExit {
        Hostile& test;
        ~StopAtExit() {
            if (test.file) test.file->shutdown();
            test.view.onMessage = nullptr;
            setFileSystem(nullptr);
        }
    };
};

// Counts the openings of one path and notes whether the file was there when
// its space was reserved.
class WatchingFileSystem : public FaultyFileSystem {
  public:
    explicit WatchingFileSystem(std::string watched) : watched_(std::move(watched)) {}
    int open(const std::string& path, int flags, mode_t mode = 0644) override {
        if (path == watched_) opens.fetch_add(1);
        return FaultyFileSystem::open(path, flags, mode);
    }
    int allocate(int fd, off_t len) override {
        allocations.fetch_add(1);
        if (std::filesystem::exists(watched_)) seenAtAllocation.store(true);
        return FaultyFileSystem::allocate(fd, len);
    }
    std::atomic<int> opens{0};
    std::atomic<int> allocations{0};
    std::atomic<bool> seenAtAllocation{false};

  private:
    std::string watched_;
};

// A 206 answer must say it starts where it was asked to; otherwise the part
// fails with the status and nothing is written.
struct PartialCase {
    const char* name;
    ServerBehavior behavior;
};

void PrintTo(const PartialCase& c, std::ostream* os) { *os << c.name; }

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

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

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

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

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

// A Content-Length no volume can hold, announced by a real server, fails the
// file for lack of space as soon as the layout sees it: no folder, no file,
// no attempt after it.
struct AnnouncedCase {
    const char* name;
    std::vector<std::string> announced;  // per part
    int64_t partLength;                  // what each part's length is taken as
};

void PrintTo(const AnnouncedCase& c, std::ostream* os) { *os << c.name; }

class AnnouncedLength : public Hostile, public ::testing::WithParamInterface<AnnouncedCase> {};

TEST_P(AnnouncedLength, FailsWithDiskSpaceCreatingNothing) {
    const auto& tc = GetParam();
    std::vector<std::string> paths;
    for (size_t i = 0; i < tc.announced.size(); ++i) {
        paths.push_back("/h/" + std::to_string(i));
        server.addFile(paths.back(), generatedContent(81, 70000));
        server.setBehavior(paths.back(), {.announcedLength = tc.announced[i]});
    }
    makeFile("announced.bin", paths);
    start();
    ASSERT_TRUE(waitError(Error_DiskSpace));
    ASSERT_TRUE(waitUntil([&] { return file->state.load() == FileState_Error; }));
    file->shutdown();
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(file->parts[i]->length.load(), tc.partLength) << paths[i];
        // A probe, and for a part that learnt its length first its data
        // request; nothing once the file has failed.
        EXPECT_LE(server.requestCount(paths[i]), 2u) << paths[i];
    }
    EXPECT_FALSE(file->outputIsOpen());
    EXPECT_FALSE(std::filesystem::exists(outDir));
    EXPECT_EQ(view.count(UM_FILE_ERROR), 1u);
    EXPECT_EQ(view.count(UM_FILE_STATUS, Status_Complete), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnnouncedLength,
    ::testing::Values(AnnouncedCase{"TwoToThe64MinusTwo", {"18446744073709551614"}, INT64_MAX},
                      AnnouncedCase{"TwoToThe63", {"9223372036854775808"}, INT64_MAX},
                      AnnouncedCase{"TwentyThreeDigits", {"12345678901234567890123"}, INT64_MAX},
                      AnnouncedCase{"TenToThe18", {"1000000000000000000"}, 1000000000000000000},
                      AnnouncedCase{"TwoPartsWhoseSumOverflows",
                                    {"5000000000000000000", "5000000000000000000"},
                                    5000000000000000000}),
    [](const auto& info) { return std::string(info.param.name); });

// Without a Content-Length the part's length is never learnt: no data is
// asked for, and the attempts end after five in a row like any fruitless ones.
struct FramingCase {
    const char* name;
    ServerBehavior::Framing framing;
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

class NoContentLength : public Hostile, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(NoContentLength, EndsInAnErrorAfterFiveProbes) {
    server.addFile("/c/0", generatedContent(82, 90000));
    server.setBehavior("/c/0", {.framing = GetParam().framing});
    makeFile("unsized.bin", {"/c/0"});
    start();
    ASSERT_TRUE(waitDownloadError());
    ASSERT_TRUE(waitUntil([&] { return file->state.load() == FileState_Error; }));
    file->shutdown();
    EXPECT_EQ(file->lockedCopy(file->parts[0]->errorText),
              "No data received in 5 attempts in a row");
    EXPECT_EQ(server.requestCount("/c/0"), 5u);  // probes only
    EXPECT_EQ(file->parts[0]->length.load(), -1);
    EXPECT_FALSE(std::filesystem::exists(outDir));
}

INSTANTIATE_TEST_SUITE_P(Cases, NoContentLength,
                         ::testing::Values(FramingCase{"Chunked", ServerBehavior::Framing::Chunked},
                                           FramingCase{"UntilClose",
                                                       ServerBehavior::Framing::UntilClose}),
                         [](const auto& info) { return std::string(info.param.name); });

// A task that got its answer before the file failed may reach the layout only
// afterwards: the failed run's file is never opened again, nor created.
struct LateLayoutCase {
    const char* name;
    bool openedFirst;  // the run had opened the file before it failed
};

void PrintTo(const LateLayoutCase& c, std::ostream* os) { *os << c.name; }

class LateLayout : public Hostile, public ::testing::WithParamInterface<LateLayoutCase> {};

TEST_P(LateLayout, NeverOpensTheFailedRunsFile) {
    const bool openedFirst = GetParam().openedFirst;
    server.addFile("/w/0", generatedContent(83, 400000));
    server.addFile("/w/1", generatedContent(84, 300000));
    if (openedFirst)
        server.setBehavior("/w/0", {.stallAfterBytes = 1000});
    else
        server.setBehavior("/w/1", {.holdHead = true});  // part 1's length stays unknown
    makeFile("late.bin", {"/w/0", "/w/1"});
    WatchingFileSystem fs(outputPath());
    setFileSystem(&fs);
    StopAtExit stop{*this};
    start();
    if (openedFirst) {
        ASSERT_TRUE(waitUntil([&] { return file->outputIsOpen(); }));
    } else {
        // Part 0 knows its length and waits for the file.
        ASSERT_TRUE(waitUntil([&] {
            return file->parts[0]->state.load() == PartState_WaitFile &&
                   server.requestCount("/w/1") == 1;
        }));
    }
    const int opensBefore = fs.opens.load();
    ASSERT_EQ(opensBefore, openedFirst ? 1 : 0);
    taskMessage(DownloadTaskState_Error, 1);  // a part failed: the controller aborts the run
    ASSERT_TRUE(waitDownloadError());
    ASSERT_TRUE(waitUntil([&] { return file->state.load() == FileState_Error; }));
    ASSERT_FALSE(file->outputIsOpen());
    // What the late task does once its answer is in: its length, then the layout.
    if (!openedFirst) file->parts[1]->length = 300000;
    file->layoutStep();
    EXPECT_FALSE(file->outputIsOpen());
    EXPECT_EQ(fs.opens.load(), opensBefore);
    EXPECT_EQ(std::filesystem::exists(outputPath()), openedFirst);
    EXPECT_EQ(view.count(UM_FILE_ERROR), 1u);
    file->shutdown();
    EXPECT_EQ(fs.opens.load(), opensBefore);
}

INSTANTIATE_TEST_SUITE_P(Cases, LateLayout,
                         ::testing::Values(LateLayoutCase{"BeforeTheFileWasOpened", false},
                                           LateLayoutCase{"AfterTheFileWasOpened", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Whoever sees the lack-of-space error sees no file: one this run created is
// removed before the error is told.
struct SpaceCase {
    const char* name;
    void (*inject)(FaultyFileSystem&);
    bool createdFirst;  // the file existed before the failure
};

void PrintTo(const SpaceCase& c, std::ostream* os) { *os << c.name; }

class NoSpace : public Hostile, public ::testing::WithParamInterface<SpaceCase> {};

TEST_P(NoSpace, TheFileIsGoneWhenTheErrorArrives) {
    const auto& tc = GetParam();
    server.addFile("/n/0", generatedContent(85, 200000));
    makeFile("nospace.bin", {"/n/0"});
    const std::string path = outputPath();
    WatchingFileSystem fs(path);
    tc.inject(fs);
    setFileSystem(&fs);
    std::atomic<int> errors{0};
    std::atomic<bool> presentAtError{false};
    view.onMessage = [&](const Recorded& r) {
        if (r.id != UM_FILE_ERROR) return;
        errors.fetch_add(1);
        if (std::filesystem::exists(std::filesystem::symlink_status(path)))
            presentAtError.store(true);
    };
    StopAtExit stop{*this};
    start();
    ASSERT_TRUE(waitError(Error_DiskSpace));
    file->shutdown();
    EXPECT_EQ(errors.load(), 1);
    EXPECT_FALSE(presentAtError.load());
    EXPECT_EQ(fs.seenAtAllocation.load(), tc.createdFirst);
    EXPECT_EQ(fs.allocations.load(), tc.createdFirst ? 1 : 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoSpace,
    ::testing::Values(SpaceCase{"TooLittleFreeSpace",
                                [](FaultyFileSystem& f) { f.freeBytes = 199999; }, false},
                      SpaceCase{"PreallocationDiskFull",
                                [](FaultyFileSystem& f) { f.allocateFault = {ENOSPC}; }, true}),
    [](const auto& info) { return std::string(info.param.name); });

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
