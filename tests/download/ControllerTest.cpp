// The controller's commands, the chunk hand-off and the unpack hand-off.

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

#include "package/PackageWriter.h"
#include "package/UnpackTask.h"
#include "support/DownloadFixture.h"
#include "support/ThreadsRunOut.h"

namespace quenlow::test {
namespace {

class Controller : public DownloadFixture {
  protected:
    std::vector<uintptr_t> statuses() const {
        std::vector<uintptr_t> out;
        for (const auto& m : view.messages())
            if (m.id == UM_FILE_STATUS) out.push_back(m.wParam);
        return out;
    }
    std::vector<intptr_t> percents() const {
        std::vector<intptr_t> out;
        for (const auto& m : view.messages())
            if (m.id == UM_FILE_PROGRESS) out.push_back(m.lParam);
        return out;
    }

    // A package of one folder and two files; its bytes are served in two parts.
    BuiltPackage servePackage() {
        std::string big;
        while (big.size() < 400000) big += "installer bytes " + std::to_string(big.size()) + "\n";
        PackageOptions o;
        o.key = "42";
        BuiltPackage built = BuildPackage({{.name = "Setup/", .folder = true},
                                           {.name = "Setup/setup.exe", .data = big},
                                           {.name = "Setup/readme.txt", .data = "read me"}},
                                          o);
        size_t half = built.bytes.size() / 2;
        server.addFile("/pkg/setup.tarn.1", built.bytes.substr(0, half));
        server.addFile("/pkg/setup.tarn.2", built.bytes.substr(half));
        return built;
    }
};

TEST_F(Controller, StartOfACompleteFileOnlySaysSo) {
    makeFile("done.bin", {"/never"});
    file->state = FileState_Complete;
    start();
    ASSERT_TRUE(view.waitFor(UM_ALREADY_COMPLETE, 0));
    // Pause and resume clicks that crossed the completion change nothing; the
    // second start marks the point where they have been handled.
    command(FileState_Paused);
    command(FileState_Downloading);
    command(FileState_Initial);
    ASSERT_TRUE(waitUntil([&] { return view.count(UM_ALREADY_COMPLETE) == 2; }));
    EXPECT_EQ(file->state.load(), FileState_Complete);
    auto msgs = view.messages();
    ASSERT_EQ(msgs.size(), 2u);
    for (const auto& m : msgs) {
        EXPECT_EQ(m.id, UM_ALREADY_COMPLETE);
        EXPECT_EQ(m.lParam, 3);
    }
    EXPECT_EQ(file->taskCount(), 0u);
    EXPECT_EQ(server.requests().size(), 0u);
}

TEST_F(Controller, AnUnpackFailureKeepsItsDiskSpaceReason) {
    makeFile("pkg.tarn", {"/never"});
    file->startController();
    taskMessage(DownloadTaskState_UnpackFailed, Error_DiskSpace);
    ASSERT_TRUE(waitError(Error_DiskSpace));
    taskMessage(DownloadTaskState_UnpackFailed, 0);
    ASSERT_TRUE(waitError(Error_Unpack));
    EXPECT_EQ(view.count(UM_FILE_ERROR), 2u);
}

struct ThreadStartCase {
    const char* name;
    int threadsThatStart;  // the controller first, then one per part
};

void PrintTo(const ThreadStartCase& c, std::ostream* os) { *os << c.name; }

class ThreadStart : public DownloadFixture,
                    public ::testing::WithParamInterface<ThreadStartCase> {};

TEST_P(ThreadStart, AThreadThatCannotStartFailsItsFileNotTheProcess) {
    server.addFile("/t/a", std::string(1000, 'a'));
    server.addFile("/t/b", std::string(1000, 'b'));
    makeFile("threads.bin", {"/t/a", "/t/b"});
    ThreadsRunOut limit(GetParam().threadsThatStart);
    start();
    ASSERT_TRUE(waitError(Error_Download));
    EXPECT_TRUE(waitUntil([&] { return file->state.load() == FileState_Error; }));
    EXPECT_EQ(server.requests().size(), 0u);
    Poco::FastMutex::ScopedLock lock(file->countersLock);
    EXPECT_NE(file->parts[0]->errorText.find("Unable to start a download thread"),
              std::string::npos)
        << file->parts[0]->errorText;
}

INSTANTIATE_TEST_SUITE_P(Controller, ThreadStart,
                         ::testing::Values(ThreadStartCase{"NoControllerThread", 0},
                                           ThreadStartCase{"NoTaskThread", 1},
                                           ThreadStartCase{"OnlyOneOfTwoTaskThreads", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// The file information never hands the controller such a file (it is
// refused when read); given one all the same, it stays safe: nothing is
// started or fetched, and nothing claims the file done.
TEST_F(Controller, FileWithoutPartsFetchesNothing) {
    makeFile("empty.bin", {});
    file->state = FileState_Downloading;
    start();
    command(FileState_Downloading);  // handled after the start: status 201 marks the point
    ASSERT_TRUE(view.waitFor(UM_FILE_STATUS, Status_Resumed));
    EXPECT_EQ(file->taskCount(), 0u);
    EXPECT_EQ(server.requests().size(), 0u);
    EXPECT_EQ(view.count(UM_FILE_STATUS, Status_Complete), 0u);
    EXPECT_NE(file->state.load(), FileState_Complete);
}

TEST_F(Controller, FailedChunkWriteIsStillAcknowledged) {
    makeFile("ack.bin", {"/never"});
    auto& part = *file->parts[0];
    part.length = 100;
    file->createTasks();
    file->startController();
    std::string index = "0", count = "10";
    char bytes[10] = {};
    auto chunk = std::make_unique<ChunkList>();
    chunk->indexText = &index;
    chunk->buffer = bytes;
    chunk->countText = &count;
    file->task(0).acknowledged = false;
    file->post(Message(UM_TASK_MESSAGE, DownloadTaskState_Data, 0, std::move(chunk)));
    ASSERT_TRUE(waitError(Error_DiskWrite));  // the output file was never opened
    ASSERT_TRUE(waitUntil([&] { return file->task(0).acknowledged.load(); }));
    auto texts = debugTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], "Set file pointer failed.");
    EXPECT_EQ(part.readPosition.load(), 0);
    EXPECT_EQ(file->downloadedBytes.load(), 0);
}

// Chunks are written and acknowledged at once, each where its part's
// previous one ends; the saved positions move only at the checkpoint that
// closes the file, and no saved position covers a byte before that flush.
class FlushRecordingFileSystem : public PosixFileSystem {
  public:
    std::function<int64_t()> covered;     // bytes the saved positions cover right now
    std::vector<int64_t> coveredAtFlush;  // ... at each flush
    int fdatasync(int fd) override {
        coveredAtFlush.push_back(covered());
        return PosixFileSystem::fdatasync(fd);
    }
};

struct ChunkGroupCase {
    const char* name;
    std::vector<int> chunkParts;  // the part of each chunk, in posting order
};

void PrintTo(const ChunkGroupCase& c, std::ostream* os) { *os << c.name; }

class ChunkGroups : public DownloadFixture, public ::testing::WithParamInterface<ChunkGroupCase> {};

TEST_P(ChunkGroups, AcknowledgedAtOnceSavedAfterTheFlush) {
    const auto& tc = GetParam();
    const int64_t partLength = 3000, chunk = 1000;
    FlushRecordingFileSystem fs;
    setFileSystem(&fs);
    makeFile("group.bin", {"/a", "/b", "/c"});
    fs.covered = [this] {
        int64_t sum = 0;
        for (auto& p : file->parts) sum += p->readPosition.load();
        return sum;
    };
    auto written = [this] {
        int64_t sum = 0;
        for (auto& p : file->parts) sum += p->nextReadPosition.load();
        return sum;
    };
    for (auto& p : file->parts) p->length = partLength;
    file->createTasks();
    file->layoutStep();  // lays the parts out and opens the output file
    ASSERT_TRUE(file->outputIsOpen());

    std::vector<std::string> indexTexts, bytes;
    indexTexts.reserve(tc.chunkParts.size());
    bytes.reserve(tc.chunkParts.size());
    const std::string countText = std::to_string(chunk);
    std::vector<std::string> expected(3);
    for (size_t k = 0; k < tc.chunkParts.size(); ++k) {
        int part = tc.chunkParts[k];
        indexTexts.push_back(std::to_string(part));
        bytes.push_back(std::string(static_cast<size_t>(chunk), static_cast<char>('a' + k)));
        expected[static_cast<size_t>(part)] += bytes.back();
        auto c = std::make_unique<ChunkList>();
        c->indexText = &indexTexts.back();
        c->buffer = bytes.back().data();
        c->countText = &countText;
        file->task(static_cast<size_t>(part)).acknowledged = false;
        file->post(Message(UM_TASK_MESSAGE, DownloadTaskState_Data, 0, std::move(c)));
    }
    file->startController();  // finds every chunk already waiting
    const int64_t total = chunk * static_cast<int64_t>(tc.chunkParts.size());
    ASSERT_TRUE(waitUntil([&] { return written() == total; }));
    for (size_t p = 0; p < 3; ++p)  // exactly the tasks that sent a chunk
        EXPECT_EQ(file->task(p).acknowledged.load(), !expected[p].empty()) << "part " << p;
    EXPECT_EQ(fs.covered(), 0);  // written, not yet flushed: nothing saved
    EXPECT_TRUE(fs.coveredAtFlush.empty());
    file->shutdown();  // closing the file takes the checkpoint

    EXPECT_EQ(fs.coveredAtFlush, std::vector<int64_t>{0});
    EXPECT_EQ(fs.covered(), total);
    std::string onDisk = readAll(outputPath());
    ASSERT_EQ(onDisk.size(), static_cast<size_t>(3 * partLength));
    for (size_t p = 0; p < 3; ++p) {
        EXPECT_EQ(onDisk.substr(p * partLength, expected[p].size()), expected[p]) << "part " << p;
        EXPECT_EQ(file->parts[p]->writePosition.load(),
                  static_cast<int64_t>(p) * partLength + static_cast<int64_t>(expected[p].size()));
    }
    EXPECT_EQ(view.count(UM_FILE_ERROR), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ChunkGroups,
                         ::testing::Values(ChunkGroupCase{"OneChunkPerPart", {0, 1, 2}},
                                           ChunkGroupCase{"SamePartTwice", {0, 1, 0}},
                                           ChunkGroupCase{"ThreeOfOnePart", {2, 2, 2}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Reports of the unpack side, posted straight to the controller.
TEST_F(Controller, RelaysUnpackReportsAndCompletes) {
    makeFile("setup.tarn", {});
    writeAll(outputPath(), "package");
    start();
    taskMessage(DownloadTaskState_CrcStarted);
    taskMessage(DownloadTaskState_Progress, 40);
    taskMessage(DownloadTaskState_Progress, 40);
    taskMessage(DownloadTaskState_CrcFinished);
    taskMessage(DownloadTaskState_Progress, 5);
    taskMessage(DownloadTaskState_Progress, 3);
    file->post(Message(UM_TASK_MESSAGE, DownloadTaskState_Unpacked, 0,
                       std::make_unique<TextPayload>("Setup")));
    ASSERT_TRUE(waitStatus(Status_Unpacked));
    EXPECT_EQ(statuses(),
              (std::vector<uintptr_t>{Status_CrcChecking, Status_Unpacking, Status_Unpacked}));
    EXPECT_EQ(percents(), (std::vector<intptr_t>{40, 5}));
    EXPECT_EQ(file->launchFolder, "Setup");
    EXPECT_EQ(file->state.load(), FileState_Complete);
    EXPECT_FALSE(std::filesystem::exists(outputPath()));
}

TEST_F(Controller, DownloadedPackageIsUnpackedAndDeleted) {
    BuiltPackage built = servePackage();
    makeFile("setup.tarn", {"/pkg/setup.tarn.1", "/pkg/setup.tarn.2"});
    file->unpackParameter = built.unpackParameter;
    start();
    ASSERT_TRUE(waitStatus(Status_Unpacked));
    EXPECT_EQ(file->state.load(), FileState_Complete);
    EXPECT_FALSE(std::filesystem::exists(outputPath()));
    EXPECT_EQ(readAll(outDir + "/Setup/readme.txt"), "read me");
    EXPECT_TRUE(std::filesystem::exists(outDir + "/Setup/setup.exe"));
    auto s = statuses();
    ASSERT_GE(s.size(), 3u);
    EXPECT_EQ(s.front(), static_cast<uintptr_t>(Status_CrcChecking));
    EXPECT_EQ(s.back(), static_cast<uintptr_t>(Status_Unpacked));
    EXPECT_NE(std::find(s.begin(), s.end(), Status_Unpacking), s.end());
    EXPECT_EQ(view.count(UM_FILE_ERROR), 0u);
    ASSERT_TRUE(waitUntil([&] { return file->unpackFinished(); }));  // told to quit
}

TEST_F(Controller, PrelocatedPackageIsUnpackedWithoutDownloadAndKept) {
    BuiltPackage built = servePackage();
    std::string found = root + "/drive/TARN/";
    writeAll(found + "setup.tarn", built.bytes);
    makeFile("setup.tarn", {"/pkg/setup.tarn.1", "/pkg/setup.tarn.2"});
    file->prelocated = true;
    file->outputPath = found;
    file->state = FileState_Downloading;
    file->unpackParameter = built.unpackParameter;
    file->startController();
    command(FileState_Downloading);
    ASSERT_TRUE(waitStatus(Status_Unpacked));
    EXPECT_EQ(statuses().front(), static_cast<uintptr_t>(Status_CrcChecking));
    EXPECT_TRUE(std::filesystem::exists(found + "setup.tarn"));
    EXPECT_EQ(readAll(outDir + "/Setup/readme.txt"), "read me");
    EXPECT_EQ(server.requests().size(), 0u);
}

// After a failed unpack the view deletes the package; a new start must fetch
// the whole file again rather than find every part "complete".
TEST_F(Controller, StartAfterUnpackFailureDownloadsAgain) {
    BuiltPackage built = servePackage();
    // The first download arrives damaged: its second half is garbage.
    size_t half = built.bytes.size() / 2;
    server.addFile("/pkg/setup.tarn.2", std::string(built.bytes.size() - half, 'Z'));
    makeFile("setup.tarn", {"/pkg/setup.tarn.1", "/pkg/setup.tarn.2"});
    file->unpackParameter = built.unpackParameter;
    start();
    ASSERT_TRUE(waitError(Error_Unpack));
    ASSERT_TRUE(waitUntil([&] { return file->state.load() == FileState_Error; }));
    std::filesystem::remove(outputPath());
    size_t before = server.requests().size();

    view.clear();
    server.addFile("/pkg/setup.tarn.2", built.bytes.substr(half));
    file->state = FileState_Downloading;
    command(FileState_Initial);
    ASSERT_TRUE(waitStatus(Status_Unpacked));
    EXPECT_EQ(readAll(outDir + "/Setup/readme.txt"), "read me");
    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), before + 4);
    for (size_t i = before; i < reqs.size(); ++i) EXPECT_FALSE(reqs[i].header("Range"));
    EXPECT_EQ(file->fileSize.load(), static_cast<int64_t>(built.bytes.size()));
    EXPECT_EQ(percents().back(), 100);  // the download percent started over
}

}  // namespace
}  // namespace quenlow::test
