#include "state/OrderState.h"

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <set>

#include "platform/FileSystem.h"
#include "platform/Pacing.h"
#include "platform/Text.h"
#include "platform/UserFolders.h"

namespace quenlow {

namespace {

std::string withSlash(const std::string& folder) {
    if (!folder.empty() && folder.back() == '/') return folder;
    return folder + "/";
}

bool endsWithSlash(const std::string& s) { return !s.empty() && s.back() == '/'; }

// True when target, with ".." and every link resolved, is folder or lies in it.
bool staysInside(const std::string& folder, const std::string& target) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path base = fs::weakly_canonical(folder, ec);
    if (ec || base.empty()) return false;
    if (!base.has_filename()) base = base.parent_path();  // "/out/" compares as "/out"
    fs::path resolved = fs::weakly_canonical(target, ec);
    if (ec) return false;
    // A dangling link is left unresolved by weakly_canonical; where it points is unknown.
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        resolved = fs::canonical(target, ec);
        if (ec) return false;
    }
    auto [b, r] = std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end());
    (void)r;
    return b == base.end();
}

bool isPackageName(const std::string& fileName) {
    auto dot = fileName.find_last_of('.');
    std::string ext = dot == std::string::npos ? fileName : fileName.substr(dot + 1);
    return lowerAscii(ext) == "tarn";
}

// A regular file that can be opened for reading (a folder does not count).
bool opensForReading(const std::string& path) {
    FileSystem& fs = fileSystem();
    if (!fs.isRegularFile(path)) return false;
    int fd = fs.open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    fs.close(fd);
    return true;
}

// Is the result of an earlier run still on disk? A confirmed package is looked
// for through its install command, anything else by its downloaded file.
bool savedResultExists(const File& file, const std::string& savedState,
                       const std::string& savedLaunchFolder) {
    if (file.outputFolder.empty()) return false;  // nothing was ever written for it
    if (savedState == "Complete" && file.fileTypeId == 1) {
        std::string path = file.outputPath + savedLaunchFolder;
        const std::string& cmd = file.installCommand;
        if (!endsWithSlash(path) && !cmd.empty() && cmd.front() != '/') path += "/";
        path += cmd;
        bool found = cmd.empty() ? fileSystem().exists(path) : opensForReading(path);
        if (found) return true;
        return opensForReading(file.outputPath + cmd);
    }
    return fileSystem().exists(file.outputPath + file.fileName);
}

// The controller addresses parts by index, so the indexes of one file must be
// exactly 0 .. N-1. Keys that do not give that (gaps, duplicates, missing or
// non-numeric values) are replaced by the parts' positions in the text. The
// parts are then kept in index order.
std::vector<OrderState::ParsedPart> readPartLayout(const pugi::xml_node& fileElement) {
    std::vector<OrderState::ParsedPart> parts;
    for (pugi::xml_node node : fileElement.children("FilePart")) {
        const char* key = node.attribute("FilePartKey").value();
        int index =
            *key ? static_cast<int>(std::max<int64_t>(int64_t{parseInt(key)} - 1, INT_MIN)) : 0;
        parts.push_back({node, index});
    }
    std::set<int> seen;
    bool valid = true;
    for (const auto& p : parts) {
        if (p.index < 0 || p.index >= static_cast<int>(parts.size()) ||
            !seen.insert(p.index).second) {
            valid = false;
            break;
        }
    }
    if (!valid) {
        for (size_t k = 0; k < parts.size(); ++k) parts[k].index = static_cast<int>(k);
    } else {
        std::stable_sort(parts.begin(), parts.end(),
                         [](const auto& a, const auto& b) { return a.index < b.index; });
    }
    return parts;
}

// What one order may ask for: more would start a thread per file and per
// part without bound, or name paths no file system can hold.
constexpr size_t kMaxFiles = 256;
constexpr size_t kMaxPartsPerFile = 256;
constexpr size_t kMaxNameBytes = 255;   // one path component
constexpr size_t kMaxPathBytes = 4096;  // a whole path

bool componentsFit(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end - start > kMaxNameBytes) return false;
        start = end + 1;
    }
    return true;
}

bool pathFits(const std::string& path) {
    return path.size() <= kMaxPathBytes && componentsFit(path);
}

// Why the file information cannot be taken, or empty text when it can.
std::string fileInfoRefusal(const pugi::xml_document& doc,
                            const pugi::xpath_node_set& fileElements) {
    if (fileElements.size() > kMaxFiles) return "more than " + std::to_string(kMaxFiles) + " files";
    const std::string folder =
        doc.child("ApplicationData").attribute("DefaultOutputFolder").value();
    if (!pathFits(folder)) return "DefaultOutputFolder is too long";
    for (const pugi::xpath_node& xn : fileElements) {
        pugi::xml_node element = xn.node();
        const std::string key = element.attribute("FileKey").value();
        const std::string file = "file " + key.substr(0, 32);
        size_t parts = 0;
        for (pugi::xml_node part = element.child("FilePart"); part;
             part = part.next_sibling("FilePart"))
            ++parts;
        // Nothing could ever be fetched for it: kept, it would wait for ever
        // as "Downloading" once clicked.
        if (parts == 0) return file + " has no parts";
        if (parts > kMaxPartsPerFile)
            return file + " has more than " + std::to_string(kMaxPartsPerFile) + " parts";
        if (std::string(element.attribute("FileName").value()).size() > kMaxNameBytes)
            return file + ": FileName is longer than " + std::to_string(kMaxNameBytes) + " bytes";
        if (!pathFits(element.attribute("InstallCommand").value()))
            return file + ": InstallCommand is too long";
        if (key.size() > kMaxNameBytes) return "a FileKey is too long";
    }
    return {};
}

// Why a folder the page names may not receive downloads, or empty text when
// it may: only an absolute path none of whose components is hidden, so no
// order can write into ~/.config, ~/.local or the like.
std::string pageFolderRefusal(const std::string& folder) {
    if (folder.front() != '/') return "it is not an absolute path";
    size_t start = 1;
    while (start < folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string::npos) end = folder.size();
        if (end > start && folder[start] == '.') return "it names a hidden folder";
        start = end + 1;
    }
    return {};
}

pugi::xml_node selectNode(const pugi::xml_node& context, const char* query,
                          pugi::xpath_variable_set& vars) {
    try {
        pugi::xpath_query q(query, &vars);
        return q.evaluate_node(context).node();
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace

OrderState::OrderState(ViewTarget* v, Shell* s) : view(v), shell(s) {}

OrderState::~OrderState() { shutdown(); }

void OrderState::shutdown() {
    for (auto& file : files)
        if (file) file->shutdown();
}

void OrderState::loadOrder(const std::string& fileInfo) {
    if (saveStatePath.empty()) saveStatePath = saveStateFilePath();
    DefaultOutputFolder = defaultDownloadsFolder();
    loadSaveState();
    buildRecords(fileInfo);
    if (view) view->postViewMessage(Message(UM_FILE_STATUS, Status_RecordsReady, 0));
}

void OrderState::buildRecords(const std::string& fileInfo) {
    shutdown();
    files.clear();
    fileCount = 0;

    pugi::xml_document doc;
    if (!doc.load_buffer(fileInfo.data(), fileInfo.size())) return;  // no files

    pugi::xpath_node_set fileElements = doc.select_nodes("/Files/File");
    if (std::string why = fileInfoRefusal(doc, fileElements); !why.empty()) {
        logForView("Invalid file information: " + why + "; no file is taken.");
        return;
    }
    applyPageDefaults(doc);
    files.reserve(fileElements.size());
    for (const pugi::xpath_node& element : fileElements) {
        files.push_back(buildFileRecord(element.node()));
        fileCount = static_cast<int>(files.size());
        if (startControllers) {
            files.back()->startController();
            sleepFor(pacing().yieldAfterPost);
        }
    }
    fileCount = static_cast<int>(files.size());
}

void OrderState::applyPageDefaults(const pugi::xml_document& doc) {
    pugi::xml_node app = doc.child("ApplicationData");
    std::string folder = app.attribute("DefaultOutputFolder").value();
    if (folder.empty()) return;
    if (std::string why = pageFolderRefusal(folder); !why.empty()) {
        logForView("DefaultOutputFolder \"" + folder + "\" is not used, " + why + "; files go to " +
                   DefaultOutputFolder);
        return;
    }
    DefaultOutputFolder = folder;
}

void OrderState::logForView(const std::string& text) const {
    // Number 0 names no file: the line is about the whole order.
    if (view) view->postViewMessage(textMessage(UM_DEBUG_TEXT, 0, text));
}

std::unique_ptr<File> OrderState::buildFileRecord(const pugi::xml_node& element) {
    auto file = std::make_unique<File>();
    File& f = *file;
    fillFromPage(f, element);
    SavedFile saved = restoreSavedFile(f);
    buildParts(f, element, saved);
    // A changed layout starts again from zero: with the old size and write
    // positions kept, the new layout could write parts over each other.
    if (saved.reconfigured) startAfresh(f);
    if (f.state != FileState_Complete) settleUnfinishedState(f);
    return file;
}

void OrderState::fillFromPage(File& f, const pugi::xml_node& element) const {
    f.traceEnabled = traceEnabled;
    f.deleteOnCrcFailure = deleteOnCrcFailure;
    f.fileTypeId = parseInt(element.attribute("FileTypeID").value());
    f.fileKey = element.attribute("FileKey").value();
    f.fileName = element.attribute("FileName").value();
    f.installCommand = element.attribute("InstallCommand").value();
    f.viewWindow = view;
    f.downloadedBytes = 0;
    f.state = FileState_Initial;
    f.prelocated = false;
    f.fileSize = 0;
    f.isPackage = isPackageName(f.fileName);
}

OrderState::SavedFile OrderState::restoreSavedFile(File& f) const {
    SavedFile saved;
    pugi::xpath_variable_set vars;
    vars.set("order", orderId.c_str());
    vars.set("key", f.fileKey.c_str());
    saved.node = selectNode(saveStateDocument,
                            "/Orders/Order[@OrderID=$order]/Files/File[@FileKey=$key]", vars);
    if (!saved.node) return saved;

    f.outputFolder = saved.node.attribute("OutputFolder").value();
    f.outputPath = withSlash(f.outputFolder);
    std::string savedState = saved.node.attribute("FileState").value();
    std::string savedLaunchFolder = saved.node.attribute("TarnLaunchFolder").value();
    if (!savedResultExists(f, savedState, savedLaunchFolder)) {
        f.outputFolder.clear();
        f.outputPath.clear();
        return saved;
    }
    saved.present = true;
    f.fileSize = parseInt64(saved.node.attribute("FileSize").value());
    f.state = savedState == "Complete" ? FileState_Complete : FileState_Initial;
    saved.partCount = saved.node.select_nodes("FilePart").size();
    f.launchFolder = savedLaunchFolder;
    if (f.fileSize < 0) saved.reconfigured = true;  // a damaged file: lay it out afresh
    return saved;
}

void OrderState::buildParts(File& f, const pugi::xml_node& element, SavedFile& saved) const {
    std::vector<ParsedPart> layout = readPartLayout(element);
    f.partCount = static_cast<int>(layout.size());
    if (saved.partCount > 0 && saved.partCount != layout.size()) saved.markReconfigured();

    int64_t sum = 0;
    for (size_t k = 0; k < layout.size(); ++k) {
        auto part = newPartRecord(f, layout[k]);
        if (saved.node) restorePartPositions(*part, k, saved);
        sum += part->readPosition.load();
        f.parts.push_back(std::move(part));
    }
    f.downloadedBytes = sum;
}

std::unique_ptr<FilePart> OrderState::newPartRecord(File& f, const ParsedPart& parsed) {
    const pugi::xml_node& node = parsed.node;
    auto part = std::make_unique<FilePart>();
    part->index = parsed.index;
    part->file = &f;
    part->url = node.attribute("FileURL").value();
    part->downloadKB = parseInt(node.attribute("DownloadKBCount").value());
    part->extractedKB = parseInt(node.attribute("ExtractedKBCount").value());
    part->fileId = node.attribute("FileID").value();
    part->readPosition = 0;
    part->writePosition = 0;
    part->state = PartState_Start;
    return part;
}

void OrderState::restorePartPositions(FilePart& p, size_t k, SavedFile& saved) {
    pugi::xpath_variable_set vars;
    vars.set("id", p.fileId.c_str());
    vars.set("k", std::to_string(k).c_str());
    pugi::xml_node byId = selectNode(saved.node, "FilePart[@FileID=$id]", vars);
    if (!byId) {
        if (saved.present) saved.markReconfigured();
        return;
    }
    if (!saved.present) return;
    // Positions belong to one part's URL: take them from the saved part at
    // the same position only when it is the same part, else from the part
    // with this FileID, so one part's progress never lands on another.
    pugi::xml_node byPos = selectNode(saved.node, "FilePart[@FilePartKey=$k]", vars);
    pugi::xml_node source = (byPos && p.fileId == byPos.attribute("FileID").value()) ? byPos : byId;
    int64_t read = parseInt64(source.attribute("URLReadPosition").value());
    int64_t write = parseInt64(source.attribute("FileWritePosition").value());
    if (read < 0 || write < 0) {
        saved.markReconfigured();
        return;
    }
    p.readPosition = read;
    p.writePosition = write;
}

void OrderState::startAfresh(File& f) {
    f.state = FileState_Reconfigured;
    f.fileSize = 0;
    for (auto& p : f.parts) {
        p->readPosition = 0;
        p->writePosition = 0;
    }
    f.downloadedBytes = 0;
}

void OrderState::settleUnfinishedState(File& f) const {
    if (f.isPackage) {
        std::string found = locatePackageOnDrives(f.fileName);
        if (!found.empty()) {
            f.state = FileState_Downloading;
            f.prelocated = true;
            f.outputPath = found.substr(0, found.find_last_of('/') + 1);
            f.outputFolder = DefaultOutputFolder;
        }
    }
    if (f.downloadedBytes != 0 && !f.prelocated) f.state = FileState_Partial;
}

void OrderState::requestFileAction(const std::string& indexText) {
    const int64_t index = parseInt64(indexText.c_str());
    if (index < 0 || index >= fileCount || index >= static_cast<int64_t>(files.size())) {
        // wParam names no file; the receiver must not look it up.
        const int64_t number = index == INT64_MAX ? index : index + 1;
        if (view)
            view->postViewMessage(
                textMessage(UM_FILE_ERROR, static_cast<uintptr_t>(static_cast<intptr_t>(number)),
                            "Invalid file information: File index out of range."));
        return;
    }
    File& f = *files[static_cast<size_t>(index)];
    auto command = [&f](int cmd) { f.post(Message(UM_FILE_COMMAND, UM_FILE_COMMAND, cmd)); };
    if (f.prelocated) {
        command(FileState_Downloading);
        return;
    }
    switch (f.state.load()) {
        case FileState_Downloading:
            command(FileState_Paused);
            break;
        case FileState_Paused:
            command(FileState_Downloading);
            break;
        default:
            // startFile looks at the state once more, as it changes it.
            startFile(static_cast<int>(index));
            break;
    }
}

void OrderState::startFile(int index) {
    if (index < 0 || static_cast<size_t>(index) >= files.size()) return;
    File& f = *files[static_cast<size_t>(index)];
    // The controller may have moved the file on since the click was read: a
    // file it completed, or one it unpacks or runs, is never started afresh
    // (that would fetch a complete file again from byte 0).
    int state = f.state.load();
    do {
        if (state == FileState_Complete) {
            if (view) view->postViewMessage(Message(UM_ALREADY_COMPLETE, 0, f.fileNumber()));
            return;
        }
        if (state == FileState_Unpacking || state == FileState_Downloading ||
            state == FileState_Paused)
            return;
    } while (!f.state.compare_exchange_weak(state, FileState_Downloading));
    {
        // The controller clears the folder when its output file cannot be opened.
        Poco::FastMutex::ScopedLock lock(f.countersLock);
        if (f.outputFolder.empty()) {
            f.outputFolder = DefaultOutputFolder;
            f.outputPath = withSlash(f.outputFolder);
        }
    }
    f.post(Message(UM_FILE_COMMAND, UM_FILE_COMMAND, FileState_Initial));
}

bool OrderState::launchFile(int index) {
    if (index < 0 || static_cast<size_t>(index) >= files.size()) return true;
    File& f = *files[static_cast<size_t>(index)];
    const std::string folder = f.outputFolderCopy();
    if (folder.empty()) return true;
    if (f.installCommand.empty()) f.installCommand = "/";  // opens the output folder itself
    std::string dir = withSlash(folder);
    const std::string launchFolder = f.launchFolderCopy();
    if (!fileSystem().exists(joinPath(dir, f.installCommand)) && !launchFolder.empty())
        dir += launchFolder;
    std::string target = joinPath(withSlash(dir), f.installCommand);
    // The page names the install command: it may run only what lies in the output folder.
    const bool inside = staysInside(folder, target);
    if (inside && shell) shell->open(target, dir);
    // The page re-enables its button on this, launched or not.
    if (view) view->postViewMessage(Message(UM_LAUNCH_COMPLETE, static_cast<uintptr_t>(index), 0));
    return inside;
}

std::string OrderState::locatePackageOnDrives(const std::string& fileName) const {
    // A bare name only: anything with a separator could point outside TARN/.
    if (fileName.empty() || fileName.find('/') != std::string::npos || fileName == "." ||
        fileName == "..")
        return {};
    for (const std::string& root : driveRoots()) {
        if (root.empty()) continue;
        std::string path = joinPath(joinPath(root, "TARN"), fileName);
        if (fileSystem().isRegularFile(path)) return path;
    }
    return {};
}

}  // namespace quenlow
