#include "support/RecordingFileSystem.h"

#include <algorithm>

namespace quenlow {

int RecordingFileSystem::open(const std::string& path, int flags, mode_t mode) {
    int fd = FaultyFileSystem::open(path, flags, mode);
    if (fd >= 0) {
        std::lock_guard lock(mutex_);
        paths_[fd] = path;
    }
    return fd;
}

int RecordingFileSystem::close(int fd) {
    {
        std::lock_guard lock(mutex_);
        paths_.erase(fd);
    }
    return FaultyFileSystem::close(fd);
}

ssize_t RecordingFileSystem::pwrite(int fd, const void* data, size_t n, off_t offset) {
    ssize_t r = FaultyFileSystem::pwrite(fd, data, n, offset);
    if (r > 0) {
        std::lock_guard lock(mutex_);
        if (auto it = paths_.find(fd); it != paths_.end())
            pending_[it->second].emplace_back(offset, offset + r);
    }
    return r;
}

int RecordingFileSystem::fdatasync(int fd) {
    if (beforeFlush) beforeFlush();
    // A flush covers the writes that completed before it began; one that
    // completes while it runs waits for the next flush.
    std::string path;
    Ranges covered;
    {
        std::lock_guard lock(mutex_);
        auto it = paths_.find(fd);
        if (it != paths_.end()) {
            path = it->second;
            covered.swap(pending_[path]);
        }
    }
    int r = FaultyFileSystem::fdatasync(fd);
    std::lock_guard lock(mutex_);
    if (path.empty()) return r;
    // A failed flush loses what it should have written, as a disk cache would.
    if (r == 0) {
        Ranges& done = durable_[path];
        done.insert(done.end(), covered.begin(), covered.end());
        ++flushes_;
    }
    return r;
}

int RecordingFileSystem::syncFolder(const std::string& path) {
    int r = FaultyFileSystem::syncFolder(path);
    std::lock_guard lock(mutex_);
    if (r == 0) flushedFolders_.push_back(path);
    return r;
}

bool RecordingFileSystem::durable(const std::string& path, int64_t begin, int64_t end) const {
    std::lock_guard lock(mutex_);
    auto it = durable_.find(path);
    if (begin >= end) return true;
    if (it == durable_.end()) return false;
    Ranges ranges = it->second;
    std::sort(ranges.begin(), ranges.end());
    int64_t reached = begin;
    for (const auto& [from, to] : ranges) {
        if (from > reached) break;
        reached = std::max(reached, to);
        if (reached >= end) return true;
    }
    return reached >= end;
}

int RecordingFileSystem::flushes() const {
    std::lock_guard lock(mutex_);
    return flushes_;
}

std::vector<std::string> RecordingFileSystem::flushedFolders() const {
    std::lock_guard lock(mutex_);
    return flushedFolders_;
}

}  // namespace quenlow
