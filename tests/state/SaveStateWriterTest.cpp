// Saves the view asks for are written on the writer's thread, newest first.

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/WorkerThread.h"
#include "state/StateFixture.h"

namespace quenlow::test {
namespace {

constexpr const char* kOrder =
    "<Files><File FileKey=\"1\" FileName=\"Setup.bin\" InstallCommand=\"Setup.bin\">"
    "<FilePart FilePartKey=\"1\" FileID=\"A1\" FileURL=\"http://h/a1\"/></File></Files>";

// A file system whose folder flushes wait until the test opens the gate: the
// first save stays in the middle of its write while the test goes on.
class GatedFileSystem : public PosixFileSystem {
  public:
    int syncFolder(const std::string& path) override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++folderFlushes;
        entered_.notify_all();
        opened_.wait(lock, [this] { return open_; });
        return PosixFileSystem::syncFolder(path);
    }
    void waitUntilAWriteIsHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        entered_.wait(lock, [this] { return folderFlushes > 0; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    int flushes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return folderFlushes;
    }

  private:
    std::mutex mutex_;
    std::condition_variable entered_, opened_;
    bool open_ = false;
    int folderFlushes = 0;
};

class SaveStateWriterTest : public StateFixture {
  protected:
    void TearDown() override {
        setThreadLauncher({});
        StateFixture::TearDown();
    }
};

TEST_F(SaveStateWriterTest, TheCallerNeverWaitsAndOnlyTheNewestPendingSaveIsWritten) {
    auto order = makeOrder("77");
    order->loadOrder(kOrder);
    std::filesystem::create_directories(appData + "/Ostrel Inc/Quenlow");
    GatedFileSystem gated;
    setFileSystem(&gated);

    order->CurrentUrl = "http://store/first";
    order->requestSave();
    gated.waitUntilAWriteIsHeld();
    // The writer is stuck on the disk; these requests return at once and merge.
    for (const char* url : {"http://store/second", "http://store/third", "http://store/last"}) {
        order->CurrentUrl = url;
        order->requestSave();
    }
    gated.open();
    order->waitForSaves();

    EXPECT_EQ(gated.flushes(), 2);  // the held save, then only the newest request
    const std::string saved = readFile(savePath());
    EXPECT_NE(saved.find("CurrentUrl=\"http://store/last\""), std::string::npos) << saved;
}

TEST_F(SaveStateWriterTest, ASaveRequestedBeforeTheOrderGoesIsStillWritten) {
    auto order = makeOrder("78");
    order->loadOrder(kOrder);
    order->CurrentUrl = "http://store/kept";
    order->requestSave();
    order.reset();
    EXPECT_NE(readFile(savePath()).find("http://store/kept"), std::string::npos);
}

// A system out of threads: the save is written on the caller's thread instead
// of ending the process, and the next request starts the thread after all.
TEST_F(SaveStateWriterTest, ASaveIsWrittenInLineWhenNoThreadCanStartAndTheNextTriesAgain) {
    int launches = 0;
    setThreadLauncher([&launches](std::function<void()> body) {
        if (++launches == 1)
            throw std::system_error(EAGAIN, std::generic_category(), "no thread for you");
        return std::thread(std::move(body));
    });
    auto order = makeOrder("79");
    order->loadOrder(kOrder);

    order->CurrentUrl = "http://store/in-line";
    order->requestSave();
    EXPECT_EQ(launches, 1);
    // On disk when requestSave returns: no thread was there to write it later.
    EXPECT_NE(readFile(savePath()).find("http://store/in-line"), std::string::npos);
    size_t told = 0;
    for (const auto& m : view.messages())
        if (m.id == UM_DEBUG_TEXT &&
            m.text.value_or("").find("No thread can be started") != std::string::npos)
            ++told;
    EXPECT_EQ(told, 1u);

    order->CurrentUrl = "http://store/threaded";
    order->requestSave();
    order->waitForSaves();
    EXPECT_EQ(launches, 2);
    EXPECT_NE(readFile(savePath()).find("http://store/threaded"), std::string::npos);
}

}  // namespace
}  // namespace quenlow::test
