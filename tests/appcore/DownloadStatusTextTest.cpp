// The status bar's text pane: file count, speed over a sliding window and
// time left, driven by a fake clock.

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/core/DownloadStatusText.h"
#include "state/OrderState.h"

namespace quenlow {
namespace {

using namespace std::chrono_literals;
using Activity = FileProgressSample::Activity;

constexpr int64_t KiB = 1024;
constexpr int64_t MiB = 1024 * KiB;

FileProgressSample downloading(int64_t bytes, int64_t size) {
    return {Activity::Downloading, bytes, size};
}
FileProgressSample idle(int64_t bytes, int64_t size) { return {Activity::Idle, bytes, size}; }
FileProgressSample unpacking(int64_t size) { return {Activity::Unpacking, size, size}; }

// One sample: how long after the previous one it is taken, and what it sees.
struct Step {
    std::chrono::milliseconds after;
    OrderProgress progress;
};

// count samples, one every 500 ms, each file gaining perStep[i] bytes from
// start[i] (the first sample sees start itself).
std::vector<Step> steady(int count, std::vector<int64_t> start, std::vector<int64_t> perStep,
                         std::vector<int64_t> sizes, uint64_t generation = 1) {
    std::vector<Step> steps;
    for (int k = 0; k < count; ++k) {
        OrderProgress p{generation, {}};
        for (size_t i = 0; i < start.size(); ++i)
            p.files.push_back(downloading(start[i] + k * perStep[i], sizes[i]));
        steps.push_back({500ms, p});
    }
    return steps;
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct StatusCase {
    const char* name;
    std::vector<Step> steps;
    const char* expected;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class DownloadStatusTextTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(DownloadStatusTextTest, ShowsTheRunningDownloads) {
    SteadyTime now{};  // the fake clock
    DownloadStatusText status([&] { return now; });
    for (const Step& step : GetParam().steps) {
        now += step.after;
        status.sample(step.progress);
    }
    EXPECT_EQ(status.text(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, DownloadStatusTextTest,
    ::testing::Values(
        StatusCase{"NoOrderIsReady", {{0ms, {1, {}}}}, "Ready"},
        StatusCase{
            "IdleFilesAreReady", {{0ms, {1, {idle(0, 0), idle(5 * MiB, 5 * MiB)}}}}, "Ready"},
        StatusCase{"FirstSampleShowsOnlyTheCount",
                   steady(1, {0, 0}, {MiB, MiB}, {10 * MiB, 10 * MiB}), "2 files"},
        // 2 MiB/s each; 140 + 140 MiB left at 4 MiB/s is 70 s.
        StatusCase{"TwoFilesSpeedAndTimeLeft",
                   steady(7, {54 * MiB, 54 * MiB}, {MiB, MiB}, {200 * MiB, 200 * MiB}),
                   "2 files \xC2\xB7 4.0 MB/s \xC2\xB7 1 min 10 s left"},
        StatusCase{"OneFileIsSingular", steady(5, {0}, {256}, {60 * KiB + 1024}),
                   "1 file \xC2\xB7 512 B/s \xC2\xB7 2 min left"},
        StatusCase{"TimeLeftRoundsUp", steady(3, {0}, {MiB / 2}, {MiB + 1}),
                   "1 file \xC2\xB7 1.0 MB/s \xC2\xB7 1 s left"},
        StatusCase{"UnknownSizeLeavesOutTimeLeft", steady(3, {0}, {MiB / 2}, {0}),
                   "1 file \xC2\xB7 1.0 MB/s"},
        StatusCase{"StalledDownloadShowsZeroSpeed", steady(4, {MiB}, {0}, {2 * MiB}),
                   "1 file \xC2\xB7 0 B/s"},
        // 6 MiB in the first half second, then 1 MiB per half second: the
        // window (3 s) still holds the burst: (6 + 5) MiB / 3 s.
        StatusCase{"BurstIsAveragedOverTheWindow",
                   steady(1, {0}, {0}, {100 * MiB}) + steady(6, {6 * MiB}, {MiB}, {100 * MiB}),
                   "1 file \xC2\xB7 3.7 MB/s \xC2\xB7 25 s left"},
        // Once the burst is older than the window, only the steady rate counts.
        StatusCase{"OldBurstLeavesTheWindow",
                   steady(1, {0}, {0}, {100 * MiB}) + steady(12, {6 * MiB}, {MiB}, {100 * MiB}),
                   "1 file \xC2\xB7 2.0 MB/s \xC2\xB7 42 s left"},
        // File 2 is paused after the first sample: it leaves the count, and
        // what it still misses is no time left.
        StatusCase{"PausedFileLeavesTheCount",
                   std::vector<Step>{
                       {0ms, {1, {downloading(0, 8 * MiB), downloading(3 * MiB, 8 * MiB)}}},
                       {500ms, {1, {downloading(MiB, 8 * MiB), idle(3 * MiB, 8 * MiB)}}},
                       {500ms, {1, {downloading(2 * MiB, 8 * MiB), idle(3 * MiB, 8 * MiB)}}}},
                   "1 file \xC2\xB7 2.0 MB/s \xC2\xB7 3 s left"},
        // A file resumed with 500 MiB already on disk: those bytes are no speed.
        StatusCase{
            "ResumedFileBringsNoJump",
            std::vector<Step>{
                {0ms, {1, {downloading(0, 10 * MiB), idle(500 * MiB, 600 * MiB)}}},
                {500ms, {1, {downloading(MiB, 10 * MiB), downloading(500 * MiB, 600 * MiB)}}},
                {500ms, {1, {downloading(2 * MiB, 10 * MiB), downloading(501 * MiB, 600 * MiB)}}}},
            "2 files \xC2\xB7 3.0 MB/s \xC2\xB7 36 s left"},
        // A part error resets a file to zero and it starts over: no negative speed.
        StatusCase{"FileResetToZeroIsNoNegativeSpeed",
                   std::vector<Step>{{0ms, {1, {downloading(4 * MiB, 8 * MiB)}}},
                                     {500ms, {1, {downloading(0, 8 * MiB)}}},
                                     {500ms, {1, {downloading(MiB / 2, 8 * MiB)}}}},
                   "1 file \xC2\xB7 512.0 KB/s \xC2\xB7 15 s left"},
        // A new page load's order is measured afresh, never against the previous one.
        StatusCase{"NewOrderIsNotComparedWithTheOld",
                   steady(3, {0}, {4 * MiB}, {100 * MiB}, 1) +
                       steady(2, {900 * MiB}, {MiB / 2}, {1000 * MiB}, 2),
                   "1 file \xC2\xB7 1.0 MB/s \xC2\xB7 1 min 40 s left"},
        // When everything stopped, a later download measures afresh.
        StatusCase{"NextDownloadMeasuresAfresh",
                   steady(4, {0}, {4 * MiB}, {100 * MiB}) +
                       std::vector<Step>{{500ms, {1, {idle(12 * MiB, 100 * MiB)}}}} +
                       steady(2, {12 * MiB}, {MiB / 4}, {100 * MiB}),
                   "1 file \xC2\xB7 512.0 KB/s \xC2\xB7 2 min 56 s left"},
        StatusCase{"UnpackingWhenNothingDownloads",
                   {{0ms, {1, {unpacking(MiB), idle(0, MiB), unpacking(MiB)}}}},
                   "Unpacking 2 files"},
        StatusCase{"FinishedDownloadsAreReady",
                   steady(3, {0}, {MiB}, {2 * MiB}) +
                       std::vector<Step>{{500ms, {1, {idle(2 * MiB, 2 * MiB)}}}},
                   "Ready"}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

struct SpeedCase {
    double bytesPerSecond;
    const char* expected;
};

void PrintTo(const SpeedCase& c, std::ostream* os) {
    *os << c.bytesPerSecond << " B/s -> " << c.expected;
}

class FormatSpeedTest : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(FormatSpeedTest, UsesOneDecimalInTheFittingUnit) {
    EXPECT_EQ(formatSpeed(GetParam().bytesPerSecond), GetParam().expected);
}

// "1.0 KB/s" -> "2_1_0_KB_s": a test name made of the case's index and expected text.
template <class Case>
std::string nameOfExpected(const ::testing::TestParamInfo<Case>& info) {
    std::string name = std::to_string(info.index) + "_";
    for (char c : std::string(info.param.expected))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, FormatSpeedTest,
    ::testing::Values(SpeedCase{0, "0 B/s"}, SpeedCase{-5, "0 B/s"}, SpeedCase{1023.4, "1023 B/s"},
                      SpeedCase{1024, "1.0 KB/s"}, SpeedCase{3.45 * 1024, "3.5 KB/s"},
                      SpeedCase{1023.96 * 1024, "1.0 MB/s"}, SpeedCase{34.2 * MiB, "34.2 MB/s"},
                      SpeedCase{1.1 * 1024 * MiB, "1.1 GB/s"}),
    nameOfExpected<SpeedCase>);

struct TimeCase {
    long long seconds;
    const char* expected;
};

void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.seconds << " s -> " << c.expected; }

class FormatTimeLeftTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(FormatTimeLeftTest, ShowsTwoUnitsAtMost) {
    EXPECT_EQ(formatTimeLeft(std::chrono::seconds(GetParam().seconds)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Durations, FormatTimeLeftTest,
                         ::testing::Values(TimeCase{0, "0 s"}, TimeCase{45, "45 s"},
                                           TimeCase{60, "1 min"}, TimeCase{70, "1 min 10 s"},
                                           TimeCase{3599, "59 min 59 s"}, TimeCase{3600, "1 h"},
                                           TimeCase{7500, "2 h 5 min"},
                                           TimeCase{86400 * 3 + 3600 * 4 + 59, "3 d 4 h"}),
                         nameOfExpected<TimeCase>);

TEST(SampleOrder, ReadsEachFilesStateAndCounters) {
    EXPECT_TRUE(sampleOrder(nullptr, 3).files.empty());

    OrderState order;
    order.startControllers = false;
    const int states[] = {FileState_Downloading, FileState_Unpacking, FileState_Paused,
                          FileState_Complete};
    for (int i = 0; i < 4; ++i) {
        auto file = std::make_unique<File>();
        file->state = states[i];
        file->downloadedBytes = 100 * (i + 1);
        file->fileSize = 1000 * (i + 1);
        order.files.push_back(std::move(file));
    }
    OrderProgress p = sampleOrder(&order, 7);
    EXPECT_EQ(p.generation, 7u);
    ASSERT_EQ(p.files.size(), 4u);
    const Activity expected[] = {Activity::Downloading, Activity::Unpacking, Activity::Idle,
                                 Activity::Idle};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(p.files[i].activity, expected[i]) << i;
        EXPECT_EQ(p.files[i].downloadedBytes, 100 * static_cast<int64_t>(i + 1));
        EXPECT_EQ(p.files[i].fileSize, 1000 * static_cast<int64_t>(i + 1));
    }
}

}  // namespace
}  // namespace quenlow
