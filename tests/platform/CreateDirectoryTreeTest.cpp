#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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

}  // namespace
}  // namespace quenlow
