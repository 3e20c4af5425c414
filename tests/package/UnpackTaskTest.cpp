#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "PackageTestUtil.h"
#include "package/PackageWriter.h"
#include "package/UnpackTask.h"
#include "platform/FileSystem.h"
#include "support/FaultyFileSystem.h"

namespace quenlow::test {
namespace {

using namespace std::chrono_literals;

// Collects the controller's reports until report 2 or 3 arrives.
std::vector<Report> waitForOutcome(const QueueRef& controller) {
    std::vector<Report> out;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        for (auto& r : drain(controller)) {
            out.push_back(r);
            if (r.code == DownloadTaskState_Unpacked || r.code == DownloadTaskState_UnpackFailed)
                return out;
        }
        std::this_thread::sleep_for(1ms);
    }
    ADD_FAILURE() << "no outcome reported";
    return out;
}

class UnpackTaskTest : public ::testing::Test {
  protected:
    FastPacing fast;
    ScratchDir dir;
    QueueRef controller = std::make_shared<MessageQueue>();
    std::string package = dir / "pkg.tarn";
    std::string out = dir / "out";

    std::vector<Report> run(const std::string& parameter, bool deleteOnCrcFailure = false) {
        UnpackTask task(package, out, parameter, deleteOnCrcFailure, controller);
        task.startTask();
        task.post(Message(UM_TASK_COMMAND, UM_TASK_COMMAND, TaskCommand_Unpack));
        auto reports = waitForOutcome(controller);
        task.post(Message(WM_QUIT, 0, 0));
        return reports;
    }
};

std::vector<PackageEntry> entries() {
    std::string big;
    while (big.size() < 600000) big += "setup data " + std::to_string(big.size()) + "\n";
    return {{.name = "Setup/", .folder = true},
            {.name = "Setup/a.bin", .data = big},
            {.name = "Setup/b.txt", .data = "b"}};
}

TEST_F(UnpackTaskTest, ReportsInOrderAndTheLaunchFolder) {
    PackageOptions o;
    o.version = 178;
    o.key = "33";
    BuiltPackage built = BuildPackage(entries(), o);
    writeFile(package, built.bytes);
    auto r = run(built.unpackParameter);
    // 17, percents, 18, percents, then 3; log lines anywhere in between.
    std::vector<int> codes;
    for (const auto& x : r)
        if (x.code != DownloadTaskState_Log && (codes.empty() || codes.back() != x.code))
            codes.push_back(x.code);
    EXPECT_EQ(codes, (std::vector<int>{17, 1, 18, 1, 3}));
    ASSERT_EQ(r.back().code, DownloadTaskState_Unpacked);
    EXPECT_EQ(r.back().text, "Setup");
    EXPECT_EQ(r.front().text, "Unpacking File: " + package);
    // Percents within each stage never fall, and extraction ends at 100.
    auto p = percents(r);
    EXPECT_EQ(p.back(), 100);
    EXPECT_EQ(readFile(out + "/Setup/b.txt"), "b");
}

TEST_F(UnpackTaskTest, LayoutChoiceFollowsTheFirstWordAndTheKeyLength) {
    const std::string longKey(51, 'L');
    struct Case {
        PackageLayout layout;
        uint32_t version;
        std::string key;
    };
    const std::vector<Case> cases = {
        {PackageLayout::Sealed, 178, longKey},  // sealed, though its first word is not a version
        {PackageLayout::Versioned, 181, "12"},
        {PackageLayout::Legacy, 0, "12"},
    };
    for (const auto& c : cases) {
        PackageOptions o;
        o.layout = c.layout;
        o.version = c.version;
        o.key = c.key;
        BuiltPackage built = BuildPackage(entries(), o);
        writeFile(package, built.bytes);
        fs::remove_all(out);
        auto r = run(built.unpackParameter);
        ASSERT_EQ(r.back().code, DownloadTaskState_Unpacked) << int(c.layout);
        EXPECT_EQ(readFile(out + "/Setup/b.txt"), "b");
        const bool hasCrcPass = std::any_of(
            r.begin(), r.end(), [](auto& x) { return x.code == DownloadTaskState_CrcStarted; });
        EXPECT_EQ(hasCrcPass, c.layout != PackageLayout::Legacy);
        EXPECT_EQ(percents(r).back(), 100) << "legacy percents are relayed too";
    }
}

TEST_F(UnpackTaskTest, FailuresReportTwo) {
    // A missing package is created empty; as a legacy package it fails.
    auto r = run("0^^12");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, DownloadTaskState_UnpackFailed);
    EXPECT_TRUE(fs::exists(package));

    PackageOptions o;
    o.version = 178;
    writeFile(package, BuildPackage(entries(), o).bytes);
    r = run("1^^", true);
    EXPECT_EQ(r.back().code, DownloadTaskState_UnpackFailed);
    EXPECT_EQ(logTexts(r).back(), "CRC not valid2");
    EXPECT_FALSE(fs::exists(package)) << "deleted on CRC failure";
}

TEST_F(UnpackTaskTest, OnlyCommand103RunsTheJob) {
    PackageOptions o;
    BuiltPackage built = BuildPackage(entries(), o);
    writeFile(package, built.bytes);
    UnpackTask task(package, out, built.unpackParameter, false, controller);
    task.startTask();
    task.post(Message(UM_TASK_COMMAND, UM_TASK_COMMAND, 102));
    task.post(Message(UM_TASK_COMMAND, 0, TaskCommand_Unpack));
    task.post(
        Message(UM_SAVE_STATE, UM_TASK_COMMAND, TaskCommand_Unpack));  // routed to the same handler
    auto r = waitForOutcome(controller);
    EXPECT_EQ(r.back().code, DownloadTaskState_Unpacked);
    task.post(Message(WM_QUIT, 0, 0));
    task.stopAndJoin();
    EXPECT_TRUE(task.finished());
    // Exactly one job ran: one start line.
    size_t starts = 0;
    for (const auto& t : logTexts(r)) starts += t.rfind("Unpacking File: ", 0) == 0;
    EXPECT_EQ(starts, 1u);
    EXPECT_TRUE(drain(controller).empty());
}

TEST_F(UnpackTaskTest, AFullDiskFailsWithTheDiskSpaceReason) {
    PackageOptions o;
    o.version = 178;
    BuiltPackage built = BuildPackage(entries(), o);
    writeFile(package, built.bytes);
    FaultyFileSystem faulty;
    faulty.writeFault = {ENOSPC, 1};
    std::vector<Report> r;
    {
        FileSystemInPlace inPlace(faulty);
        r = run(built.unpackParameter);
    }
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().code, DownloadTaskState_UnpackFailed);
    EXPECT_EQ(r.back().lParam, Error_DiskSpace);
    EXPECT_FALSE(fs::exists(out + "/Setup/a.bin"));
}

TEST_F(UnpackTaskTest, ShutdownDuringALongInflateStopsItBetweenBuffers) {
    std::string big;
    while (big.size() < (16u << 20))
        big += "installer payload " + std::to_string(big.size()) + "\n";
    BuiltPackage built = BuildPackage({{.name = "Setup/huge.bin", .data = big}}, {});
    writeFile(package, built.bytes);

    UnpackTask task(package, out, built.unpackParameter, false, controller);
    std::atomic<int> writes{0};
    std::atomic<bool> writing{false};
    FaultyFileSystem faulty;
    // The first write holds the job until shutdown has been asked for, so the
    // stop lands in the middle of the entry whatever the machine's speed.
    faulty.beforeWrite = [&] {
        if (++writes > 1) return;
        writing = true;
        writing.notify_all();
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!task.stopRequested() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
    };
    {
        FileSystemInPlace inPlace(faulty);
        task.startTask();
        task.post(Message(UM_TASK_COMMAND, UM_TASK_COMMAND, TaskCommand_Unpack));
        writing.wait(false);
        task.stopAndJoin();
    }

    EXPECT_EQ(writes.load(), 1) << "no buffer after the one in flight";
    EXPECT_FALSE(fs::exists(out + "/Setup/huge.bin")) << "a cut file is not left behind";
    for (const auto& r : drain(controller)) EXPECT_NE(r.code, DownloadTaskState_Unpacked);
}

}  // namespace
}  // namespace quenlow::test
