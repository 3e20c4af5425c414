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
    std::string orderId;
    std::string currentUrl;
    std::string defaultOutputFolder;
    std::vector<FileEntry> files;
};

// Reads the file as it is now, merges the order in and replaces the file,
// under the save-state lock. False when it could not be written.
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

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<OrderSnapshot> pending_;
    bool writing_ = false;
    bool stopping_ = false;
    std::thread thread_;  // started by the first request
};

}  // namespace quenlow
