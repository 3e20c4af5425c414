#include "support/FaultyFileSystem.h"

#include <fcntl.h>

namespace quenlow {

bool FaultyFileSystem::trips(Fault& f) {
    if (f.error == 0) return false;
    if (f.passFirst > 0) {
        --f.passFirst;
        return false;
    }
    return true;
}
int FaultyFileSystem::open(const std::string& path, int flags, mode_t mode) {
    if ((flags & (O_WRONLY | O_RDWR)) && trips(openFault)) return -openFault.error;
    return PosixFileSystem::open(path, flags, mode);
}
ssize_t FaultyFileSystem::pwrite(int fd, const void* data, size_t n, off_t offset) {
    if (beforeWrite) beforeWrite();
    if (trips(writeFault)) return -writeFault.error;
    return PosixFileSystem::pwrite(fd, data, n, offset);
}
int FaultyFileSystem::fdatasync(int fd) {
    if (trips(syncFault)) return -syncFault.error;
    return PosixFileSystem::fdatasync(fd);
}
int FaultyFileSystem::allocate(int fd, off_t len) {
    if (trips(allocateFault)) return -allocateFault.error;
    return PosixFileSystem::allocate(fd, len);
}
std::optional<uint64_t> FaultyFileSystem::freeSpace(const std::string& path) {
    if (freeBytes) return freeBytes;
    return PosixFileSystem::freeSpace(path);
}
int FaultyFileSystem::mkdir(const std::string& path) {
    if (trips(mkdirFault)) return -mkdirFault.error;
    return PosixFileSystem::mkdir(path);
}
int FaultyFileSystem::rename(const std::string& from, const std::string& to) {
    if (trips(renameFault)) return -renameFault.error;
    return PosixFileSystem::rename(from, to);
}

}  // namespace quenlow
