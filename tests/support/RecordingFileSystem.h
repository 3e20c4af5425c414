#pragma once
// A fault-injecting file system that also records which written bytes a
// completed flush has put on disk, per file, the way a volatile disk cache
// would keep them: a write counts once an fdatasync of the same file that
// began after the write completed has returned success.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/FaultyFileSystem.h"

namespace quenlow {

class RecordingFileSystem : public FaultyFileSystem {
  public:
    // Called at the start of every fdatasync, before it reaches the disk.
    std::function<void()> beforeFlush;

    int open(const std::string& path, int flags, mode_t mode = 0644) override;
    int close(int fd) override;
    ssize_t pwrite(int fd, const void* data, size_t n, off_t offset) override;
    int fdatasync(int fd) override;
    int syncFolder(const std::string& path) override;

    // Is every byte of [begin, end) of the file at path on disk?
    bool durable(const std::string& path, int64_t begin, int64_t end) const;
    int flushes() const;
    // Folders flushed so far, in order.
    std::vector<std::string> flushedFolders() const;

  private:
    using Ranges = std::vector<std::pair<int64_t, int64_t>>;
    mutable std::mutex mutex_;
    std::map<int, std::string> paths_;  // open descriptors
    std::map<std::string, Ranges> pending_, durable_;
    std::vector<std::string> flushedFolders_;
    int flushes_ = 0;
};

}  // namespace quenlow
