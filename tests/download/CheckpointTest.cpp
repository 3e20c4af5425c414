// Durable checkpoints: saved positions never cover bytes that are not on
// disk, every pause, failure and completion saves what was written first, and
// a failed flush counts nothing of its checkpoint.

#include <atomic>
#include <cerrno>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "support/DownloadFixture.h"
#include "support/RecordingFileSystem.h"
#include "support/ThreadsRunOut.h"

namespace quenlow::test {
namespace {

// Records like the view, and checks the saved positions at every save request.
class SaveCheckingView : public RecordingView {
  public:
    std::function<void()> onSave;
    void postViewMessage(Message msg) override {
        if (msg.id == UM_SAVE_STATE && onSave) onSave();
        RecordingView::postViewMessage(std::move(msg));
    }
};

class Checkpoint : public DownloadFixture {
  protected:
    void SetUp() override {
        DownloadFixture::SetUp();
        savedPolicy = checkpointPolicy();
        setFileSystem(&fs);
    }
    void TearDown() override {
        file.reset();
        checkpointPolicy() = savedPolicy;
        DownloadFixture::TearDown();
    }

    // Checkpoints only when an event asks for one.
    static void onlyEventCheckpoints() {
        checkpointPolicy().floorBytes = checkpointPolicy().capBytes = int64_t{1} << 40;
        checkpointPolicy().maxAge = std::chrono::hours(1);
    }

    File& makeCheckedFile(const std::string& name, const std::vector<std::string>& paths) {
        makeFile(name, paths);
        file->viewWindow = &checked;
        return *file;
    }

    // Every part's saved stretch [start, writePosition) must be on disk. The
    // pairs are read as the save-state writer reads them.
    void checkSavedPositions(const char* when) {
        std::vector<std::pair<int64_t, int64_t>> stretches;
        {
            Poco::FastMutex::ScopedLock lock(file->countersLock);
            for (auto& p : file->parts)
                stretches.emplace_back(p->writePosition.load() - p->readPosition.load(),
                                       p->writePosition.load());
        }
        ++checks;
        for (const auto& [begin, end] : stretches)
            if (!fs.durable(outputPath(), begin, end)) {
                std::lock_guard lock(violationsMutex);
                violations.push_back(std::string(when) + ": [" + std::to_string(begin) + ", " +
                                     std::to_string(end) + ") not flushed");
            }
    }

    int64_t savedBytes() {
        Poco::FastMutex::ScopedLock lock(file->countersLock);
        int64_t sum = 0;
        for (auto& p : file->parts) sum += p->readPosition.load();
        return sum;
    }
    int64_t writtenBytes() {
        int64_t sum = 0;
        for (auto& p : file->parts) sum += p->nextReadPosition.load();
        return sum;
    }
    bool savedEqualsWritten() {
        Poco::FastMutex::ScopedLock lock(file->countersLock);
        for (auto& p : file->parts)
            if (p->readPosition.load() != p->nextReadPosition.load() ||
                p->writePosition.load() != p->nextWritePosition.load())
                return false;
        return true;
    }
    // Index of the first message matching pred, or -1.
    long firstIndex(const std::function<bool(const Recorded&)>& pred) const {
        auto msgs = checked.messages();
        for (size_t i = 0; i < msgs.size(); ++i)
            if (pred(msgs[i])) return static_cast<long>(i);
        return -1;
    }
    long lastSaveIndex() const {
        auto msgs = checked.messages();
        for (size_t i = msgs.size(); i-- > 0;)
            if (msgs[i].id == UM_SAVE_STATE) return static_cast<long>(i);
        return -1;
    }

    RecordingFileSystem fs;
    SaveCheckingView checked;
    CheckpointPolicy savedPolicy;
    std::atomic<int> checks{0};
    // Written on the controller's and the flush's threads, read after both have ended.
    std::mutex violationsMutex;
    std::vector<std::string> violations;
};

TEST_F(Checkpoint, EverySavedPositionIsCoveredByAFlushedWrite) {
    checkpointPolicy().floorBytes = checkpointPolicy().capBytes = 64 * 1024;
    std::string whole;
    std::vector<std::string> paths;
    for (uint32_t i = 0; i < 4; ++i) {
        std::string content = generatedContent(i + 1, 400000 + i * 1000);
        paths.push_back("/cp/part" + std::to_string(i));
        server.addFile(paths.back(), content);
        // Paced, so that flushes end between chunks and many checkpoints are taken.
        server.setBehavior(paths.back(), {.bytesPerSecond = 2'000'000});
        whole += content;
    }
    makeCheckedFile("checked.bin", paths);
    checked.onSave = [this] { checkSavedPositions("save"); };
    fs.beforeFlush = [this] { checkSavedPositions("flush"); };
    // Saves also run on the view's own thread while the chunks come.
    std::atomic<bool> done{false};
    std::vector<std::string> saverViolations;
    std::thread saver([&] {
        while (!done.load()) {
            std::vector<std::pair<int64_t, int64_t>> stretches;
            {
                Poco::FastMutex::ScopedLock lock(file->countersLock);
                for (auto& p : file->parts)
                    stretches.emplace_back(p->writePosition.load() - p->readPosition.load(),
                                           p->writePosition.load());
            }
            for (const auto& [b, e] : stretches)
                if (!fs.durable(outputPath(), b, e)) saverViolations.push_back(std::to_string(e));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    start();
    bool complete = checked.waitFor(UM_FILE_STATUS, Status_Complete).has_value();
    done = true;
    saver.join();
    ASSERT_TRUE(complete);

    EXPECT_EQ(readAll(outputPath()), whole);
    EXPECT_GE(checks.load(), 8);  // the bound makes many checkpoints, each checked twice
    EXPECT_TRUE(violations.empty()) << violations.front();
    EXPECT_TRUE(saverViolations.empty()) << saverViolations.front();
    EXPECT_TRUE(fs.durable(outputPath(), 0, static_cast<int64_t>(whole.size())));
    auto folders = fs.flushedFolders();
    EXPECT_NE(std::find(folders.begin(), folders.end(), outDir), folders.end())
        << "the new file's folder entry was never flushed";
}

// Each event that ends or stops a run saves exactly what was written, on disk,
// before the view hears of the event. No other checkpoint is due in between.
struct EventCase {
    const char* name;
    std::function<void(Checkpoint&)> provoke;  // after some bytes were written
    std::function<bool(const Recorded&)> event;
};

void PrintTo(const EventCase& c, std::ostream* os) { *os << c.name; }

class CheckpointFirst : public Checkpoint, public ::testing::WithParamInterface<EventCase> {
  public:
    void serveTwoParts(ServerBehavior second) {
        for (uint32_t i = 0; i < 2; ++i) {
            std::string path = "/ev/part" + std::to_string(i);
            server.addFile(path, generatedContent(i + 7, 2'000'000));
            server.setBehavior(path, i == 0 ? ServerBehavior{.bytesPerSecond = 1'500'000} : second);
        }
        makeCheckedFile("event.bin", {"/ev/part0", "/ev/part1"});
    }
    using Checkpoint::command;
    using Checkpoint::start;
    using Checkpoint::writtenBytes;
    using DownloadFixture::waitUntil;
};

TEST_P(CheckpointFirst, SavedPositionsEqualTheWrittenOnesOnDisk) {
    const auto& tc = GetParam();
    onlyEventCheckpoints();
    tc.provoke(*this);
    ASSERT_TRUE(checked.waitFor(tc.event).has_value());

    EXPECT_TRUE(savedEqualsWritten());
    EXPECT_GT(savedBytes(), 0);
    checkSavedPositions("after the event");
    EXPECT_TRUE(violations.empty()) << violations.front();
    long save = lastSaveIndex();
    long event = firstIndex(tc.event);
    EXPECT_GE(save, 0);
    EXPECT_LT(save, event) << "the view heard of the event before the save request";
}

INSTANTIATE_TEST_SUITE_P(
    Events, CheckpointFirst,
    ::testing::Values(EventCase{"Pause",
                                [](Checkpoint& t) {
                                    auto& c = static_cast<CheckpointFirst&>(t);
                                    c.serveTwoParts({.bytesPerSecond = 1'500'000});
                                    c.start();
                                    ASSERT_TRUE(
                                        c.waitUntil([&] { return c.writtenBytes() > 400'000; }));
                                    c.command(FileState_Paused);
                                },
                                [](const Recorded& r) {
                                    return r.id == UM_FILE_STATUS && r.wParam == Status_Paused;
                                }},
                      EventCase{"PartFails",
                                [](Checkpoint& t) {
                                    auto& c = static_cast<CheckpointFirst&>(t);
                                    pacing().receiveTimeout = std::chrono::milliseconds(400);
                                    // The second part stalls after some bytes: its read times out.
                                    c.serveTwoParts({.stallAfterBytes = 300'000});
                                    c.start();
                                },
                                [](const Recorded& r) {
                                    return r.id == UM_FILE_ERROR && r.lParam == Error_Download;
                                }},
                      EventCase{"Completion",
                                [](Checkpoint& t) {
                                    auto& c = static_cast<CheckpointFirst&>(t);
                                    c.serveTwoParts({});
                                    c.start();
                                },
                                [](const Recorded& r) {
                                    return r.id == UM_FILE_STATUS && r.wParam == Status_Complete;
                                }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Checkpoint, FailedFlushKeepsTheLastGoodCheckpointAndRestartRefetches) {
    checkpointPolicy().floorBytes = checkpointPolicy().capBytes = 256 * 1024;
    const std::string content = generatedContent(3, 1'500'000);
    server.addFile("/ff/one", content);
    server.setBehavior("/ff/one", {.bytesPerSecond = 3'000'000});
    fs.syncFault = {EIO, 1};  // the first checkpoint succeeds, the next fails
    makeCheckedFile("flush.bin", {"/ff/one"});
    int64_t savedAtFailure = -1;
    fs.beforeFlush = [&] {
        if (fs.flushes() == 1 && savedAtFailure < 0) savedAtFailure = savedBytes();
    };
    start();
    ASSERT_TRUE(checked
                    .waitFor([](const Recorded& r) {
                        return r.id == UM_FILE_ERROR && r.lParam == Error_DiskWrite;
                    })
                    .has_value());
    auto texts = checked.messages();
    bool flushText = false;
    for (const auto& m : texts)
        flushText |= m.id == UM_DEBUG_TEXT && m.text == "Flush file buffer failed.";
    EXPECT_TRUE(flushText);
    ASSERT_GT(savedAtFailure, 0);
    EXPECT_EQ(savedBytes(), savedAtFailure);  // nothing of the failed checkpoint counts
    EXPECT_EQ(file->parts[0]->nextReadPosition.load(), savedAtFailure);
    checkSavedPositions("after the failed flush");
    EXPECT_TRUE(violations.empty()) << violations.front();

    // The next start asks from the last good checkpoint on.
    fs.syncFault = {};
    server.setBehavior("/ff/one", {});
    const size_t before = server.requestCount("/ff/one");
    command(FileState_Initial);
    ASSERT_TRUE(checked.waitFor(UM_FILE_STATUS, Status_Complete).has_value());
    EXPECT_EQ(readAll(outputPath()), content);
    auto reqs = server.requestsFor("/ff/one");
    ASSERT_GT(reqs.size(), before);
    EXPECT_EQ(reqs[before].header("Range").value_or(""),
              "bytes=" + std::to_string(savedAtFailure) + "-");
}

TEST_F(Checkpoint, ChunksAreStillWrittenWhileACheckpointFlushes) {
    checkpointPolicy().floorBytes = checkpointPolicy().capBytes = 64 * 1024;
    const std::string content = generatedContent(9, 1'200'000);
    server.addFile("/bg/one", content);
    makeCheckedFile("background.bin", {"/bg/one"});
    // The first checkpoint's flush is held until the test lets it go (also
    // when an assertion ends the test early).
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    struct Release {
        std::promise<void>& p;
        bool done = false;
        void now() {
            if (!std::exchange(done, true)) p.set_value();
        }
        ~Release() { now(); }
    } flushHeld{release};
    std::atomic<bool> held{false};
    fs.beforeFlush = [&] {
        if (held.exchange(true)) return;
        released.wait();
    };
    start();
    ASSERT_TRUE(waitUntil([&] { return held.load(); }));
    // Every later chunk is written while the first flush is held.
    const auto whole = static_cast<int64_t>(content.size());
    EXPECT_TRUE(waitUntil([&] { return writtenBytes() == whole; }))
        << "chunks waited for the flush: " << writtenBytes() << " of " << whole << " written";
    EXPECT_EQ(savedBytes(), 0) << "positions saved before their flush ended";
    flushHeld.now();
    ASSERT_TRUE(checked.waitFor(UM_FILE_STATUS, Status_Complete).has_value());
    EXPECT_EQ(readAll(outputPath()), content);
    EXPECT_TRUE(savedEqualsWritten());
}

TEST_F(Checkpoint, WithoutAThreadForTheFlushCheckpointsAreTakenInLine) {
    checkpointPolicy().floorBytes = checkpointPolicy().capBytes = 64 * 1024;
    const std::string content = generatedContent(11, 1'000'000);
    server.addFile("/inline/one", content);
    makeCheckedFile("inline.bin", {"/inline/one"});
    checked.onSave = [this] { checkSavedPositions("save"); };
    ThreadsRunOut threads(2);  // the controller and the part's task, no flush thread
    start();
    ASSERT_TRUE(checked.waitFor(UM_FILE_STATUS, Status_Complete).has_value());
    EXPECT_EQ(readAll(outputPath()), content);
    EXPECT_GT(fs.flushes(), 3) << "the checkpoints waited for the end of the file";
    EXPECT_TRUE(violations.empty()) << violations.front();
}

TEST_F(Checkpoint, FirstAttemptOfARunGoesOutAtOnce) {
    // Long enough that a delay before the first attempt would fail the wait.
    pacing().attemptDelay = std::chrono::seconds(60);
    const std::string content = generatedContent(5, 200'000);
    server.addFile("/now/a", content);
    makeCheckedFile("now.bin", {"/now/a"});
    file->startController();
    auto clicked = std::chrono::steady_clock::now();
    command(FileState_Initial);
    ASSERT_TRUE(
        checked.waitFor(UM_FILE_STATUS, Status_Complete, std::chrono::seconds(20)).has_value());
    auto reqs = server.requestsFor("/now/a");
    ASSERT_FALSE(reqs.empty());
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(reqs[0].at - clicked);
    RecordProperty("ClickToFirstRequestMs", static_cast<int>(ms.count()));
    EXPECT_LT(ms, pacing().attemptDelay);
    EXPECT_EQ(readAll(outputPath()), content);
}

}  // namespace
}  // namespace quenlow::test
