// End-to-end downloads of multi-part files from the local server: bytes on
// disk, the requests the server saw, and what the view was told.

#include <cerrno>

#include "support/DownloadFixture.h"

namespace quenlow::test {
namespace {

class FileDownload : public DownloadFixture {};

TEST_F(FileDownload, ThreePartsLandByteIdenticalWithProgressAndCompletion) {
    const std::vector<uint64_t> sizes = {300000, 131072 * 2, 77777};
    std::string whole;
    std::vector<std::string> paths;
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::string content = generatedContent(static_cast<uint32_t>(i + 1), sizes[i]);
        paths.push_back("/files/setup.bin." + std::to_string(i));
        server.addFile(paths.back(), content);
        whole += content;
    }
    makeFile("setup.bin", paths);
    start();
    ASSERT_TRUE(waitStatus(Status_Complete));

    EXPECT_EQ(readAll(outputPath()), whole);
    EXPECT_EQ(file->fileSize.load(), static_cast<int64_t>(whole.size()));
    EXPECT_EQ(file->downloadedBytes.load(), static_cast<int64_t>(whole.size()));
    EXPECT_EQ(file->state.load(), FileState_Complete);
    EXPECT_EQ(file->parts[1]->writePosition.load(), static_cast<int64_t>(sizes[0] + sizes[1]));
    for (const auto& p : paths) {
        auto reqs = server.requestsFor(p);
        ASSERT_EQ(reqs.size(), 2u) << p;  // probe, then data
        for (const auto& r : reqs) {
            EXPECT_FALSE(r.header("Range")) << p;
            EXPECT_EQ(r.header("Pragma").value_or(""), "no-cache");
            EXPECT_EQ(r.header("Cache-Control").value_or(""), "no-cache");
            EXPECT_EQ(r.header("User-Agent").value_or(""), "Quenlow");
            EXPECT_FALSE(r.header("X-LDebug"));
        }
    }

    // Wait widget shown first; percents rise to 100; the last bytes are saved
    // (a save request after the last percent) before the file is complete.
    auto msgs = view.messages();
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs[0].id, UM_WAIT_WIDGET);
    EXPECT_EQ(msgs[0].wParam, static_cast<uintptr_t>(WaitWidget_Show));
    intptr_t last = 0;
    size_t lastProgress = 0, lastSave = 0, complete = 0;
    for (size_t i = 0; i < msgs.size(); ++i) {
        if (msgs[i].id == UM_SAVE_STATE) lastSave = i;
        if (msgs[i].id == UM_FILE_STATUS && msgs[i].wParam == Status_Complete) complete = i;
        if (msgs[i].id != UM_FILE_PROGRESS) continue;
        EXPECT_EQ(msgs[i].wParam, 3u);
        EXPECT_GT(msgs[i].lParam, last);
        last = msgs[i].lParam;
        lastProgress = i;
    }
    EXPECT_EQ(last, 100);
    EXPECT_GT(lastSave, lastProgress);
    EXPECT_LT(lastSave, complete);
    EXPECT_EQ(view.count(UM_FILE_STATUS, Status_Complete), 1u);
    EXPECT_EQ(view.count(UM_FILE_ERROR), 0u);
    EXPECT_EQ(debugTexts(), std::vector<std::string>{
                                "OnTaskMessage::DownloadTaskState_Completed call closeOutputFile"});
}

// A restored file: the output file holds what earlier runs fetched; each part
// asks for the rest with a Range request. Part 0 is whole (the server answers
// 416); part 1 has exactly as many bytes left as it holds (a 206 whose
// Content-Length equals readPosition is not "complete").
TEST_F(FileDownload, ResumesFromRestoredPositionsWithRangeRequests) {
    const uint64_t a = 200000, b = 400000, c = 150000;
    std::string pa = generatedContent(11, a), pb = generatedContent(12, b),
                pc = generatedContent(13, c);
    server.addFile("/r/0", pa);
    server.addFile("/r/1", pb);
    server.addFile("/r/2", pc);
    makeFile("resume.bin", {"/r/0", "/r/1", "/r/2"});
    const int64_t read1 = 200000, read2 = 1048;
    file->fileSize = static_cast<int64_t>(a + b + c);
    file->parts[0]->readPosition = static_cast<int64_t>(a);
    file->parts[0]->writePosition = static_cast<int64_t>(a);
    file->parts[1]->readPosition = read1;
    file->parts[1]->writePosition = static_cast<int64_t>(a) + read1;
    file->parts[2]->readPosition = read2;
    file->parts[2]->writePosition = static_cast<int64_t>(a + b) + read2;
    file->downloadedBytes = static_cast<int64_t>(a) + read1 + read2;
    // On disk: what was fetched, zeros where bytes are still missing.
    std::string disk = pa + pb.substr(0, read1) + std::string(b - read1, '\0') +
                       pc.substr(0, read2) + std::string(c - read2, '\0');
    writeAll(outputPath(), disk);

    start();
    ASSERT_TRUE(waitStatus(Status_Complete));
    EXPECT_EQ(readAll(outputPath()), pa + pb + pc);
    EXPECT_EQ(file->fileSize.load(), static_cast<int64_t>(a + b + c));

    auto r0 = server.requestsFor("/r/0");
    ASSERT_EQ(r0.size(), 1u);  // 416 to the probe: no data request
    EXPECT_EQ(r0[0].header("Range").value_or(""), "bytes=200000-");
    EXPECT_EQ(file->parts[0]->length.load(), static_cast<int64_t>(a));
    auto r1 = server.requestsFor("/r/1");
    ASSERT_EQ(r1.size(), 2u);
    for (const auto& r : r1) EXPECT_EQ(r.header("Range").value_or(""), "bytes=200000-");
    for (const auto& r : server.requestsFor("/r/2"))
        EXPECT_EQ(r.header("Range").value_or(""), "bytes=1048-");
}

// Servers that send the wrong bytes: the whole part to a Range request, or a
// body longer than the part. Nothing is written outside the part's stretch.
struct MisbehaviourCase {
    const char* name;
    ServerBehavior behavior;
    int64_t restoredRead;  // bytes of part 0 already on disk
};

void PrintTo(const MisbehaviourCase& c, std::ostream* os) { *os << c.name; }

class ServerMisbehaviour : public DownloadFixture,
                           public ::testing::WithParamInterface<MisbehaviourCase> {};

TEST_P(ServerMisbehaviour, NeverWritesOutsideThePartsStretch) {
    const auto& tc = GetParam();
    std::string p0 = generatedContent(21, 250000), p1 = generatedContent(22, 90000);
    server.addFile("/m/0", p0);
    server.addFile("/m/1", p1);
    server.setBehavior("/m/0", tc.behavior);
    makeFile("m.bin", {"/m/0", "/m/1"});
    if (tc.restoredRead > 0) {
        file->fileSize = static_cast<int64_t>(p0.size() + p1.size());
        file->parts[0]->readPosition = tc.restoredRead;
        file->parts[0]->writePosition = tc.restoredRead;
        file->parts[1]->writePosition = static_cast<int64_t>(p0.size());
        file->downloadedBytes = tc.restoredRead;
        writeAll(
            outputPath(),
            p0.substr(0, static_cast<size_t>(tc.restoredRead)) +
                std::string(p0.size() - static_cast<size_t>(tc.restoredRead) + p1.size(), '\0'));
    }
    start();
    ASSERT_TRUE(waitStatus(Status_Complete));
    EXPECT_EQ(readAll(outputPath()), p0 + p1);
    EXPECT_EQ(file->parts[0]->readPosition.load(), static_cast<int64_t>(p0.size()));
    EXPECT_EQ(file->downloadedBytes.load(), static_cast<int64_t>(p0.size() + p1.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerMisbehaviour,
    ::testing::Values(
        MisbehaviourCase{"IgnoresRange", {.ignoreRange = true}, 100000},
        MisbehaviourCase{
            "IgnoresRangeOnlyForData", {.ignoreRange = true, .normalRequests = 1}, 100000},
        MisbehaviourCase{"DataLongerThanProbed", {.extraBytes = 70000, .normalRequests = 1}, 0},
        MisbehaviourCase{
            "DataLongerThanProbedOnResume", {.extraBytes = 70000, .normalRequests = 1}, 123456}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileDownload, ShortBodyReconnectsFromTheWrittenPosition) {
    std::string content = generatedContent(31, 1000000);
    server.addFile("/s/0", content);
    // Probe and data of the first attempt are cut after 300 000 bytes.
    server.setBehavior("/s/0", {.shortBodyBytes = 300000, .shortBodyTimes = 2});
    makeFile("short.bin", {"/s/0"});
    start();
    ASSERT_TRUE(waitStatus(Status_Complete));
    EXPECT_EQ(readAll(outputPath()), content);
    auto reqs = server.requestsFor("/s/0");
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_FALSE(reqs[1].header("Range"));
    EXPECT_EQ(reqs[2].header("Range").value_or(""), "bytes=300000-");
    EXPECT_EQ(reqs[3].header("Range").value_or(""), "bytes=300000-");
    EXPECT_EQ(view.count(UM_FILE_ERROR), 0u);
}

TEST_F(FileDownload, PauseWaitsForEveryPartThenResumesOnTheOpenRequests) {
    std::vector<std::string> paths = {"/p/0", "/p/1", "/p/2"};
    std::string whole;
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string c = generatedContent(static_cast<uint32_t>(40 + i), 1500000);
        server.addFile(paths[i], c);
        server.setBehavior(paths[i], {.bytesPerSecond = 3000000});
        whole += c;
    }
    makeFile("pause.bin", paths);
    start();
    ASSERT_TRUE(view.waitFor([](const Recorded& r) { return r.id == UM_FILE_PROGRESS; }));
    command(FileState_Paused);
    ASSERT_TRUE(waitStatus(Status_Paused));
    EXPECT_EQ(file->state.load(), FileState_Paused);
    for (auto& p : file->parts) EXPECT_EQ(p->state.load(), PartState_Pause);
    EXPECT_LT(file->downloadedBytes.load(), static_cast<int64_t>(whole.size()));
    EXPECT_EQ(view.count(UM_FILE_STATUS, Status_Paused), 1u);

    command(FileState_Downloading);
    ASSERT_TRUE(waitStatus(Status_Complete));
    EXPECT_EQ(readAll(outputPath()), whole);
    // Status 201 came between 200 and 204; no part asked the server again.
    auto msgs = view.messages();
    std::vector<uintptr_t> statuses;
    for (const auto& m : msgs)
        if (m.id == UM_FILE_STATUS) statuses.push_back(m.wParam);
    EXPECT_EQ(statuses, (std::vector<uintptr_t>{Status_Paused, Status_Resumed, Status_Complete}));
    for (const auto& p : paths) EXPECT_EQ(server.requestCount(p), 2u) << p;
}

TEST_F(FileDownload, NotFoundFailsTheFileOnceAndAbortsTheOtherParts) {
    server.addFile("/x/part0.bin", generatedContent(51, 500000));
    // The page's folder replaces the parts' folders: the part URLs' own hosts are never asked.
    makeFile("nf.bin", {"/unused/part0.bin", "/unused/part1.bin"});
    file->parts[0]->url = "http://host-that-is-never-asked.invalid/a/b/part0.bin";
    file->parts[1]->url = "http://host-that-is-never-asked.invalid/a/b/part1.bin";
    file->pageFileUrl = server.url("/x/pick.html");
    start();
    ASSERT_TRUE(waitError(Error_Download));
    ASSERT_TRUE(waitUntil([&] { return file->state.load() == FileState_Error; }));
    EXPECT_EQ(file->parts[1]->errorText, "404");
    EXPECT_EQ(file->parts[1]->errorUrl, server.url("/x/part1.bin"));
    EXPECT_EQ(file->parts[1]->state.load(),
              PartState_Abort);  // the abort covers the failed part too
    EXPECT_EQ(file->parts[0]->state.load(), PartState_Abort);
    EXPECT_EQ(view.count(UM_FILE_ERROR), 1u);
    auto texts = debugTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "File::abortFileParts call closeOutputFile"),
              texts.end());
    EXPECT_EQ(file->parts[0]->readPosition.load(), 0);  // never written: the file was never opened
}

// A part fails in the middle (its server stops sending) after another part
// completed; a new start keeps the complete part and resumes the other.
TEST_F(FileDownload, RestartAfterErrorKeepsTheCompletePart) {
    pacing().receiveTimeout = 300ms;
    std::string p0 = generatedContent(61, 50000), p1 = generatedContent(62, 600000);
    server.addFile("/e/0", p0);
    server.addFile("/e/1", p1);
    server.setBehavior("/e/1", {.stallAfterBytes = 262144});
    makeFile("restart.bin", {"/e/0", "/e/1"});
    start();
    ASSERT_TRUE(waitError(Error_Download));
    ASSERT_TRUE(waitUntil([&] { return file->state.load() == FileState_Error; }));
    EXPECT_EQ(file->parts[0]->state.load(), PartState_Completed);
    EXPECT_EQ(file->parts[1]->state.load(),
              PartState_Abort);  // the abort covers the failed part too
    EXPECT_FALSE(file->parts[1]->errorText.empty());
    int64_t kept = file->parts[1]->readPosition.load();
    EXPECT_GT(kept, 0);
    size_t p0Requests = server.requestCount("/e/0");

    server.setBehavior("/e/1", {});
    view.clear();
    file->state = FileState_Downloading;  // as the order does before a start
    command(FileState_Initial);
    ASSERT_TRUE(waitStatus(Status_Complete));
    EXPECT_EQ(readAll(outputPath()), p0 + p1);
    EXPECT_EQ(server.requestCount("/e/0"), p0Requests);
    auto r1 = server.requestsFor("/e/1");
    EXPECT_EQ(r1.back().header("Range").value_or(""), "bytes=" + std::to_string(kept) + "-");
}

// Disk trouble while the output file is created or written.
struct DiskFaultCase {
    const char* name;
    void (*inject)(FaultyFileSystem&);
    int error;
    const char* debugText;  // expected before the error, or nullptr
    bool fileRemains;
};

void PrintTo(const DiskFaultCase& c, std::ostream* os) { *os << c.name; }

class DiskFault : public DownloadFixture, public ::testing::WithParamInterface<DiskFaultCase> {};

TEST_P(DiskFault, ReportsTheErrorAndKeepsPositions) {
    const auto& tc = GetParam();
    FaultyFileSystem fs;
    tc.inject(fs);
    setFileSystem(&fs);
    server.addFile("/d/0", generatedContent(71, 300000));
    server.addFile("/d/1", generatedContent(72, 300000));
    makeFile("disk.bin", {"/d/0", "/d/1"});
    file->parts[0]->downloadKB = 1000;
    start();
    ASSERT_TRUE(waitError(tc.error));
    ASSERT_TRUE(waitUntil([&] { return file->state.load() == FileState_Error; }));
    for (auto& p : file->parts) {
        EXPECT_EQ(p->readPosition.load(), 0);
        EXPECT_EQ(p->state.load(), PartState_Abort);
    }
    EXPECT_FALSE(file->outputIsOpen());
    auto texts = debugTexts();
    if (tc.debugText) {
        auto it = std::find(texts.begin(), texts.end(), tc.debugText);
        ASSERT_NE(it, texts.end());
        // The failure text comes before the abort's own text.
        EXPECT_NE(std::find(it, texts.end(), "File::abortFileParts call closeOutputFile"),
                  texts.end());
    }
    EXPECT_EQ(std::filesystem::exists(outputPath()), tc.fileRemains);
    if (tc.error == Error_CreateFile) {
        EXPECT_TRUE(file->outputFolder.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskFault,
    ::testing::Values(
        DiskFaultCase{"TooLittleFreeSpace",
                      [](FaultyFileSystem& f) { f.freeBytes = 1000 * 1024 - 1; }, Error_DiskSpace,
                      nullptr, false},
        DiskFaultCase{"PreallocationDiskFull",
                      [](FaultyFileSystem& f) { f.allocateFault = {ENOSPC}; }, Error_DiskSpace,
                      nullptr, false},
        DiskFaultCase{"OpenDiskFull", [](FaultyFileSystem& f) { f.openFault = {ENOSPC}; },
                      Error_DiskSpace, nullptr, false},
        DiskFaultCase{"OpenDenied", [](FaultyFileSystem& f) { f.openFault = {EACCES}; },
                      Error_CreateFile, nullptr, false},
        DiskFaultCase{"FolderNotCreated", [](FaultyFileSystem& f) { f.mkdirFault = {EACCES}; },
                      Error_CreateFile, nullptr, false},
        DiskFaultCase{"WriteFails", [](FaultyFileSystem& f) { f.writeFault = {EIO}; },
                      Error_DiskWrite, "Write file failed", true},
        DiskFaultCase{"FlushFails", [](FaultyFileSystem& f) { f.syncFault = {EIO}; },
                      Error_DiskWrite, "Flush file buffer failed.", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileDownload, FileNameThatLeavesTheFolderIsRefused) {
    server.addFile("/n/0", "payload");
    makeFile("../escaped.bin", {"/n/0"});
    start();
    ASSERT_TRUE(waitError(Error_CreateFile));
    EXPECT_FALSE(std::filesystem::exists(root + "/out/escaped.bin"));
    EXPECT_FALSE(std::filesystem::exists(outDir));
}

TEST_F(FileDownload, BlankInThePartUrlIsEncodedOnTheWire) {
    server.addFile("/with blank/f.bin", "content");
    makeFile("blank.bin", {"/with blank/f.bin"});
    start();
    ASSERT_TRUE(waitStatus(Status_Complete));
    EXPECT_EQ(readAll(outputPath()), "content");
    auto reqs = server.requestsFor("/with blank/f.bin");
    ASSERT_FALSE(reqs.empty());
    EXPECT_EQ(reqs[0].target, "/with%20blank/f.bin");
}

TEST_F(FileDownload, TracesEveryNetworkStepWhenTracing) {
    server.addFile("/t/0", generatedContent(81, 1000));
    makeFile("trace.bin", {"/t/0"}, /*trace=*/true);
    start();
    ASSERT_TRUE(waitStatus(Status_Complete));
    std::string port = std::to_string(server.port());
    std::vector<std::string> expected = {
        "Download Start Phase - InternetSetOption(NULL, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, "
        "100, "
        "sizeof(dwMaxCount)) retCode = 1",
        "InternetSetOption(NULL, INTERNET_OPTION_MAX_CONNS_PER_SERVER, 100, "
        "sizeof(dwMaxCount))retCode = 1",
        "InternetOpen(AfxGetAppName(), INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, "
        "INTERNET_FLAG_DONT_CACHE | "
        "INTERNET_FLAG_RELOAD)retCode = 1",
        "InternetSetOption(hInternetSession, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, 100, "
        "sizeof(dwMaxCount));retCode = 1",
        "InternetConnect(hInternetSession, '127.0.0.1', " + port +
            ", NULL, NULL, INTERNET_SERVICE_HTTP, 0, (DWORD) this);",
        "HttpOpenRequest(hHttpConnection, NULL, /t/0, 'HTTP/1.1', NULL, NULL, 2218787072, 0)",
        "HttpSendRequest(hHttpFile, '', 0, NULL, 0)",
        "HttpQueryInfo(hHttpFile, HTTP_QUERY_STATUS_CODE, szStatusCode, &dwInfoSize, NULL) return "
        "statusCode 200",
        "HttpQueryInfo(hHttpFile, HTTP_QUERY_CONTENT_LENGTH, szContentLength, &dwInfoSize, NULL) "
        "return m_ulContentLength 1000",
        "InternetCloseHandle( hHttpFile )",
        "HttpOpenRequest(hHttpConnection, NULL, /t/0, NULL, NULL, NULL, 2218787072, 0)",
        "HttpSendRequest(hHttpFile, '', 0, NULL, 0)",
        "processDownloadStream",
        "InternetSetOption(hHttpFile, INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT,5000, "
        "sizeof(dwTimeout))retCode = 1",
        "First InternetReadFile call",
        "InternetReadFile loop completed",
        "OnTaskMessage::DownloadTaskState_Completed call closeOutputFile",
    };
    EXPECT_EQ(debugTexts(), expected);
    for (const auto& m : view.messages())
        if (m.id == UM_DEBUG_TEXT) {
            EXPECT_EQ(m.wParam, 3u);
        }
    auto reqs = server.requestsFor("/t/0");
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].header("X-LDebug").value_or(""), "2");
    EXPECT_FALSE(reqs[1].header("X-LDebug"));
}

// Tasks blocked in a read, a pause or an acknowledgement never hold up shutdown.
TEST_F(FileDownload, ShutdownEndsBlockedTasks) {
    pacing().receiveTimeout = 600000ms;
    pacing().abortSettle = 600000ms;
    server.addFile("/b/0", generatedContent(91, 2000000));
    server.addFile("/b/1", generatedContent(92, 2000000));
    server.setBehavior("/b/0", {.stallAfterBytes = 131072 * 3 + 5});
    server.setBehavior("/b/1", {.bytesPerSecond = 1000000});
    makeFile("block.bin", {"/b/0", "/b/1"});
    start();
    ASSERT_TRUE(view.waitFor([](const Recorded& r) { return r.id == UM_FILE_PROGRESS; }));
    file->parts[1]->state = PartState_Pause;  // task 1 will sit in its pause wait
    ASSERT_TRUE(waitUntil([&] { return file->parts[0]->nextReadPosition.load() >= 131072 * 3; }));
    file->shutdown();
    EXPECT_TRUE(file->finished());
    for (size_t i = 0; i < file->taskCount(); ++i) EXPECT_TRUE(file->task(i).finished());
    EXPECT_EQ(view.count(UM_FILE_ERROR), 0u);
}

}  // namespace
}  // namespace quenlow::test
