#pragma once
// The file-system calls the engine makes, behind one interface so tests can
// inject failures (full disk, failed write, failed flush). Results follow
// POSIX: a negative value is -errno.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace quenlow {

class FileSystem {
  public:
    virtual ~FileSystem() = default;

    // open(2) flags; returns a descriptor or -errno.
    virtual int open(const std::string& path, int flags, mode_t mode = 0644) = 0;
    virtual int close(int fd) = 0;
    virtual ssize_t pwrite(int fd, const void* data, size_t n, off_t offset) = 0;
    virtual ssize_t pread(int fd, void* data, size_t n, off_t offset) = 0;
    virtual ssize_t read(int fd, void* data, size_t n) = 0;
    virtual int fdatasync(int fd) = 0;
    // Flushes a folder's entries (names created, renamed or removed in it), so a
    // power loss cannot drop a file that saved positions point at.
    virtual int syncFolder(const std::string& path) = 0;
    // Pre-allocates the file to exactly len bytes (0 or -errno).
    virtual int allocate(int fd, off_t len) = 0;
    virtual int64_t size(int fd) = 0;  // or -errno
    // Free bytes available to the user on the volume holding path.
    virtual std::optional<uint64_t> freeSpace(const std::string& path) = 0;
    virtual int mkdir(const std::string& path) = 0;
    virtual int remove(const std::string& path) = 0;
    virtual int rename(const std::string& from, const std::string& to) = 0;
    // Anything at path (file, folder, other)?
    virtual bool exists(const std::string& path) = 0;
    virtual bool isDirectory(const std::string& path) = 0;
    virtual bool isRegularFile(const std::string& path) = 0;
    // Sets last-access and last-write times (seconds + nanoseconds since the Unix epoch).
    virtual int setTimes(const std::string& path, const timespec& access,
                         const timespec& write) = 0;
    virtual int chmod(const std::string& path, mode_t mode) = 0;
};

// The real POSIX implementation.
class PosixFileSystem : public FileSystem {
  public:
    int open(const std::string& path, int flags, mode_t mode = 0644) override;
    int close(int fd) override;
    ssize_t pwrite(int fd, const void* data, size_t n, off_t offset) override;
    ssize_t pread(int fd, void* data, size_t n, off_t offset) override;
    ssize_t read(int fd, void* data, size_t n) override;
    int fdatasync(int fd) override;
    int syncFolder(const std::string& path) override;
    int allocate(int fd, off_t len) override;
    int64_t size(int fd) override;
    std::optional<uint64_t> freeSpace(const std::string& path) override;
    int mkdir(const std::string& path) override;
    int remove(const std::string& path) override;
    int rename(const std::string& from, const std::string& to) override;
    bool exists(const std::string& path) override;
    bool isDirectory(const std::string& path) override;
    bool isRegularFile(const std::string& path) override;
    int setTimes(const std::string& path, const timespec& access, const timespec& write) override;
    int chmod(const std::string& path, mode_t mode) override;
};

// The file system the engine uses; tests swap in a fault-injecting one.
FileSystem& fileSystem();
// Replaces the file system (nullptr restores the real one). Not thread-safe:
// call it before the threads that use the file system start.
void setFileSystem(FileSystem* fs);

// Writes all n bytes at offset, going on after a short write (a nearly full
// disk may take part of a buffer). n, or -errno; a write that makes no
// progress is -EIO.
ssize_t writeAll(FileSystem& fs, int fd, const void* data, size_t n, off_t offset);

// Appends all n bytes to a descriptor opened with O_APPEND: one write(2) puts
// them at the end whole; a short write (or a signal) goes on with the rest.
// Straight to the kernel, not through fileSystem(), so a fault injected into
// the engine's files never silences the log. n, or -errno; a write that makes
// no progress is -EIO.
ssize_t appendAll(int fd, const void* data, size_t n);

// Creates every missing folder along path (when pathEndsWithFileName, the
// last component is a file name and is not created).
bool CreateDirectoryTree(const std::string& path, bool pathEndsWithFileName);

// Joins a folder and a name with exactly one "/".
std::string joinPath(const std::string& folder, const std::string& name);

}  // namespace quenlow
