#pragma once
// An open file with a current position, as the package code reads and writes
// it. Every call goes through fileSystem(), so tests can inject failures; the
// position is kept here and each access is a positioned read or write.

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace quenlow {

class PackageFile {
  public:
    PackageFile() = default;
    ~PackageFile() { close(); }
    PackageFile(const PackageFile&) = delete;
    PackageFile& operator=(const PackageFile&) = delete;

    // open(2) flags; false on failure, with error() giving the errno value.
    bool open(const std::string& path, int flags, mode_t mode = 0644);
    // Opens a new, empty file at path for reading and writing. Whatever else
    // is there (a file, a link, a file with other hard links, a pipe) is
    // removed first, never written through; a folder there fails the call.
    bool createFresh(const std::string& path, mode_t mode);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    // errno of the last failed open or access (0 when none).
    int error() const { return error_; }

    // Reads up to n bytes at the position, advancing it; fewer only at the end
    // of the file. Returns the count, or -errno.
    ssize_t read(void* data, size_t n);
    // Reads exactly n bytes; false on a short read or an error.
    bool readExact(void* data, size_t n);
    // A little-endian 32-bit word.
    bool readWord(uint32_t& value);
    // Writes all n bytes at the position, advancing it; false on failure.
    bool write(const void* data, size_t n);

    int64_t position() const { return position_; }
    void seek(int64_t position) { position_ = position; }
    // The file's size, or -errno.
    int64_t size();
    // Bytes between the position and the end of the file (0 when past it or unknown).
    uint64_t remaining();

  private:
    int fd_ = -1;
    int error_ = 0;
    int64_t position_ = 0;
};

}  // namespace quenlow
