#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/FileSystem.h"
#include "support/FaultyFileSystem.h"
#include "support/ScratchDir.h"

namespace quenlow {
namespace {

namespace fs = std::filesystem;

class CreateDirectoryTreeTest : public ::testing::Test {
  protected:
    void TearDown() override { setFileSystem(nullptr); }
    test::ScratchDir scratch{"cdt"};
    std::string root = scratch.path();
};

TEST_F(CreateDirectoryTreeTest, CreatesEveryMissingLevel) {
    EXPECT_TRUE(CreateDirectoryTree(root + "/a/b/c", false));
    EXPECT_TRUE(fs::is_directory(root + "/a/b/c"));
    // Existing folders are fine too.
    EXPECT_TRUE(CreateDirectoryTree(root + "/a/b/c/", false));
}

TEST_F(CreateDirectoryTreeTest, LastComponentIsAFileNameWhenToldSo) {
    EXPECT_TRUE(CreateDirectoryTree(root + "/x/y/setup.sh", true));
    EXPECT_TRUE(fs::is_directory(root + "/x/y"));
    EXPECT_FALSE(fs::exists(root + "/x/y/setup.sh"));
}

TEST_F(CreateDirectoryTreeTest, EmptyPathFails) {
    EXPECT_FALSE(CreateDirectoryTree("", false));
    EXPECT_FALSE(CreateDirectoryTree("name-only", true));
}

TEST_F(CreateDirectoryTreeTest, FileInTheWayFails) {
    std::ofstream(root + "/blocker") << "x";
    EXPECT_FALSE(CreateDirectoryTree(root + "/blocker", false));
}

TEST_F(CreateDirectoryTreeTest, FailedCreationIsReported) {
    FaultyFileSystem faulty;
    faulty.mkdirFault = {EACCES, 0};
    setFileSystem(&faulty);
    EXPECT_FALSE(CreateDirectoryTree(root + "/denied/deeper", false));
    EXPECT_FALSE(fs::exists(root + "/denied"));
}

TEST_F(CreateDirectoryTreeTest, SyncFolderFlushesAnExistingFolderOnly) {
    EXPECT_EQ(fileSystem().syncFolder(root), 0);
    EXPECT_EQ(fileSystem().syncFolder(root + "/missing"), -ENOENT);
    std::ofstream(root + "/plain") << "x";
    EXPECT_EQ(fileSystem().syncFolder(root + "/plain"), -ENOTDIR);
}

// Takes at most three bytes a call, then fails once the limit is reached, as
// a disk that fills up in the middle of a buffer does.
class ShortWritingFileSystem : public PosixFileSystem {
  public:
    size_t room = 1000;
    ssize_t pwrite(int fd, const void* data, size_t n, off_t offset) override {
        if (room == 0) return -ENOSPC;
        n = std::min({n, size_t{3}, room});
        room -= n;
        return PosixFileSystem::pwrite(fd, data, n, offset);
    }
};

TEST_F(CreateDirectoryTreeTest, WriteAllGoesOnAfterShortWritesAndReportsWhatStopsIt) {
    ShortWritingFileSystem fs;
    const std::string path = root + "/out";
    const int fd = fs.open(path, O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const std::string text = "0123456789abcdef";
    EXPECT_EQ(writeAll(fs, fd, text.data(), text.size(), 4), static_cast<ssize_t>(text.size()));
    fs.room = 5;
    EXPECT_EQ(writeAll(fs, fd, text.data(), text.size(), 0), -ENOSPC);
    fs.close(fd);
    std::ifstream in(path, std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(written, "01234" + text.substr(1));  // the second write stopped after 5 bytes
}

}  // namespace
}  // namespace quenlow
