#pragma once
// Small helpers for the package tests: file access, the
// reports a job posted, and a hand-made catalogue builder that does not share
// code with the package writer.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "package/Blowfish.h"
#include "package/PackageCatalogue.h"
#include "platform/FileSystem.h"
#include "platform/MessageQueue.h"
#include "platform/Messages.h"
#include "platform/Pacing.h"
#include "support/ScratchDir.h"

namespace quenlow::test {

namespace fs = std::filesystem;

inline void writeFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Files (not folders) below root, as relative paths.
inline std::vector<std::string> filesBelow(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); ++it)
        if (!it->is_directory()) out.push_back(fs::relative(it->path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

// One UM_TASK_MESSAGE a job posted.
struct Report {
    int code;
    intptr_t lParam;
    std::optional<std::string> text;
};

// Takes every message already in the queue.
inline std::vector<Report> drain(const QueueRef& q) {
    std::vector<Report> out;
    while (auto m = q->tryTake()) {
        EXPECT_EQ(m->id, UM_TASK_MESSAGE);
        out.push_back({static_cast<int>(m->wParam), m->lParam,
                       m->text() ? std::optional<std::string>(*m->text()) : std::nullopt});
    }
    return out;
}

inline std::vector<std::string> logTexts(const std::vector<Report>& reports) {
    std::vector<std::string> out;
    for (const auto& r : reports)
        if (r.code == DownloadTaskState_Log && r.text) out.push_back(*r.text);
    return out;
}

inline std::vector<int> percents(const std::vector<Report>& reports) {
    std::vector<int> out;
    for (const auto& r : reports)
        if (r.code == DownloadTaskState_Progress) out.push_back(static_cast<int>(r.lParam));
    return out;
}

// Shrinks every wait of the package code for the test's duration.
class FastPacing {
  public:
    FastPacing() : saved_(pacing()) {
        pacing().crcPercentDelay = pacing().inflatePercentDelay = pacing().relayDelay = Millis(0);
        pacing().unpackedReportDelay = pacing().yieldAfterPost = Millis(0);
    }
    ~FastPacing() { pacing() = saved_; }

  private:
    Pacing saved_;
};

// Puts a file system in place for a scope: a failed assertion cannot leave it behind.
class FileSystemInPlace {
  public:
    explicit FileSystemInPlace(FileSystem& fs) { setFileSystem(&fs); }
    ~FileSystemInPlace() { setFileSystem(nullptr); }
    FileSystemInPlace(const FileSystemInPlace&) = delete;
    FileSystemInPlace& operator=(const FileSystemInPlace&) = delete;
};

// Little-endian byte builder.
struct Bytes {
    std::string s;
    Bytes& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
        return *this;
    }
    Bytes& u64(uint64_t v) {
        return u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32));
    }
    Bytes& raw(const std::string& b) {
        s += b;
        return *this;
    }
    Bytes& zeros(size_t n) { return raw(std::string(n, '\0')); }
};

inline void patch32(std::string& bytes, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(v >> (8 * i));
}

// A form A record (56 bytes).
inline std::string recordA(uint32_t nameOffset, uint32_t attributes, uint32_t packed,
                           uint32_t progress, uint8_t compressed) {
    Bytes b;
    b.u32(nameOffset).u32(attributes).u64(0).u64(0).u64(0).u32(packed).u32(progress);
    b.s += static_cast<char>(compressed);
    b.zeros(7).u64(0);
    return b.s;
}

inline void encrypt(std::string& bytes, const std::string& key) {
    bytes.resize((bytes.size() + 7) / 8 * 8, '\0');
    Blowfish(reinterpret_cast<const uint8_t*>(key.data()), key.size())
        .encryptBuffer(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace quenlow::test
