#pragma once
#include <functional>
#include <optional>
#include <string>

#include "platform/FileSystem.h"

namespace quenlow {

// A POSIX file system whose calls can be made to fail with a chosen errno.
// Each fault is 0 (off) or an errno value; passFirst counts the calls that
// still succeed before the fault starts to apply.
class FaultyFileSystem : public PosixFileSystem {
  public:
    struct Fault {
        int error = 0;
        int passFirst = 0;  // number of calls that still succeed
    };
    Fault openFault, writeFault, syncFault, allocateFault, mkdirFault;
    Fault renameFault;
    std::optional<uint64_t> freeBytes;  // when set, reported as the free space
    // Called at the start of every pwrite, on the writing thread (a test's
    // way to act at a known point of a long write sequence).
    std::function<void()> beforeWrite;

    int open(const std::string& path, int flags, mode_t mode = 0644) override;
    ssize_t pwrite(int fd, const void* data, size_t n, off_t offset) override;
    int fdatasync(int fd) override;
    int allocate(int fd, off_t len) override;
    std::optional<uint64_t> freeSpace(const std::string& path) override;
    int mkdir(const std::string& path) override;
    int rename(const std::string& from, const std::string& to) override;

  private:
    static bool trips(Fault& f);
};

}  // namespace quenlow
