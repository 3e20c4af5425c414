#pragma once
// Per-user folders and the drive roots searched for prelocated packages.

#include <optional>
#include <string>
#include <vector>

namespace quenlow {

// $APPDATA if set, else $XDG_DATA_HOME, else $HOME/.local/share; empty when none is set.
std::string perUserDataFolder();

// Quenlow's own folder in it, where the save-state file and the diagnostic log
// live: perUserDataFolder() + "/Ostrel Inc/Quenlow"; empty when there is none.
std::string applicationDataFolder();

// $HOME + "/Downloads" ("/Downloads" when HOME is unset).
std::string defaultDownloadsFolder();

// Mount points of real file systems (disk, removable, optical, network), in
// mount-point order, read from the given mounts table.
std::vector<std::string> mountedDriveRoots(const std::string& mountsFile = "/proc/self/mounts");

// The roots the engine searches; tests inject their own list (nullopt restores the default).
std::vector<std::string> driveRoots();
void setDriveRoots(std::optional<std::vector<std::string>> roots);

}  // namespace quenlow
