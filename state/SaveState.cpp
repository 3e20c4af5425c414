// Reading and writing the per-user save-state file.

#include <Poco/Exception.h>
#include <Poco/SAX/AttributesImpl.h>
#include <Poco/XML/XMLWriter.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Messages.h"
#include "platform/Pacing.h"
#include "platform/Text.h"
#include "platform/UserFolders.h"
#include "platform/ViewTarget.h"
#include "state/OrderState.h"

namespace quenlow {

namespace {

using Poco::XML::AttributesImpl;
using Poco::XML::XMLWriter;

bool allowedInXml(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The writer refuses text that is not valid UTF-8 or holds characters XML
// cannot carry, and one such value (say, copied from a hand-edited file) would
// stop every later save. Those bytes become U+FFFD; everything else is kept.
std::string xmlSafe(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        uint32_t c = 0;
        const size_t length = utf8SequenceAt(text, i, c);
        if (length != 0 && allowedInXml(c)) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

// Attributes are added in ascending name order; the writer keeps that order.
void add(AttributesImpl& attrs, const char* name, const std::string& value) {
    attrs.addAttribute("", "", name, "CDATA", xmlSafe(value));
}

std::string attr(const pugi::xml_node& node, const char* name) {
    return node.attribute(name).value();
}

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Creates the folders along path's folder and flushes each parent that gained
// an entry, so a power loss cannot drop the folder the saved state lives in.
bool makeFoldersDurably(const std::string& path) {
    if (path.find('/') == std::string::npos) return true;  // the current folder
    FileSystem& fs = fileSystem();
    std::vector<std::string> missing;
    for (std::string folder = folderOf(path);
         !folder.empty() && folder != "." && !fs.isDirectory(folder); folder = folderOf(folder))
        missing.push_back(folder);
    if (!CreateDirectoryTree(path, true)) return false;
    for (const std::string& folder : missing)
        if (fs.syncFolder(folderOf(folder).empty() ? "/" : folderOf(folder)) != 0) return false;
    return true;
}

// Held while a process reads, merges and replaces the save-state file, so two
// processes saving the same file (the application and quenlow-fetch) never
// drop each other's orders. An advisory flock on a lock file beside it: the
// save-state file itself is replaced by rename, so it cannot carry the lock.
//
// The wait is bounded by pacing().saveLockWait: closing an order page or
// quitting waits for the save under way, and a process that never lets go
// must not hold the window still. A holder keeps the lock only while it
// writes one small file, so short steps find it free between two saves.
class SaveStateLock {
  public:
    explicit SaveStateLock(const std::string& statePath) {
        const std::string lockPath = statePath + ".lock";
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd_ < 0) {
            failure_ = "its lock file " + lockPath + " cannot be opened (" + errnoText() + ")";
            return;
        }
        using Clock = std::chrono::steady_clock;
        const Millis bound = pacing().saveLockWait;
        const Clock::time_point deadline = Clock::now() + bound;
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) {
                failure_ = "its lock file " + lockPath + " cannot be locked (" + errnoText() + ")";
                break;
            }
            const Clock::time_point now = Clock::now();
            if (now >= deadline) {
                failure_ = "another process held its lock " + lockPath + " for longer than " +
                           std::to_string(bound.count()) + " ms";
                break;
            }
            sleepFor(std::min(kLockPollStep, std::chrono::ceil<Millis>(deadline - now)));
        }
        ::close(fd_);
        fd_ = -1;
    }
    ~SaveStateLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    SaveStateLock(const SaveStateLock&) = delete;
    SaveStateLock& operator=(const SaveStateLock&) = delete;
    bool held() const { return fd_ >= 0; }
    // Why the lock is not held.
    const std::string& failure() const { return failure_; }

  private:
    static constexpr Millis kLockPollStep{2};
    static std::string errnoText() { return std::strerror(errno); }

    int fd_ = -1;
    std::string failure_;
};

// A temporary name beside path that no other save uses: two processes (or two
// saves of one) never write into the same temporary file.
std::string uniqueTemporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    return path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(seed) + "-" +
           std::to_string(counter++);
}

// Writes all of text to a new file at path (never an existing one) through
// the engine's file layer, flushed to disk.
bool writeNewFile(const std::string& path, const std::string& text) {
    FileSystem& fs = fileSystem();
    int fd = fs.open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = writeAll(fs, fd, text.data(), text.size(), 0) >= 0;
    if (ok && fs.fdatasync(fd) != 0) ok = false;
    if (fs.close(fd) != 0) ok = false;
    if (!ok) fs.remove(path);
    return ok;
}

// Parses the save-state file at path into doc (empty when it is missing or
// damaged). True when a file exists there that cannot be read.
bool readSaveStateFile(const std::string& path, pugi::xml_document& doc) {
    pugi::xml_parse_result result = doc.load_file(path.c_str());
    if (result) return false;
    // A damaged file reads as no file at all: every order starts fresh.
    doc.reset();
    return result.status != pugi::status_file_not_found;
}

}  // namespace

std::string saveStateFilePath() {
    std::string folder = perUserDataFolder();
    if (folder.empty()) return {};
    return joinPath(folder, "Ostrel Inc/Quenlow/VeskSaveState.xml");
}

bool countsAsComplete(File& file) {
    if (file.prelocated || file.state.load() == FileState_Complete) return true;
    // A file without parts has downloaded nothing: saving it "Complete" would
    // report a file that never existed as done.
    if (file.parts.empty()) return false;
    for (const auto& part : file.parts)
        if (part->state.load() != PartState_Completed) return false;
    return true;
}

void OrderState::loadSaveState() {
    if (saveStatePath.empty()) saveStatePath = saveStateFilePath();
    saveStateDocument.reset();
    if (saveStatePath.empty()) return;

    readSaveStateFile(saveStatePath, saveStateDocument);
    if (pugi::xml_node app = saveStateDocument.select_node("ApplicationData").node()) {
        std::string folder = attr(app, "DefaultOutputFolder");
        if (!folder.empty()) DefaultOutputFolder = folder;
        if (CurrentUrl.empty()) CurrentUrl = attr(app, "CurrentUrl");
    }
}

OrderSnapshot OrderState::takeSnapshot() const {
    OrderSnapshot snapshot;
    snapshot.path = saveStatePath;
    snapshot.view = view;
    snapshot.orderId = orderId;
    snapshot.currentUrl = CurrentUrl;
    snapshot.defaultOutputFolder = DefaultOutputFolder;
    for (const auto& filePtr : files) {
        File& f = *filePtr;
        OrderSnapshot::FileEntry entry{
            f.fileKey,        f.fileName,           f.fileSize.load(),    countsAsComplete(f),
            f.installCommand, f.outputFolderCopy(), f.launchFolderCopy(), {}};
        for (const auto& part : f.parts) {
            // The controller moves both positions together under this lock.
            Poco::FastMutex::ScopedLock lock(f.countersLock);
            entry.parts.push_back(
                {part->fileId, part->url, part->writePosition.load(), part->readPosition.load()});
        }
        snapshot.files.push_back(std::move(entry));
    }
    return snapshot;
}

namespace {

void writeOrder(XMLWriter& writer, const OrderSnapshot& order) {
    AttributesImpl orderAttrs;
    add(orderAttrs, "OrderID", order.orderId);
    writer.startElement("", "", "Order", orderAttrs);
    writer.startElement("", "", "Files");
    for (const OrderSnapshot::FileEntry& f : order.files) {
        AttributesImpl fileAttrs;
        add(fileAttrs, "FileKey", f.fileKey);
        add(fileAttrs, "FileName", f.fileName);
        add(fileAttrs, "FileSize", std::to_string(f.fileSize));
        add(fileAttrs, "FileState", f.complete ? "Complete" : "Downloading");
        add(fileAttrs, "InstallCommand", f.installCommand);
        add(fileAttrs, "OutputFolder", f.outputFolder);
        add(fileAttrs, "TarnLaunchFolder", f.launchFolder);
        writer.startElement("", "", "File", fileAttrs);
        for (size_t k = 0; k < f.parts.size(); ++k) {
            const OrderSnapshot::PartEntry& p = f.parts[k];
            AttributesImpl partAttrs;
            add(partAttrs, "FileID", p.fileId);
            add(partAttrs, "FilePartKey", std::to_string(k));
            add(partAttrs, "FileURL", p.url);
            add(partAttrs, "FileWritePosition", std::to_string(p.writePosition));
            add(partAttrs, "URLReadPosition", std::to_string(p.readPosition));
            writer.emptyElement("", "", "FilePart", partAttrs);
        }
        writer.endElement("", "", "File");
    }
    writer.endElement("", "", "Files");
    writer.endElement("", "", "Order");
}

void copySavedOrder(XMLWriter& writer, const pugi::xml_node& savedOrder) {
    AttributesImpl orderAttrs;
    add(orderAttrs, "OrderID", attr(savedOrder, "OrderID"));
    writer.startElement("", "", "Order", orderAttrs);
    writer.startElement("", "", "Files");
    for (const pugi::xpath_node& xf : savedOrder.select_nodes("Files/File")) {
        pugi::xml_node file = xf.node();
        AttributesImpl fileAttrs;
        for (const char* name : {"FileKey", "FileName", "FileSize", "FileState", "InstallCommand",
                                 "OutputFolder", "TarnLaunchFolder"})
            add(fileAttrs, name, attr(file, name));
        writer.startElement("", "", "File", fileAttrs);
        for (const pugi::xpath_node& xp : file.select_nodes("FilePart")) {
            pugi::xml_node part = xp.node();
            AttributesImpl partAttrs;
            for (const char* name :
                 {"FileID", "FilePartKey", "FileURL", "FileWritePosition", "URLReadPosition"})
                add(partAttrs, name, attr(part, name));
            writer.emptyElement("", "", "FilePart", partAttrs);
        }
        writer.endElement("", "", "File");
    }
    writer.endElement("", "", "Files");
    writer.endElement("", "", "Order");
}

std::string saveStateText(const OrderSnapshot& order, const pugi::xml_document& savedOrders) {
    std::ostringstream out;
    XMLWriter writer(out, XMLWriter::WRITE_XML_DECLARATION | XMLWriter::PRETTY_PRINT);
    writer.setNewLine(XMLWriter::NEWLINE_CRLF);
    writer.startDocument();

    AttributesImpl appAttrs;
    add(appAttrs, "CurrentUrl", order.currentUrl);
    add(appAttrs, "DefaultOutputFolder", order.defaultOutputFolder);
    writer.emptyElement("", "", "ApplicationData", appAttrs);

    writer.startElement("", "", "Orders");
    for (const pugi::xpath_node& xo : savedOrders.select_nodes("/Orders/Order")) {
        pugi::xml_node saved = xo.node();
        if (attr(saved, "OrderID") != order.orderId)
            copySavedOrder(writer, saved);
        else
            writeOrder(writer, order);
    }
    pugi::xpath_variable_set vars;
    vars.set("order", order.orderId.c_str());
    if (!savedOrders.select_node(pugi::xpath_query("/Orders/Order[@OrderID=$order]", &vars)))
        writeOrder(writer, order);
    writer.endElement("", "", "Orders");
    writer.endDocument();
    return out.str();
}

// Writes text to a new temporary file and renames it over the save-state file
// (keeping the old one aside when keepOldAside), then flushes the folder.
bool replaceSaveStateFile(const std::string& path, const std::string& text, bool keepOldAside) {
    // Written beside the old file and renamed over it, so an interrupted save
    // leaves the previous state whole.
    FileSystem& fs = fileSystem();
    const std::string temp = uniqueTemporaryName(path);
    if (!writeNewFile(temp, text)) return false;
    if (keepOldAside && fs.exists(path)) {
        // Keep a damaged file for inspection rather than silently dropping it.
        if (fs.rename(path, path + ".unreadable") != 0) {
            fs.remove(temp);
            return false;
        }
    }
    if (fs.rename(temp, path) != 0) {
        fs.remove(temp);
        return false;
    }
    // Make the rename itself durable.
    return fs.syncFolder(folderOf(path)) == 0;
}

}  // namespace

std::string OrderState::saveStateText() { return saveStateText(saveStateDocument); }

std::string OrderState::saveStateText(const pugi::xml_document& savedOrders) {
    return quenlow::saveStateText(takeSnapshot(), savedOrders);
}

namespace {

// Writes the order; empty text when it is saved, else why it is not.
std::string writeSaveStateOrSayWhy(const OrderSnapshot& order) {
    if (order.path.empty()) return "there is no per-user data folder";
    // Without its folder no download could ever resume.
    if (!makeFoldersDurably(order.path)) return "its folder cannot be created";

    SaveStateLock lock(order.path);
    if (!lock.held()) return lock.failure();
    // Other orders come from the file as it is now, not as it was when this
    // order loaded: another process may have saved its order since.
    pugi::xml_document onDisk;
    const bool unreadable = readSaveStateFile(order.path, onDisk);

    std::string text;
    try {
        text = saveStateText(order, onDisk);
    } catch (const Poco::Exception& e) {
        return "its text cannot be composed (" + e.displayText() + ")";
    } catch (const std::exception& e) {
        return std::string("its text cannot be composed (") + e.what() + ")";
    }
    if (!replaceSaveStateFile(order.path, text, unreadable))
        return "a new file cannot be written and put in its place";
    return {};
}

}  // namespace

bool writeSaveState(const OrderSnapshot& order) {
    const std::string why = writeSaveStateOrSayWhy(order);
    if (why.empty()) return true;
    // Number 0 names no file: the line is about the whole order.
    if (order.view)
        order.view->postViewMessage(
            textMessage(UM_DEBUG_TEXT, 0,
                        "The order's state is not saved to \"" + order.path + "\": " + why +
                            "; the previous file is kept and the next save tries again."));
    return false;
}

bool OrderState::saveState() {
    if (saveStatePath.empty()) saveStatePath = saveStateFilePath();
    return writeSaveState(takeSnapshot());
}

void OrderState::requestSave() {
    if (saveStatePath.empty()) saveStatePath = saveStateFilePath();
    saveWriter_.request(takeSnapshot());
}

void OrderState::waitForSaves() { saveWriter_.waitUntilIdle(); }

}  // namespace quenlow
