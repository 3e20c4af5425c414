#pragma once
// The save-state file written off the user-interface thread: a save flushes
// the file and its folder, which a busy disk can stretch past a second, and the
// window must never stand still for it.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quenlow {

class ViewTarget;

// What one save writes of the current order, copied on the thread that owns
// the records so the writer never touches them.
struct OrderSnapshot {
    struct PartEntry {
        std::string fileId;
        std::string url;
        int64_t writePosition = 0;
        int64_t readPosition = 0;
    };
    struct FileEntry {
        std::string fileKey;
        std::string fileName;
        int64_t fileSize = 0;
        bool complete = false;
        std::string installCommand;
        std::string outputFolder;
        std::string launchFolder;
        std::vector<PartEntry> parts;
    };
    std::string path;  // the save-state file
    // Told in the diagnostic log why a save failed; may be null.
    ViewTarget* view = nullptr;
    std::string orderId;
    std::string currentUrl;
    std::string defaultOutputFolder;
    std::vector<FileEntry> files;
};

// Reads the file as it is now, merges the order in and replaces the file,
// under the save-state lock. False when it could not be written (the
// previous file is then kept, and the view is told why). The lock is waited
// for at most pacing().saveLockWait.
bool writeSaveState(const OrderSnapshot& order);

// One thread that writes the latest requested snapshot. Requests that arrive
// while a write runs are merged: only the newest is written next, as each
// holds the whole order.
class SaveStateWriter {
  public:
    SaveStateWriter() = default;
    // Finishes the write that was requested last, then joins the thread.
    ~SaveStateWriter();
    SaveStateWriter(const SaveStateWriter&) = delete;
    SaveStateWriter& operator=(const SaveStateWriter&) = delete;

    void request(OrderSnapshot snapshot);
    // Returns once every requested snapshot has been written.
    void waitUntilIdle();

  private:
    void run();
    // Writes snapshot on the calling thread, seen by waitUntilIdle as a write
    // under way. Called with lock held; returns with it held.
    void writeNow(std::unique_lock<std::mutex>& lock, const OrderSnapshot& snapshot);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<OrderSnapshot> pending_;
    bool writing_ = false;
    bool stopping_ = false;
    // Started by the first request; a request that cannot start it writes in
    // line, and the next one tries again.
    std::thread thread_;
};

}  // namespace quenlow
