#include "package/PackageExtraction.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "package/Crc32Static.h"
#include "package/PackageCatalogue.h"
#include "package/PackageFile.h"
#include "package/TaskReports.h"
#include "package/UnpackMessageHandler.h"
#include "platform/FileSystem.h"
#include "platform/Messages.h"
#include "platform/Pacing.h"

namespace quenlow {

namespace {

constexpr size_t kCopySize = 16384;
constexpr mode_t kNormalMode = 0644;
constexpr mode_t kProgramMode = 0755;

std::string slashes(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

void restoreTimesAndAttributes(const std::string& path, uint64_t accessTime, uint64_t writeTime,
                               uint32_t attributes, bool executable) {
    timespec access = FileTimeToTimespec(accessTime);
    timespec write = FileTimeToTimespec(writeTime);
    // A zero time means the package carries none: leave the file's own.
    if (accessTime == 0) access.tv_nsec = UTIME_OMIT;
    if (writeTime == 0) write.tv_nsec = UTIME_OMIT;
    fileSystem().setTimes(path, access, write);  // a failure is not an extraction failure
    const mode_t mode = executable ? kProgramMode : kNormalMode;
    fileSystem().chmod(path, (attributes & FileAttribute_ReadOnly) ? (mode & ~0222) : mode);
}

std::string directoryPart(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Opens a new output file for an entry: a read-only file, a link or a file
// with other hard links already there is replaced, never written through.
bool createOutput(PackageFile& out, const std::string& path) {
    CreateDirectoryTree(path, true);
    return out.createFresh(path, kNormalMode);
}

}  // namespace

bool EntryOutputPath(const std::string& outputFolder, const std::string& nameIn,
                     std::string& path) {
    std::string name = nameIn;
    if (!name.empty() && name[0] == '/') name.erase(0, 1);
    path = joinPath(outputFolder, name);
    if (!name.empty() && name[0] == '/') return false;  // still absolute
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= name.size()) {
        size_t slash = name.find('/', start);
        if (slash == std::string::npos) slash = name.size();
        std::string c = name.substr(start, slash - start);
        if (c == "..") return false;
        if (!c.empty() && c != ".") components.push_back(std::move(c));
        start = slash + 1;
    }
    // Nothing already inside the output folder may redirect the entry elsewhere.
    std::string walk = outputFolder;
    for (const auto& c : components) {
        walk = joinPath(walk, c);
        struct stat st {};
        if (::lstat(walk.c_str(), &st) != 0) break;  // nothing deeper exists yet
        if (S_ISLNK(st.st_mode)) return false;
    }
    return true;
}

namespace {

// Everything one Unpack call works with: its inputs, the open package, the
// buffers and the counters of the entry walk.
struct UnpackJob {
    PackageCatalogue& catalogue;
    const std::string& packagePath;
    const std::string& outputFolder;
    std::string& launchFolder;
    uint32_t progressMessage;
    const UnpackMessageHandler* relayWindow;
    bool skipCrc;
    uint32_t expectedCrc;
    const std::string& packageKey;
    bool deleteOnCrcFailure;
    const QueueRef& reportThread;

    PackageFile package;
    uint8_t xorByte = 0;
    std::vector<uint8_t> copyBuffer;
    uint32_t lastCopyPercent = 0;
    int lastInflate = 0;          // result of the last InflateEntry
    int decompressorFailure = 0;  // a decompressor failure that did not stop the walk
    bool underTopFolder = false;  // the last entry lies below the single top folder
};

constexpr int kOpenPackageFlags = O_RDONLY | O_CREAT;

void postCreateFailure(const UnpackJob& job, const std::string& outPath) {
    postLog(job.reportThread,
            "Error(TARN-1004): unable to create file " + outPath + " during unpacking phase.");
}

bool openPackage(UnpackJob& job) {
    if (job.package.open(job.packagePath, kOpenPackageFlags)) return true;
    postLog(job.reportThread, "Unable to open File: " + job.packagePath);
    return false;
}

bool loadSealedCatalogue(UnpackJob& job) {
    job.xorByte = SealedXorByte(job.packageKey);
    if (OpenSealedPackage(job.catalogue, job.package, job.packagePath, job.packageKey)) return true;
    job.package.close();
    postLog(job.reportThread, "LoadBFCool failed");
    return false;
}

bool loadVersionedCatalogue(UnpackJob& job) {
    uint32_t version = 0;
    if (!job.package.readWord(version)) version = 0;
    job.package.close();
    if (!openPackage(job)) return false;
    if (version == 169) {
        // No catalogue: an empty package whose CRC pass sees no data.
        const int64_t size = job.package.size();
        job.package.seek(size > 0 ? size : 0);
        return true;
    }
    job.xorByte = VersionedXorByte(job.packageKey);
    if (job.catalogue.LoadHeader(job.package)) return true;
    job.package.close();
    postLog(job.reportThread, "header Load failed");
    return false;
}

// Leaves the package at the first byte of entry data and the progress total set.
bool loadCatalogue(UnpackJob& job) {
    const bool loaded =
        job.packageKey.size() > 50 ? loadSealedCatalogue(job) : loadVersionedCatalogue(job);
    if (!loaded) return false;
    PackageCatalogue& catalogue = job.catalogue;
    if (!catalogue.reportThread) catalogue.reportThread = job.reportThread;
    catalogue.progressTotal = catalogue.SumProgressSizes();
    catalogue.Rewind();
    return true;
}

// The failure text of the CRC stage, empty when the package passes.
std::string crcFailure(UnpackJob& job) {
    uint32_t crc = 0;
    CCrc32Static::FileCrc32Win32Handle(job.package, crc, job.catalogue.progressTotal,
                                       job.relayWindow, job.reportThread, 100);
    const uint32_t stored = job.catalogue.storedCrc();
    if (stored != 0) return crc != stored ? "CRC not valid" : "";
    if (job.expectedCrc != 0) {
        postLog(job.reportThread, "CRC Compare " + std::to_string(static_cast<int32_t>(crc)) +
                                      " and " +
                                      std::to_string(static_cast<int32_t>(job.expectedCrc)));
        return crc != job.expectedCrc ? "CRC not valid2" : "";
    }
    postLog(job.reportThread,
            "CRC Compare " + std::to_string(static_cast<int64_t>(crc)) + " and 0");
    return crc != 0 ? "CRC not valid3" : "";
}

bool checkCrc(UnpackJob& job) {
    if (job.skipCrc) return true;
    const std::string failure = crcFailure(job);
    if (failure.empty()) return true;
    job.package.close();
    if (job.deleteOnCrcFailure) fileSystem().remove(job.packagePath);
    postLog(job.reportThread, failure);
    return false;
}

enum class EntryOutcome { Extracted, CreateFailed, DataFailed, Stopped };

// Copies a stored entry: it runs to the end of the package and carries no XOR.
EntryOutcome copyStoredEntry(UnpackJob& job, PackageFile& out, ExecutableSniffer& head) {
    PackageCatalogue& catalogue = job.catalogue;
    for (;;) {
        if (catalogue.stopRequested()) return EntryOutcome::Stopped;
        const ssize_t n = job.package.read(job.copyBuffer.data(), job.copyBuffer.size());
        if (n < 0) return EntryOutcome::DataFailed;
        if (n == 0) return EntryOutcome::Extracted;
        head.feed(job.copyBuffer.data(), static_cast<size_t>(n));
        if (!out.write(job.copyBuffer.data(), static_cast<size_t>(n)))
            return EntryOutcome::DataFailed;
        catalogue.totalPackedRead += static_cast<uint64_t>(n);
        const uint32_t percent = ClampedPercent(catalogue.totalPackedRead, catalogue.progressTotal);
        if (job.relayWindow && percent != job.lastCopyPercent) {
            job.lastCopyPercent = percent;
            postReport(catalogue.reportThread, DownloadTaskState_Progress, percent);
            sleepFor(pacing().yieldAfterPost);
        }
    }
}

// Inflates a compressed entry. A decompressor failure is logged and the walk
// goes on; data that cannot be read or written stops it.
EntryOutcome inflateEntryData(UnpackJob& job, PackageFile& out, const CatalogueEntry& entry,
                              const std::string& outPath, ExecutableSniffer& head) {
    sleepFor(pacing().yieldAfterPost);
    job.lastInflate = InflateEntry(job.catalogue, job.package, out, entry.packedSize, job.xorByte,
                                   job.progressMessage, job.relayWindow, &head);
    switch (job.lastInflate) {
        case Inflate_StreamEnd:
            return EntryOutcome::Extracted;
        case Inflate_Failed:
            return EntryOutcome::DataFailed;
        case Inflate_Stopped:
            return EntryOutcome::Stopped;
        default:
            job.decompressorFailure = job.lastInflate;
            postLog(job.reportThread, "Error(TARN-1004): unable to decompress " + outPath +
                                          " (inflate " + std::to_string(job.lastInflate) + ")");
            return EntryOutcome::Extracted;
    }
}

bool isDiskFull(int error) { return error == ENOSPC || error == EDQUOT; }

// A file cut short by a full disk or a stop is never left looking complete.
void discardPartialOutput(UnpackJob& job, EntryOutcome outcome, int writeError,
                          const std::string& outPath) {
    if (outcome == EntryOutcome::DataFailed && isDiskFull(writeError)) {
        job.catalogue.outOfDiskSpace = true;
        postLog(job.reportThread, "Error(TARN-1004): not enough disk space to write " + outPath);
    } else if (outcome != EntryOutcome::Stopped) {
        return;
    }
    fileSystem().remove(outPath);
}

EntryOutcome extractFile(UnpackJob& job, const CatalogueEntry& entry, const std::string& outPath) {
    PackageFile out;
    if (!createOutput(out, outPath)) return EntryOutcome::CreateFailed;
    ExecutableSniffer head;
    const EntryOutcome outcome = entry.compressed ? inflateEntryData(job, out, entry, outPath, head)
                                                  : copyStoredEntry(job, out, head);
    const int writeError = out.error();
    out.close();
    if (outcome != EntryOutcome::Extracted) {
        discardPartialOutput(job, outcome, writeError, outPath);
        return outcome;
    }
    restoreTimesAndAttributes(outPath, entry.lastAccessTime, entry.lastWriteTime, entry.attributes,
                              head.executable());
    return EntryOutcome::Extracted;
}

EntryOutcome extractEntry(UnpackJob& job, const std::string& rawName, const CatalogueEntry& entry) {
    const std::string name = slashes(rawName);
    job.underTopFolder = job.catalogue.TrackTopFolder(name);
    std::string outPath;
    if (!EntryOutputPath(job.outputFolder, name, outPath)) {
        postCreateFailure(job, outPath);
        return EntryOutcome::CreateFailed;
    }
    if (entry.attributes & FileAttribute_Directory) {
        // "Name/" creates itself; "Name" only its parents.
        CreateDirectoryTree(directoryPart(outPath), false);
        return EntryOutcome::Extracted;
    }
    const EntryOutcome outcome = extractFile(job, entry, outPath);
    if (outcome == EntryOutcome::CreateFailed) postCreateFailure(job, outPath);
    if (outcome == EntryOutcome::DataFailed) {
        job.package.close();
        postLog(job.reportThread, "Error(TARN-1004): unable to open " + outPath + " For output2");
    }
    return outcome;
}

int extractEntries(UnpackJob& job) {
    std::string rawName;
    CatalogueEntry entry;
    while (job.catalogue.NextEntry(rawName, entry)) {
        if (job.catalogue.stopRequested()) return Unpack_NotLoaded;
        switch (extractEntry(job, rawName, entry)) {
            case EntryOutcome::Extracted:
                break;
            case EntryOutcome::CreateFailed:
                return job.lastInflate;
            case EntryOutcome::DataFailed:
                return Unpack_EntryFailed;
            case EntryOutcome::Stopped:
                return Unpack_NotLoaded;
        }
    }
    if (job.underTopFolder) job.launchFolder = job.catalogue.topFolder;
    job.package.close();
    if (job.relayWindow) {
        postReport(job.catalogue.reportThread, DownloadTaskState_Progress, 100);
        sleepFor(pacing().yieldAfterPost);
    }
    // A truncated output file is not a success, even though the others stay.
    return job.decompressorFailure ? job.decompressorFailure : Unpack_Done;
}

}  // namespace

int Unpack(PackageCatalogue& catalogue, const std::string& packagePath,
           const std::string& outputFolder, std::string& launchFolder, uint32_t progressMessage,
           const UnpackMessageHandler* relayWindow, bool skipCrc, uint32_t expectedCrc,
           const std::string& packageKey, bool deleteOnCrcFailure, const QueueRef& reportThread) {
    UnpackJob job{catalogue,       packagePath,        outputFolder, launchFolder,
                  progressMessage, relayWindow,        skipCrc,      expectedCrc,
                  packageKey,      deleteOnCrcFailure, reportThread};
    try {
        job.copyBuffer.resize(kCopySize);
    } catch (const std::bad_alloc&) {
        return Unpack_NotLoaded;
    }
    postLog(reportThread, "Unpacking File: " + packagePath);
    if (!openPackage(job) || !loadCatalogue(job)) return Unpack_NotLoaded;
    if (!checkCrc(job)) return Unpack_CrcFailed;
    postReport(reportThread, DownloadTaskState_CrcFinished, 0);
    sleepFor(pacing().yieldAfterPost);
    return extractEntries(job);
}

namespace {

// The legacy job's package, copy buffer and percent, shared by its entries.
struct LegacyCopy {
    PackageCatalogue& catalogue;
    PackageFile& package;
    std::vector<uint8_t>& buffer;
    uint32_t progressMessage;
    const UnpackMessageHandler* progressWindow;
    int64_t packageSize;
    int64_t jobBytes = 0;
    int64_t lastPercent = -1;
};

void reportLegacyPercent(LegacyCopy& job, size_t n) {
    job.jobBytes += static_cast<int64_t>(n);
    const int64_t percent = job.jobBytes * 100 / job.packageSize;
    if (!job.progressWindow || percent == job.lastPercent) return;
    job.lastPercent = percent;
    job.progressWindow->handleMessage(
        Message(job.progressMessage, 0, static_cast<intptr_t>(percent)));
}

// Copies one entry's `size` bytes; a cut package, a failed write or a stop fails it.
bool copyLegacyEntry(LegacyCopy& job, PackageFile& out, uint32_t size, ExecutableSniffer& head) {
    uint32_t copied = 0;
    while (copied < size) {
        if (job.catalogue.stopRequested()) return false;
        const size_t want = std::min<size_t>(size - copied, job.buffer.size());
        const ssize_t n = job.package.read(job.buffer.data(), want);
        // Data that ends before the entry's size is a broken package, not a short file.
        if (n <= 0) return false;
        head.feed(job.buffer.data(), static_cast<size_t>(n));
        if (!out.write(job.buffer.data(), static_cast<size_t>(n))) return false;
        copied += static_cast<uint32_t>(n);
        reportLegacyPercent(job, static_cast<size_t>(n));
    }
    return true;
}

bool extractLegacyFile(LegacyCopy& job, const LegacyEntry& entry, const std::string& outPath) {
    PackageFile out;
    if (!createOutput(out, outPath)) return false;
    ExecutableSniffer head;
    if (!copyLegacyEntry(job, out, entry.size, head)) {
        const bool diskFull = isDiskFull(out.error());
        out.close();
        // A file cut short by a full disk or a stop is never left looking complete.
        if (diskFull) job.catalogue.outOfDiskSpace = true;
        if (diskFull || job.catalogue.stopRequested()) fileSystem().remove(outPath);
        return false;
    }
    out.close();
    restoreTimesAndAttributes(outPath, entry.lastAccessTime, entry.lastWriteTime, entry.attributes,
                              head.executable());
    return true;
}

}  // namespace

bool UnpackLegacy(PackageCatalogue& catalogue, const std::string& packagePath,
                  const std::string& outputFolder, uint32_t progressMessage,
                  const UnpackMessageHandler* progressWindow) {
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(kCopySize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    PackageFile package;
    if (!package.open(packagePath, O_RDONLY)) return false;
    if (!catalogue.LoadLegacyHeader(package)) return false;
    catalogue.Rewind();
    const int64_t packageSize = package.size();
    if (packageSize <= 0) return false;

    LegacyCopy job{catalogue, package, buffer, progressMessage, progressWindow, packageSize};
    std::string rawName;
    LegacyEntry entry;
    while (catalogue.NextLegacyEntry(rawName, entry)) {
        if (catalogue.stopRequested()) return false;
        std::string outPath;
        if (!EntryOutputPath(outputFolder, slashes(rawName), outPath)) return false;
        CreateDirectoryTree(directoryPart(outPath), false);
        if (entry.attributes & FileAttribute_Directory) continue;
        if (!extractLegacyFile(job, entry, outPath)) return false;
    }
    // The catalogue counts in the divisor, so the copy alone never reaches 100.
    if (progressWindow && job.lastPercent != 100)
        progressWindow->handleMessage(Message(progressMessage, 0, 100));
    return true;
}

}  // namespace quenlow
