#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace quenlow {

namespace {
int result(int r) { return r < 0 ? -errno : r; }
ssize_t result(ssize_t r) { return r < 0 ? -errno : r; }

// Calls write(done), which returns a count or -errno, until all n bytes are
// written: a short write or a signal goes on with the rest. n, or -errno; a
// write that makes no progress is -EIO.
template <class Write>
ssize_t writeFully(size_t n, Write write) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = write(done);
        if (w == -EINTR) continue;
        if (w < 0) return w;
        if (w == 0) return -EIO;
        done += static_cast<size_t>(w);
    }
    return static_cast<ssize_t>(n);
}

PosixFileSystem& realFileSystem() {
    static PosixFileSystem fs;
    return fs;
}
std::atomic<FileSystem*> current{nullptr};
}  // namespace

int PosixFileSystem::open(const std::string& path, int flags, mode_t mode) {
    return result(::open(path.c_str(), flags | O_CLOEXEC, mode));
}
int PosixFileSystem::close(int fd) { return result(::close(fd)); }
ssize_t PosixFileSystem::pwrite(int fd, const void* data, size_t n, off_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    return writeFully(n, [&](size_t done) {
        return result(::pwrite(fd, bytes + done, n - done, offset + static_cast<off_t>(done)));
    });
}
ssize_t PosixFileSystem::pread(int fd, void* data, size_t n, off_t offset) {
    for (;;) {
        ssize_t r = ::pread(fd, data, n, offset);
        if (r < 0 && errno == EINTR) continue;
        return result(r);
    }
}
ssize_t PosixFileSystem::read(int fd, void* data, size_t n) {
    for (;;) {
        ssize_t r = ::read(fd, data, n);
        if (r < 0 && errno == EINTR) continue;
        return result(r);
    }
}
int PosixFileSystem::fdatasync(int fd) { return result(::fdatasync(fd)); }
int PosixFileSystem::allocate(int fd, off_t len) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -errno;
    if (st.st_size > len && ::ftruncate(fd, len) != 0) return -errno;
    if (len > 0) {
        int r = ::posix_fallocate(fd, 0, len);
        if (r == 0) return 0;
        if (r != EOPNOTSUPP && r != EINVAL) return -r;
        // File systems without fallocate: set the length instead.
        if (::ftruncate(fd, len) != 0) return -errno;
    }
    return 0;
}
int PosixFileSystem::syncFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    const int r = result(::fsync(fd));
    ::close(fd);
    return r;
}
int64_t PosixFileSystem::size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -errno;
    return st.st_size;
}
std::optional<uint64_t> PosixFileSystem::freeSpace(const std::string& path) {
    struct statvfs vfs {};
    // The folder may not exist yet: ask for the nearest existing ancestor.
    std::string p = path.empty() ? std::string(".") : path;
    while (::statvfs(p.c_str(), &vfs) != 0) {
        auto slash = p.find_last_of('/');
        if (slash == std::string::npos) return std::nullopt;
        p = slash == 0 ? "/" : p.substr(0, slash);
    }
    return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}
int PosixFileSystem::mkdir(const std::string& path) { return result(::mkdir(path.c_str(), 0755)); }
int PosixFileSystem::remove(const std::string& path) { return result(::remove(path.c_str())); }
int PosixFileSystem::rename(const std::string& from, const std::string& to) {
    return result(::rename(from.c_str(), to.c_str()));
}
bool PosixFileSystem::exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}
bool PosixFileSystem::isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool PosixFileSystem::isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
int PosixFileSystem::setTimes(const std::string& path, const timespec& access,
                              const timespec& write) {
    timespec times[2] = {access, write};
    return result(::utimensat(AT_FDCWD, path.c_str(), times, 0));
}
int PosixFileSystem::chmod(const std::string& path, mode_t mode) {
    return result(::chmod(path.c_str(), mode));
}

ssize_t writeAll(FileSystem& fs, int fd, const void* data, size_t n, off_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    return writeFully(n, [&](size_t done) {
        return fs.pwrite(fd, bytes + done, n - done, offset + static_cast<off_t>(done));
    });
}

ssize_t appendAll(int fd, const void* data, size_t n) {
    const auto* bytes = static_cast<const char*>(data);
    return writeFully(n, [&](size_t done) { return result(::write(fd, bytes + done, n - done)); });
}

FileSystem& fileSystem() {
    FileSystem* fs = current.load();
    return fs ? *fs : realFileSystem();
}
void setFileSystem(FileSystem* fs) { current.store(fs); }

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    size_t start = 0;
    while (start < name.size() && name[start] == '/') ++start;
    if (folder.back() == '/') return folder + name.substr(start);
    return folder + "/" + name.substr(start);
}

}  // namespace quenlow
