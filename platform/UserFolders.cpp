#include "platform/UserFolders.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/FileSystem.h"

namespace quenlow {

namespace {
std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::mutex rootsMutex;
std::optional<std::vector<std::string>> injectedRoots;

// Undo the octal escapes /proc/mounts uses for blanks and the like.
std::string unescapeMount(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            int v = 0;
            bool ok = true;
            for (size_t k = 1; k <= 3; ++k) {
                char c = s[i + k];
                if (c < '0' || c > '7') ok = false;
                v = v * 8 + (c - '0');
            }
            if (ok) {
                out.push_back(static_cast<char>(v));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}
}  // namespace

std::string perUserDataFolder() {
    if (auto v = env("APPDATA"); !v.empty()) return v;
    if (auto v = env("XDG_DATA_HOME"); !v.empty()) return v;
    if (auto v = env("HOME"); !v.empty()) return v + "/.local/share";
    return {};
}

std::string applicationDataFolder() {
    std::string folder = perUserDataFolder();
    return folder.empty() ? folder : joinPath(folder, "Ostrel Inc/Quenlow");
}

std::string defaultDownloadsFolder() { return env("HOME") + "/Downloads"; }

std::vector<std::string> mountedDriveRoots(const std::string& mountsFile) {
    // File systems that hold user data: local disks, removable and optical media, network shares.
    static const std::set<std::string> real = {
        "ext2", "ext3",    "ext4",  "xfs",   "btrfs", "f2fs",  "jfs",     "reiserfs", "zfs",
        "vfat", "fat",     "msdos", "exfat", "ntfs",  "ntfs3", "fuseblk", "hfs",      "hfsplus",
        "udf",  "iso9660", "nfs",   "nfs4",  "cifs",  "smb3",  "9p",      "overlay"};
    std::vector<std::string> roots;
    std::ifstream in(mountsFile);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint, type;
        if (!(fields >> device >> mountPoint >> type)) continue;
        if (!real.count(type)) continue;
        roots.push_back(unescapeMount(mountPoint));
    }
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    return roots;
}

std::vector<std::string> driveRoots() {
    {
        std::lock_guard lock(rootsMutex);
        if (injectedRoots) return *injectedRoots;
    }
    return mountedDriveRoots();
}

void setDriveRoots(std::optional<std::vector<std::string>> roots) {
    std::lock_guard lock(rootsMutex);
    injectedRoots = std::move(roots);
}

}  // namespace quenlow
