// Reading and writing the per-user save-state file.

#include <Poco/Exception.h>
#include <Poco/SAX/AttributesImpl.h>
#include <Poco/XML/XMLWriter.h>
#include <fcntl.h>

#include <sstream>

#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "platform/UserFolders.h"
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

// Writes all of text to path through the engine's file layer, flushed to disk.
bool writeWholeFile(const std::string& path, const std::string& text) {
    FileSystem& fs = fileSystem();
    int fd = fs.open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (done < text.size()) {
        ssize_t n = fs.pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (ok && fs.fdatasync(fd) != 0) ok = false;
    if (fs.close(fd) != 0) ok = false;
    if (!ok) fs.remove(path);
    return ok;
}

}  // namespace

std::string saveStateFilePath() {
    std::string folder = perUserDataFolder();
    if (folder.empty()) return {};
    return joinPath(folder, "Ostrel Inc/Quenlow/VeskSaveState.xml");
}

bool countsAsComplete(File& file) {
    if (file.prelocated || file.state.load() == FileState_Complete || file.parts.empty())
        return true;
    for (const auto& part : file.parts)
        if (part->state.load() != PartState_Completed) return false;
    return true;
}

void OrderState::loadSaveState() {
    if (saveStatePath.empty()) saveStatePath = saveStateFilePath();
    saveStateDocument.reset();
    saveStateUnreadable = false;
    if (saveStatePath.empty()) return;

    pugi::xml_parse_result result = saveStateDocument.load_file(saveStatePath.c_str());
    if (!result) {
        // A damaged file reads as no file at all: every order starts fresh.
        saveStateDocument.reset();
        saveStateUnreadable = result.status != pugi::status_file_not_found;
        return;
    }
    if (pugi::xml_node app = saveStateDocument.select_node("ApplicationData").node()) {
        std::string folder = attr(app, "DefaultOutputFolder");
        if (!folder.empty()) DefaultOutputFolder = folder;
        if (CurrentUrl.empty()) CurrentUrl = attr(app, "CurrentUrl");
    }
}

void OrderState::writeCurrentOrder(XMLWriter& writer) {
    AttributesImpl orderAttrs;
    add(orderAttrs, "OrderID", orderId);
    writer.startElement("", "", "Order", orderAttrs);
    writer.startElement("", "", "Files");
    for (const auto& filePtr : files) {
        File& f = *filePtr;
        AttributesImpl fileAttrs;
        add(fileAttrs, "FileKey", f.fileKey);
        add(fileAttrs, "FileName", f.fileName);
        add(fileAttrs, "FileSize", std::to_string(f.fileSize.load()));
        add(fileAttrs, "FileState", countsAsComplete(f) ? "Complete" : "Downloading");
        add(fileAttrs, "InstallCommand", f.installCommand);
        add(fileAttrs, "OutputFolder", f.outputFolderCopy());
        add(fileAttrs, "TarnLaunchFolder", f.launchFolderCopy());
        writer.startElement("", "", "File", fileAttrs);
        for (size_t k = 0; k < f.parts.size(); ++k) {
            const FilePart& p = *f.parts[k];
            int64_t read = 0;
            int64_t write = 0;
            {
                // The controller moves both positions together under this lock.
                Poco::FastMutex::ScopedLock lock(f.countersLock);
                read = p.readPosition.load();
                write = p.writePosition.load();
            }
            AttributesImpl partAttrs;
            add(partAttrs, "FileID", p.fileId);
            add(partAttrs, "FilePartKey", std::to_string(k));
            add(partAttrs, "FileURL", p.url);
            add(partAttrs, "FileWritePosition", std::to_string(write));
            add(partAttrs, "URLReadPosition", std::to_string(read));
            writer.emptyElement("", "", "FilePart", partAttrs);
        }
        writer.endElement("", "", "File");
    }
    writer.endElement("", "", "Files");
    writer.endElement("", "", "Order");
}

void OrderState::copySavedOrder(XMLWriter& writer, const pugi::xml_node& savedOrder) {
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

std::string OrderState::saveStateText() {
    std::ostringstream out;
    XMLWriter writer(out, XMLWriter::WRITE_XML_DECLARATION | XMLWriter::PRETTY_PRINT);
    writer.setNewLine(XMLWriter::NEWLINE_CRLF);
    writer.startDocument();

    AttributesImpl appAttrs;
    add(appAttrs, "CurrentUrl", CurrentUrl);
    add(appAttrs, "DefaultOutputFolder", DefaultOutputFolder);
    writer.emptyElement("", "", "ApplicationData", appAttrs);

    writer.startElement("", "", "Orders");
    for (const pugi::xpath_node& xo : saveStateDocument.select_nodes("/Orders/Order")) {
        pugi::xml_node order = xo.node();
        if (attr(order, "OrderID") != orderId)
            copySavedOrder(writer, order);
        else
            writeCurrentOrder(writer);
    }
    pugi::xpath_variable_set vars;
    vars.set("order", orderId.c_str());
    if (!saveStateDocument.select_node(pugi::xpath_query("/Orders/Order[@OrderID=$order]", &vars)))
        writeCurrentOrder(writer);
    writer.endElement("", "", "Orders");
    writer.endDocument();
    return out.str();
}

bool OrderState::saveState() {
    if (saveStatePath.empty()) saveStatePath = saveStateFilePath();
    if (saveStatePath.empty()) return false;

    std::string text;
    try {
        text = saveStateText();
    } catch (const Poco::Exception&) {
        return false;
    } catch (const std::exception&) {
        return false;
    }

    // Without its folder no download could ever resume.
    if (!CreateDirectoryTree(saveStatePath, true)) return false;

    // Written beside the old file and renamed over it, so an interrupted save
    // leaves the previous state whole.
    FileSystem& fs = fileSystem();
    const std::string temp = saveStatePath + ".tmp";
    if (!writeWholeFile(temp, text)) return false;

    if (saveStateUnreadable && fs.exists(saveStatePath)) {
        // Keep a damaged file for inspection rather than silently dropping it.
        if (fs.rename(saveStatePath, saveStatePath + ".unreadable") != 0) {
            fs.remove(temp);
            return false;
        }
    }
    saveStateUnreadable = false;
    if (fs.rename(temp, saveStatePath) != 0) {
        fs.remove(temp);
        return false;
    }
    // Make the rename itself durable.
    auto slash = saveStatePath.find_last_of('/');
    std::string folder =
        slash == std::string::npos ? std::string(".") : saveStatePath.substr(0, slash + 1);
    int dirFd = fs.open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fs.fdatasync(dirFd);
        fs.close(dirFd);
    }
    return true;
}

}  // namespace quenlow
