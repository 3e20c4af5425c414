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
#include "state/SaveStateWriter.h"

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
    // Writes the whole save-state file now (atomically replaced). False when
    // it could not be written.
    bool saveState();
    // The same on the save-state writer's thread: the caller never waits for
    // the disk. The view saves this way.
    void requestSave();
    // Returns once every requested save has been written.
    void waitForSaves();
    // The current order as a save writes it.
    OrderSnapshot takeSnapshot() const;
    // The save-state text saveState writes, without touching the disk: the
    // current order from memory, the others from saveStateDocument.
    std::string saveStateText();
    // The same with the other orders taken from savedOrders.
    std::string saveStateText(const pugi::xml_document& savedOrders);

    // Stops every controller and part task and joins their threads.
    void shutdown();

    // A part element of the file-information text and the index it is given.
    struct ParsedPart {
        pugi::xml_node node;
        int index = 0;
    };

  private:
    SaveStateWriter saveWriter_;

    // What buildRecords learned from a file's saved counterpart.
    struct SavedFile {
        pugi::xml_node node;        // empty when the order never saved this file
        bool present = false;       // its earlier result is still on disk
        bool reconfigured = false;  // the saved layout no longer fits: start from zero
        size_t partCount = 0;
        void markReconfigured() {
            reconfigured = true;
            present = false;
        }
    };

    // A line for the diagnostic log, through the view that writes it.
    void logForView(const std::string& text) const;

    // The steps of buildRecords, in the order they run for each file.
    void applyPageDefaults(const pugi::xml_document& doc);
    std::unique_ptr<File> buildFileRecord(const pugi::xml_node& element);
    void fillFromPage(File& f, const pugi::xml_node& element) const;
    SavedFile restoreSavedFile(File& f) const;
    void buildParts(File& f, const pugi::xml_node& element, SavedFile& saved) const;
    static std::unique_ptr<FilePart> newPartRecord(File& f, const ParsedPart& parsed);
    static void restorePartPositions(FilePart& p, size_t k, SavedFile& saved);
    static void startAfresh(File& f);
    void settleUnfinishedState(File& f) const;
};

// The save-state file's location: perUserDataFolder() + "/Ostrel Inc/Quenlow/VeskSaveState.xml";
// empty when there is no per-user data folder.
std::string saveStateFilePath();

// "Complete" or "Downloading", as a file's FileState is saved.
bool countsAsComplete(File& file);

}  // namespace quenlow
