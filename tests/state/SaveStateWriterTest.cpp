// Saves the view asks for are written on the writer's thread, newest first.

#include <atomic>
#include <condition_variable>
#include <mutex>

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

class SaveStateWriterTest : public StateFixture {};

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

}  // namespace
}  // namespace quenlow::test
