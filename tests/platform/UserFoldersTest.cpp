#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/UserFolders.h"
#include "support/ScopedEnvironment.h"
#include "support/ScratchDir.h"

namespace quenlow {
namespace {

class UserFoldersTest : public ::testing::Test {
  protected:
    void TearDown() override { setDriveRoots(std::nullopt); }
    void set(const char* name, const char* value) {
        environment.set(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    test::ScopedEnvironment environment;
};

TEST_F(UserFoldersTest, DataFolderPrefersAppDataThenXdgThenHome) {
    struct Case {
        const char* appData;
        const char* xdg;
        const char* home;
        const char* expected;
    };
    for (const Case& c :
         {Case{"/a", "/x", "/h", "/a"}, Case{nullptr, "/x", "/h", "/x"}, Case{"", "/x", "/h", "/x"},
          Case{nullptr, nullptr, "/h", "/h/.local/share"},
          Case{nullptr, "", "/h", "/h/.local/share"}, Case{nullptr, nullptr, nullptr, ""}}) {
        set("APPDATA", c.appData);
        set("XDG_DATA_HOME", c.xdg);
        set("HOME", c.home);
        EXPECT_EQ(perUserDataFolder(), c.expected);
    }
    set("HOME", "/home/u");
    EXPECT_EQ(defaultDownloadsFolder(), "/home/u/Downloads");
}

TEST_F(UserFoldersTest, MountTableKeepsRealFileSystemsInOrder) {
    test::ScratchDir scratch("mounts");
    const std::string& dir = scratch.path();
    const std::string table = dir + "/mounts";
    std::ofstream(table) << "proc /proc proc rw 0 0\n"
                            "/dev/sdb1 /media/usb\\040stick vfat rw 0 0\n"
                            "/dev/sda1 / ext4 rw 0 0\n"
                            "tmpfs /run tmpfs rw 0 0\n"
                            "server:/share /net/share nfs4 rw 0 0\n"
                            "/dev/sr0 /media/cdrom iso9660 ro 0 0\n"
                            "garbage\n"
                            "/dev/sda1 / ext4 rw 0 0\n";
    EXPECT_EQ(mountedDriveRoots(table),
              (std::vector<std::string>{"/", "/media/cdrom", "/media/usb stick", "/net/share"}));
    EXPECT_TRUE(mountedDriveRoots(dir + "/missing").empty());

    setDriveRoots(std::vector<std::string>{"/z", "/y"});
    EXPECT_EQ(driveRoots(), (std::vector<std::string>{"/z", "/y"}));
}

}  // namespace
}  // namespace quenlow
