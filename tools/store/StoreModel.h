#pragma once
// Orders of the demo store: what a POST /control/order defines, how a file is
// cut into parts, the deterministic bytes of a plain file, and the
// file-information text the page hands to the application.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quenlow::store {

// A rejected order definition; the text says which field is wrong.
struct OrderError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct PackageEntrySpec {
    std::string name;  // path inside the package, "/" or "\" separated
    std::string text;  // content of a file entry
    bool executable = false;
    bool folder = false;
};

struct PackageSpec {
    std::string layout = "versioned";  // versioned | sealed | legacy
    std::string key;
    std::vector<PackageEntrySpec> entries;
};

struct FileSpec {
    std::string fileKey;
    int fileTypeId = 2;
    std::string fileName;
    std::string installCommand;
    int parts = 1;
    uint64_t size = 0;  // plain files only; a package's size is what the writer made
    int failStatus = 0;
    uint64_t throttleBytesPerSec = 0;
    std::string productIdx;  // "P" of "dlSelect" + P
    bool dlSelect = true;    // whether the page carries "dlSelect" + P
    bool mirror = false;     // "fileUrl" + N points at the /mirror/ copy of the parts
    std::string oiopua = "1";
    std::optional<std::string> edv;  // overrides the unpack parameter
    std::optional<uint32_t> extractedKB;
    std::optional<PackageSpec> package;
};

struct OrderSpec {
    std::string orderId;
    bool labelOnly = false;  // order number only in the label span, "hfOrderNumber" empty
    std::string labelText;   // text of the label span when labelOnly
    std::string defaultOutputFolder;
    bool upgradeLink = true;
    // Every script function reports its call with a synchronous request, as
    // analytics on a real store page do: the page stands still meanwhile.
    bool syncCalls = false;
    std::string actionButtonPrefix = "downloadAction";
    std::string folderSelectionName = "BrowserFolderSelection";
    std::string title;
    std::vector<FileSpec> files;
};

// Parses and checks an order definition (JSON). Throws OrderError.
OrderSpec parseOrderSpec(const std::string& json);

// Whether text is usable as an order id or file key: it becomes part of URL
// paths and of folder names under the data folder.
bool isSafeKey(const std::string& text, size_t maxLength);

struct ServedPart {
    int partKey = 1;  // 1-based
    std::string fileId;
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string urlPath;  // percent-encoded path on this store
};

struct ServedFile {
    FileSpec spec;
    uint64_t size = 0;
    uint64_t seed = 0;                                // plain files: content seed
    std::shared_ptr<const std::string> packageBytes;  // packages only
    std::string unpackParameter;                      // value of "edv" + N
    uint32_t downloadKB = 0;
    uint32_t extractedKB = 0;
    std::vector<ServedPart> parts;

    // Copies bytes [offset, offset + n) of the file into out.
    void read(uint64_t offset, char* out, size_t n) const;
    // Percent-encoded URL path prefix of the file's folder ("/files/ORDER/KEY").
    std::string folderPath(const std::string& root, const std::string& orderId) const;
};

struct Order {
    OrderSpec spec;
    std::vector<ServedFile> files;
    // The file-information text for the hidden field "hfFileInfo".
    std::string fileInfoXml(const std::string& baseUrl) const;
};

// Seed of a plain file's bytes: a function of (orderId, fileKey, size).
uint64_t contentSeed(const std::string& orderId, const std::string& fileKey, uint64_t size);
// The plain-file byte generator, addressable at any offset.
void generateBytes(uint64_t seed, uint64_t offset, char* out, size_t n);

// Splits size bytes into parts nearly equal ranges (the last takes the rest).
std::vector<std::pair<uint64_t, uint64_t>> splitParts(uint64_t size, int parts);

// Escaping for text placed in XML/HTML attribute values and element text.
std::string escapeMarkup(const std::string& text);

// URL-path encoding of one path segment.
std::string encodeSegment(const std::string& segment);

// Human-readable byte count ("2.9 MB").
std::string formatSize(uint64_t bytes);

}  // namespace quenlow::store
