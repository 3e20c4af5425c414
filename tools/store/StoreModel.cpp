#include "tools/store/StoreModel.h"

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/URI.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quenlow::store {

namespace {

using Poco::JSON::Array;
using Poco::JSON::Object;

constexpr uint64_t kMaxPlainSize = uint64_t{1} << 40;  // generated on the fly, so only a sanity cap
constexpr int kMaxParts = 64;
constexpr size_t kMaxFiles = 100;
constexpr size_t kMaxEntries = 1000;
constexpr size_t kMaxPackageText = 64u << 20;

bool hasControlChar(const std::string& s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

std::string where(const std::string& ctx, const std::string& key) {
    return ctx.empty() ? "\"" + key + "\"" : ctx + ".\"" + key + "\"";
}

std::optional<std::string> optString(const Object::Ptr& o, const std::string& ctx,
                                     const std::string& key) {
    if (!o->has(key) || o->isNull(key)) return std::nullopt;
    Poco::Dynamic::Var v = o->get(key);
    if (!v.isString()) throw OrderError(where(ctx, key) + " must be a string");
    return v.extract<std::string>();
}

std::optional<bool> optBool(const Object::Ptr& o, const std::string& ctx, const std::string& key) {
    if (!o->has(key) || o->isNull(key)) return std::nullopt;
    Poco::Dynamic::Var v = o->get(key);
    if (!v.isBoolean()) throw OrderError(where(ctx, key) + " must be true or false");
    return v.convert<bool>();
}

std::optional<int64_t> optInt(const Object::Ptr& o, const std::string& ctx, const std::string& key,
                              int64_t lo, int64_t hi) {
    if (!o->has(key) || o->isNull(key)) return std::nullopt;
    Poco::Dynamic::Var v = o->get(key);
    if (!v.isInteger()) throw OrderError(where(ctx, key) + " must be an integer");
    int64_t n = 0;
    if (v.isSigned()) {
        n = v.convert<int64_t>();
    } else {
        auto u = v.convert<uint64_t>();
        if (u > static_cast<uint64_t>(hi)) throw OrderError(where(ctx, key) + " is out of range");
        n = static_cast<int64_t>(u);
    }
    if (n < lo || n > hi) {
        throw OrderError(where(ctx, key) + " must be between " + std::to_string(lo) + " and " +
                         std::to_string(hi));
    }
    return n;
}

void checkText(const std::string& ctx, const std::string& key, const std::string& value,
               size_t maxLength) {
    if (value.size() > maxLength) throw OrderError(where(ctx, key) + " is too long");
    if (hasControlChar(value)) throw OrderError(where(ctx, key) + " contains control characters");
}

PackageSpec parsePackage(const Object::Ptr& o, const std::string& ctx) {
    PackageSpec p;
    if (auto v = optString(o, ctx, "layout")) p.layout = *v;
    if (p.layout != "versioned" && p.layout != "sealed" && p.layout != "legacy") {
        throw OrderError(where(ctx, "layout") + " must be versioned, sealed or legacy");
    }
    if (auto v = optString(o, ctx, "key")) p.key = *v;
    checkText(ctx, "key", p.key, 200);
    Array::Ptr entries = o->has("entries") ? o->getArray("entries") : nullptr;
    if (!entries || entries->size() == 0)
        throw OrderError(where(ctx, "entries") + " must list at least one entry");
    if (entries->size() > kMaxEntries)
        throw OrderError(where(ctx, "entries") + " lists too many entries");
    size_t total = 0;
    for (size_t i = 0; i < entries->size(); ++i) {
        std::string ectx = ctx + ".entries[" + std::to_string(i) + "]";
        Object::Ptr e = entries->getObject(static_cast<unsigned>(i));
        if (!e) throw OrderError(ectx + " must be an object");
        PackageEntrySpec entry;
        entry.name = optString(e, ectx, "name").value_or("");
        if (entry.name.empty()) throw OrderError(where(ectx, "name") + " is required");
        checkText(ectx, "name", entry.name, 260);
        entry.text = optString(e, ectx, "text").value_or("");
        entry.executable = optBool(e, ectx, "executable").value_or(false);
        entry.folder = optBool(e, ectx, "folder").value_or(false);
        total += entry.text.size();
        p.entries.push_back(std::move(entry));
    }
    if (total > kMaxPackageText) throw OrderError(ctx + " holds too much text");
    return p;
}

FileSpec parseFile(const Object::Ptr& o, size_t index) {
    std::string ctx = "files[" + std::to_string(index) + "]";
    FileSpec f;
    f.fileKey = optString(o, ctx, "fileKey").value_or(std::to_string(index + 1));
    if (!isSafeKey(f.fileKey, 16)) {
        throw OrderError(where(ctx, "fileKey") + " must be 1-16 letters, digits, '-', '_' or '.'");
    }
    f.fileName = optString(o, ctx, "fileName").value_or("");
    if (f.fileName.empty()) throw OrderError(where(ctx, "fileName") + " is required");
    checkText(ctx, "fileName", f.fileName, 200);
    if (f.fileName == "." || f.fileName == ".." ||
        f.fileName.find_first_of("/\\") != std::string::npos) {
        throw OrderError(where(ctx, "fileName") + " must be a plain file name");
    }
    f.installCommand = optString(o, ctx, "installCommand").value_or("");
    checkText(ctx, "installCommand", f.installCommand, 260);
    f.parts = static_cast<int>(optInt(o, ctx, "parts", 1, kMaxParts).value_or(1));
    f.failStatus = static_cast<int>(optInt(o, ctx, "failStatus", 0, 599).value_or(0));
    if (f.failStatus != 0 && f.failStatus < 100)
        throw OrderError(where(ctx, "failStatus") + " must be an HTTP status");
    f.throttleBytesPerSec = static_cast<uint64_t>(
        optInt(o, ctx, "throttleBytesPerSec", 0, int64_t{1} << 40).value_or(0));
    f.productIdx = optString(o, ctx, "productIdx").value_or(std::to_string(100 + index + 1));
    checkText(ctx, "productIdx", f.productIdx, 32);
    f.dlSelect = optBool(o, ctx, "dlSelect").value_or(true);
    f.mirror = optBool(o, ctx, "mirror").value_or(false);
    f.oiopua = optString(o, ctx, "oiopua").value_or("1");
    checkText(ctx, "oiopua", f.oiopua, 200);
    f.edv = optString(o, ctx, "edv");
    if (f.edv) checkText(ctx, "edv", *f.edv, 400);
    if (auto kb = optInt(o, ctx, "extractedKB", 0, 0x7fffffff))
        f.extractedKB = static_cast<uint32_t>(*kb);
    if (o->has("package") && !o->isNull("package")) {
        Object::Ptr p = o->getObject("package");
        if (!p) throw OrderError(where(ctx, "package") + " must be an object");
        f.package = parsePackage(p, ctx + ".package");
    }
    f.fileTypeId =
        static_cast<int>(optInt(o, ctx, "fileTypeId", 0, 0x7fffffff).value_or(f.package ? 1 : 2));
    auto size = optInt(o, ctx, "size", 1, static_cast<int64_t>(kMaxPlainSize));
    if (!f.package) {
        if (!size) throw OrderError(where(ctx, "size") + " is required for a plain file");
        f.size = static_cast<uint64_t>(*size);
        if (f.size < static_cast<uint64_t>(f.parts)) {
            throw OrderError(where(ctx, "parts") + " must not exceed the size in bytes");
        }
    }
    return f;
}

// SplitMix64: small, fast and good enough to make parts distinguishable.
uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

bool isSafeKey(const std::string& text, size_t maxLength) {
    if (text.empty() || text.size() > maxLength || text.front() == '.') return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.';
    });
}

OrderSpec parseOrderSpec(const std::string& json) {
    Poco::Dynamic::Var root;
    try {
        Poco::JSON::Parser parser;
        root = parser.parse(json);
    } catch (const Poco::Exception& e) {
        throw OrderError("the order is not valid JSON: " + e.message());
    }
    Object::Ptr o = root.type() == typeid(Object::Ptr) ? root.extract<Object::Ptr>() : nullptr;
    if (!o) throw OrderError("the order must be a JSON object");

    OrderSpec spec;
    spec.orderId = optString(o, "", "orderId").value_or("");
    if (!isSafeKey(spec.orderId, 64)) {
        throw OrderError("\"orderId\" must be 1-64 letters, digits, '-', '_' or '.'");
    }
    if (o->has("orderNumberLabel") && !o->isNull("orderNumberLabel")) {
        Poco::Dynamic::Var v = o->get("orderNumberLabel");
        if (v.isBoolean()) {
            spec.labelOnly = v.convert<bool>();
            spec.labelText = spec.orderId;
        } else if (v.isString()) {
            spec.labelOnly = true;
            spec.labelText = v.extract<std::string>();
            checkText("", "orderNumberLabel", spec.labelText, 200);
        } else {
            throw OrderError("\"orderNumberLabel\" must be true/false or the label text");
        }
    }
    spec.defaultOutputFolder = optString(o, "", "defaultOutputFolder").value_or("");
    checkText("", "defaultOutputFolder", spec.defaultOutputFolder, 1024);
    spec.upgradeLink = optBool(o, "", "upgradeLink").value_or(true);
    spec.syncCalls = optBool(o, "", "syncCalls").value_or(false);
    spec.actionButtonPrefix = optString(o, "", "actionButtonPrefix").value_or("downloadAction");
    if (!isSafeKey(spec.actionButtonPrefix, 64))
        throw OrderError("\"actionButtonPrefix\" must be a plain id");
    spec.folderSelectionName =
        optString(o, "", "folderSelectionName").value_or("BrowserFolderSelection");
    if (!isSafeKey(spec.folderSelectionName, 64))
        throw OrderError("\"folderSelectionName\" must be a plain id");
    spec.title = optString(o, "", "title").value_or("");
    checkText("", "title", spec.title, 200);

    Array::Ptr files = o->has("files") ? o->getArray("files") : nullptr;
    if (o->has("files") && !files) throw OrderError("\"files\" must be an array");
    if (files) {
        if (files->size() > kMaxFiles) throw OrderError("\"files\" lists too many files");
        for (size_t i = 0; i < files->size(); ++i) {
            Object::Ptr f = files->getObject(static_cast<unsigned>(i));
            if (!f) throw OrderError("files[" + std::to_string(i) + "] must be an object");
            spec.files.push_back(parseFile(f, i));
        }
    }
    for (size_t i = 0; i < spec.files.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (spec.files[i].fileKey == spec.files[j].fileKey) {
                throw OrderError("files[" + std::to_string(i) + "] repeats fileKey \"" +
                                 spec.files[i].fileKey + "\"");
            }
        }
    }
    return spec;
}

uint64_t contentSeed(const std::string& orderId, const std::string& fileKey, uint64_t size) {
    // FNV-1a over the three values, separated so ("a","bc") and ("ab","c") differ.
    uint64_t h = 0xcbf29ce484222325ull;
    auto feed = [&h](const std::string& s) {
        for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ull;
        h = (h ^ 0xff) * 0x100000001b3ull;
    };
    feed(orderId);
    feed(fileKey);
    feed(std::to_string(size));
    return h;
}

void generateBytes(uint64_t seed, uint64_t offset, char* out, size_t n) {
    size_t done = 0;
    while (done < n) {
        uint64_t pos = offset + done;
        uint64_t word = mix(seed ^ mix(pos / 8));
        for (unsigned b = static_cast<unsigned>(pos % 8); b < 8 && done < n; ++b, ++done) {
            out[done] = static_cast<char>((word >> (8 * b)) & 0xff);
        }
    }
}

std::vector<std::pair<uint64_t, uint64_t>> splitParts(uint64_t size, int parts) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (parts < 1) parts = 1;
    uint64_t each = size / static_cast<uint64_t>(parts);
    uint64_t offset = 0;
    for (int k = 0; k < parts; ++k) {
        uint64_t len = (k == parts - 1) ? size - offset : each;
        ranges.emplace_back(offset, len);
        offset += len;
    }
    return ranges;
}

void ServedFile::read(uint64_t offset, char* out, size_t n) const {
    if (packageBytes) {
        std::memcpy(out, packageBytes->data() + offset, n);
    } else {
        generateBytes(seed, offset, out, n);
    }
}

std::string ServedFile::folderPath(const std::string& root, const std::string& orderId) const {
    return "/" + root + "/" + orderId + "/" + spec.fileKey;
}

std::string escapeMarkup(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string encodeSegment(const std::string& segment) {
    std::string out;
    Poco::URI::encode(segment, "/?#%&+;=:@[]!$'()*,", out);
    return out;
}

std::string formatSize(uint64_t bytes) {
    char buf[64];
    if (bytes < 1024) {
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else if (bytes < 1024ull * 1024) {
        std::snprintf(buf, sizeof buf, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    } else if (bytes < 1024ull * 1024 * 1024) {
        std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    } else {
        std::snprintf(buf, sizeof buf, "%.2f GB",
                      static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
    }
    return buf;
}

std::string Order::fileInfoXml(const std::string& baseUrl) const {
    std::string xml;
    if (!spec.defaultOutputFolder.empty()) {
        xml += "<ApplicationData DefaultOutputFolder=\"" + escapeMarkup(spec.defaultOutputFolder) +
               "\"/>";
    }
    xml += "<Files>";
    for (const ServedFile& f : files) {
        xml += "<File FileTypeID=\"" + std::to_string(f.spec.fileTypeId) + "\" FileKey=\"" +
               escapeMarkup(f.spec.fileKey) + "\" FileName=\"" + escapeMarkup(f.spec.fileName) +
               "\" InstallCommand=\"" + escapeMarkup(f.spec.installCommand) + "\">";
        for (const ServedPart& p : f.parts) {
            // Every part carries the whole file's sizes; the application
            // takes its space requirement from the first part.
            xml += "<FilePart FilePartKey=\"" + std::to_string(p.partKey) + "\" FileID=\"" +
                   escapeMarkup(p.fileId) + "\" FileURL=\"" + escapeMarkup(baseUrl + p.urlPath) +
                   "\" DownloadKBCount=\"" + std::to_string(f.downloadKB) +
                   "\" ExtractedKBCount=\"" + std::to_string(f.extractedKB) + "\"/>";
        }
        xml += "</File>";
    }
    xml += "</Files>";
    return xml;
}

}  // namespace quenlow::store
