#include "package/PackageFile.h"

#include <sys/stat.h>

#include <cerrno>

#include "package/LittleEndian.h"
#include "platform/FileSystem.h"

namespace quenlow {

bool PackageFile::open(const std::string& path, int flags, mode_t mode) {
    close();
    int fd = fileSystem().open(path, flags, mode);
    if (fd < 0) {
        error_ = -fd;
        return false;
    }
    fd_ = fd;
    error_ = 0;
    position_ = 0;
    return true;
}

bool PackageFile::createFresh(const std::string& path, mode_t mode) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error_ = EISDIR;
            return false;
        }
        fileSystem().remove(path);
    }
    // Exclusive: anything that appeared since is not ours to write into.
    return open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
}

void PackageFile::close() {
    if (fd_ >= 0) fileSystem().close(fd_);
    fd_ = -1;
    position_ = 0;
}

ssize_t PackageFile::read(void* data, size_t n) {
    if (fd_ < 0) return -EBADF;
    size_t done = 0;
    while (done < n) {
        ssize_t r = fileSystem().pread(fd_, static_cast<char*>(data) + done, n - done,
                                       static_cast<off_t>(position_));
        if (r < 0) {
            error_ = static_cast<int>(-r);
            return done > 0 ? static_cast<ssize_t>(done) : r;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
        position_ += r;
    }
    return static_cast<ssize_t>(done);
}

bool PackageFile::readExact(void* data, size_t n) {
    return read(data, n) == static_cast<ssize_t>(n);
}

bool PackageFile::readWord(uint32_t& value) {
    uint8_t b[4];
    if (!readExact(b, 4)) return false;
    value = get32(b);
    return true;
}

bool PackageFile::write(const void* data, size_t n) {
    if (fd_ < 0) return false;
    if (n == 0) return true;
    const ssize_t w = writeAll(fileSystem(), fd_, data, n, static_cast<off_t>(position_));
    if (w < 0) {
        error_ = static_cast<int>(-w);
        return false;
    }
    position_ += w;
    return true;
}

int64_t PackageFile::size() {
    if (fd_ < 0) return -EBADF;
    return fileSystem().size(fd_);
}

uint64_t PackageFile::remaining() {
    int64_t s = size();
    if (s < 0 || s <= position_) return 0;
    return static_cast<uint64_t>(s - position_);
}

}  // namespace quenlow
