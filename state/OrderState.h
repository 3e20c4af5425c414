#pragma once
// The order held by the view: its files, the save-state document and the
// operations the view calls when the user acts on a file. All of it runs on
// the user-interface thread.

#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "download/File.h"
#include "platform/ViewTarget.h"

namespace Poco::XML {
class XMLWriter;
}

namespace quenlow {

// Opens a path with the default verb; tests observe it.
class Shell {
  public:
    virtual ~Shell() = default;
    // target: what to open; workingDir: its folder.
    virtual void open(const std::string& target, const std::string& workingDir) = 0;
};

class OrderState {
  public:
    explicit OrderState(ViewTarget* view = nullptr, Shell* shell = nullptr);
    ~OrderState();  // stops and joins every controller before freeing the records

    std::string orderId;
    std::vector<std::unique_ptr<File>> files;
    int fileCount = 0;
    pugi::xml_document saveStateDocument;
    std::string saveStatePath;
    std::string DefaultOutputFolder;
    std::string CurrentUrl;
    bool traceEnabled = false;
    bool deleteOnCrcFailure = true;
    ViewTarget* view = nullptr;
    Shell* shell = nullptr;
    // When false, buildRecords leaves the controllers unstarted so tests can
    // read the commands straight from each File's queue.
    bool startControllers = true;
    // Set by loadSaveState when a save-state file exists but cannot be read;
    // the next save keeps that file aside instead of overwriting it.
    bool saveStateUnreadable = false;

    void loadOrder(const std::string& fileInfo);
    void buildRecords(const std::string& fileInfo);
    void requestFileAction(const std::string& indexText);
    // Starts a file that is not running; one that is complete meanwhile is
    // reported with UM_ALREADY_COMPLETE instead.
    void startFile(int index);
    // False when the install command leads out of the output folder: nothing
    // is run (the view is told UM_LAUNCH_COMPLETE all the same).
    bool launchFile(int index);
    std::string locatePackageOnDrives(const std::string& fileName) const;

    void loadSaveState();
    // Writes the whole save-state file (atomically replaced). False when it could not be written.
    bool saveState();
    // The two halves of saveState: one Order element each.
    void writeCurrentOrder(Poco::XML::XMLWriter& writer);
    void copySavedOrder(Poco::XML::XMLWriter& writer, const pugi::xml_node& savedOrder);
    // The save-state text saveState writes, without touching the disk.
    std::string saveStateText();

    // Stops every controller and part task and joins their threads.
    void shutdown();
};

// The save-state file's location: perUserDataFolder() + "/Ostrel Inc/Quenlow/VeskSaveState.xml";
// empty when there is no per-user data folder.
std::string saveStateFilePath();

// "Complete" or "Downloading", as a file's FileState is saved.
bool countsAsComplete(File& file);

}  // namespace quenlow
