#include "package/PackageExtraction.h"

#include <sys/stat.h>
#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "package/Crc32Static.h"
#include "package/PackageCatalogue.h"
#include "package/PackageFile.h"
#include "package/UnpackMessageHandler.h"
#include "platform/FileSystem.h"
#include "platform/Messages.h"
#include "platform/Pacing.h"

namespace quenlow {

namespace {

constexpr size_t kCopySize = 16384;
constexpr size_t kInflateChunk = 262144;
constexpr mode_t kNormalMode = 0644;
constexpr mode_t kProgramMode = 0755;

void post(const QueueRef& to, int code, intptr_t lParam) {
    if (to) to->post(Message(UM_TASK_MESSAGE, static_cast<uintptr_t>(code), lParam));
}

void postLog(const QueueRef& to, std::string text) {
    if (to) to->post(textMessage(UM_TASK_MESSAGE, DownloadTaskState_Log, std::move(text)));
}

std::string slashes(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

bool isSymlink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// XORs every byte with key, a word at a time (the compiler widens this loop
// where it can).
void xorWords(uint8_t* data, size_t n, uint8_t key) {
    const uint64_t wide = 0x0101010101010101ull * key;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, data + i, 8);
        w ^= wide;
        std::memcpy(data + i, &w, 8);
    }
    for (; i < n; ++i) data[i] ^= key;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("avx2"))) void xorAvx2(uint8_t* data, size_t n, uint8_t key) {
    const __m256i k = _mm256_set1_epi8(static_cast<char>(key));
    size_t i = 0;
    for (; i + 128 <= n; i += 128) {
        auto* p = reinterpret_cast<__m256i*>(data + i);
        const __m256i a = _mm256_xor_si256(_mm256_loadu_si256(p), k);
        const __m256i b = _mm256_xor_si256(_mm256_loadu_si256(p + 1), k);
        const __m256i c = _mm256_xor_si256(_mm256_loadu_si256(p + 2), k);
        const __m256i d = _mm256_xor_si256(_mm256_loadu_si256(p + 3), k);
        _mm256_storeu_si256(p, a);
        _mm256_storeu_si256(p + 1, b);
        _mm256_storeu_si256(p + 2, c);
        _mm256_storeu_si256(p + 3, d);
    }
    for (; i + 32 <= n; i += 32) {
        auto* p = reinterpret_cast<__m256i*>(data + i);
        _mm256_storeu_si256(p, _mm256_xor_si256(_mm256_loadu_si256(p), k));
    }
    xorWords(data + i, n - i, key);
}

// XORs every byte with key: 128 bytes a step where the processor has AVX2.
void xorBuffer(uint8_t* data, size_t n, uint8_t key) {
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    if (avx2)
        xorAvx2(data, n, key);
    else
        xorWords(data, n, key);
}
#else
void xorBuffer(uint8_t* data, size_t n, uint8_t key) { xorWords(data, n, key); }
#endif

// Lets an existing read-only file at path be replaced.
void makeNormal(const std::string& path) {
    if (!isSymlink(path) && fileSystem().isRegularFile(path)) fileSystem().chmod(path, kNormalMode);
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

// Opens a fresh output file for an entry, never through a symbolic link.
bool createOutput(PackageFile& out, const std::string& path) {
    CreateDirectoryTree(path, true);
    makeNormal(path);
    return out.open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, kNormalMode);
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

int InflateEntry(PackageCatalogue& catalogue, PackageFile& package, PackageFile& output,
                 uint64_t packedSize, int xorValue, uint32_t progressMessage,
                 const UnpackMessageHandler* relayWindow, ExecutableSniffer* head) {
    try {
        if (catalogue.inflateIn.size() != kInflateChunk) catalogue.inflateIn.resize(kInflateChunk);
        if (catalogue.inflateOut.size() != kInflateChunk)
            catalogue.inflateOut.resize(kInflateChunk);
    } catch (const std::bad_alloc&) {
        return Z_MEM_ERROR;
    }
    uint8_t* in = catalogue.inflateIn.data();
    uint8_t* out = catalogue.inflateOut.data();
    const uint8_t key = static_cast<uint8_t>(xorValue);

    z_stream stream{};
    int rc = inflateInit2(&stream, -MAX_WBITS);
    if (rc != Z_OK) return rc;

    const int64_t entryStart = package.position();
    const uint32_t fullChunks = static_cast<uint32_t>(packedSize / kInflateChunk);
    const size_t remainder = static_cast<size_t>(packedSize % kInflateChunk);
    uint64_t readIndex = 0;
    uint64_t entryRead = 0;
    bool wrapped = false;
    bool wroteAny = false;
    size_t pending = 0;  // inflated bytes at the start of `out` not yet written
    auto flush = [&] {
        if (pending == 0) return true;
        if (key != 0) xorBuffer(out, pending, key);
        if (head) head->feed(out, pending);
        const bool written = output.write(out, pending);
        pending = 0;
        return written;
    };
    for (;;) {
        const size_t want = readIndex < fullChunks ? kInflateChunk : remainder;
        ++readIndex;
        ssize_t got = want ? package.read(in, want) : 0;
        const size_t n = got > 0 ? static_cast<size_t>(got) : 0;
        entryRead += n;
        catalogue.totalPackedRead += n;
        const uint32_t percent =
            ProgressPercent(catalogue.totalPackedRead, catalogue.progressTotal);
        if (relayWindow && static_cast<int32_t>(percent - catalogue.lastPercent) > 0) {
            relayWindow->handleMessage(Message(progressMessage, 0, static_cast<intptr_t>(percent)));
            catalogue.lastPercent = percent;
            sleepFor(pacing().inflatePercentDelay);
        }
        if (n == 0) {
            flush();
            inflateEnd(&stream);
            return -1;
        }
        stream.next_in = in;
        stream.avail_in = static_cast<uInt>(n);
        do {
            // Output accumulates across input chunks and is written a whole
            // buffer at a time: fewer, page-aligned writes.
            stream.next_out = out + pending;
            stream.avail_out = static_cast<uInt>(kInflateChunk - pending);
            rc = inflate(&stream, Z_NO_FLUSH);
            if (rc == Z_MEM_ERROR) {
                flush();
                inflateEnd(&stream);
                return Z_MEM_ERROR;
            }
            if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) {
                // Not raw deflate: try the chunk again as a zlib-wrapped stream.
                // Once output exists, or when the wrapped stream fails too, the
                // data is corrupt; what came before the failing call is kept.
                inflateEnd(&stream);
                if (wrapped || wroteAny) {
                    flush();
                    return -1;
                }
                wrapped = true;
                stream = z_stream{};
                rc = inflateInit2(&stream, MAX_WBITS);
                if (rc != Z_OK) return rc;
                stream.next_in = in;
                stream.avail_in = static_cast<uInt>(n);
                stream.next_out = out;  // nothing is pending before any output
                stream.avail_out = static_cast<uInt>(kInflateChunk);
                rc = inflate(&stream, Z_NO_FLUSH);
                if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT || rc == Z_MEM_ERROR) {
                    inflateEnd(&stream);
                    return rc == Z_MEM_ERROR ? Z_MEM_ERROR : -1;
                }
            }
            const size_t produced = kInflateChunk - pending - stream.avail_out;
            if (produced > 0) wroteAny = true;
            pending += produced;
            if ((pending == kInflateChunk || rc == Z_STREAM_END) && !flush()) {
                inflateEnd(&stream);
                return -1;
            }
        } while (stream.avail_out == 0 && rc != Z_STREAM_END);
        if (rc == Z_STREAM_END) {
            inflateEnd(&stream);
            // A stream that ends early must not shift where the next entry starts.
            if (entryRead < packedSize) package.seek(entryStart + static_cast<int64_t>(packedSize));
            return 0;
        }
    }
}

int Unpack(PackageCatalogue& catalogue, const std::string& packagePath,
           const std::string& outputFolder, std::string& launchFolder, uint32_t progressMessage,
           const UnpackMessageHandler* relayWindow, bool skipCrc, uint32_t expectedCrc,
           const std::string& packageKey, bool deleteOnCrcFailure, const QueueRef& reportThread) {
    std::vector<uint8_t> copyBuffer;
    try {
        copyBuffer.resize(kCopySize);
    } catch (const std::bad_alloc&) {
        return Unpack_NotLoaded;
    }
    postLog(reportThread, "Unpacking File: " + packagePath);
    PackageFile package;
    const int openFlags = O_RDONLY | O_CREAT;
    if (!package.open(packagePath, openFlags)) {
        postLog(reportThread, "Unable to open File: " + packagePath);
        return Unpack_NotLoaded;
    }
    uint8_t xorByte = 0;
    if (packageKey.size() > 50) {
        xorByte = SealedXorByte(packageKey);
        if (!OpenSealedPackage(catalogue, package, packagePath, packageKey)) {
            package.close();
            postLog(reportThread, "LoadBFCool failed");
            return Unpack_NotLoaded;
        }
    } else {
        uint32_t version = 0;
        if (!package.readWord(version)) version = 0;
        package.close();
        if (!package.open(packagePath, openFlags)) {
            postLog(reportThread, "Unable to open File: " + packagePath);
            return Unpack_NotLoaded;
        }
        if (version == 169) {
            // No catalogue: an empty package whose CRC pass sees no data.
            int64_t size = package.size();
            package.seek(size > 0 ? size : 0);
        } else {
            xorByte = VersionedXorByte(packageKey);
            if (!catalogue.LoadHeader(package)) {
                package.close();
                postLog(reportThread, "header Load failed");
                return Unpack_NotLoaded;
            }
        }
    }

    if (!catalogue.reportThread) catalogue.reportThread = reportThread;
    catalogue.progressTotal = catalogue.SumProgressSizes();
    catalogue.Rewind();

    if (!skipCrc) {
        uint32_t crc = 0;
        auto compute = [&] {
            CCrc32Static check;
            (void)check;
            CCrc32Static::FileCrc32Win32Handle(package, crc, catalogue.progressTotal, relayWindow,
                                               reportThread);
        };
        std::string failure;
        if (catalogue.storedCrc() != 0) {
            compute();
            if (crc != catalogue.storedCrc()) failure = "CRC not valid";
        } else if (expectedCrc != 0) {
            compute();
            postLog(reportThread, "CRC Compare " + std::to_string(static_cast<int32_t>(crc)) +
                                      " and " + std::to_string(static_cast<int32_t>(expectedCrc)));
            if (crc != expectedCrc) failure = "CRC not valid2";
        } else {
            compute();
            postLog(reportThread,
                    "CRC Compare " + std::to_string(static_cast<int64_t>(crc)) + " and 0");
            if (crc != 0) failure = "CRC not valid3";
        }
        if (!failure.empty()) {
            package.close();
            if (deleteOnCrcFailure) fileSystem().remove(packagePath);
            postLog(reportThread, failure);
            return Unpack_CrcFailed;
        }
    }

    post(reportThread, DownloadTaskState_CrcFinished, 0);
    sleepFor(pacing().yieldAfterPost);

    bool underTopFolder = false;
    int lastInflate = 0;
    int decompressorFailure = 0;
    uint32_t lastCopyPercent = 0;
    std::string rawName;
    CatalogueEntry entry;
    while (catalogue.NextEntry(rawName, entry)) {
        if (catalogue.stopRequested()) return Unpack_NotLoaded;
        const std::string name = slashes(rawName);
        underTopFolder = catalogue.TrackTopFolder(name);
        std::string outPath;
        const bool safe = EntryOutputPath(outputFolder, name, outPath);
        if (!safe) {
            postLog(reportThread, "Error(TARN-1004): unable to create file " + outPath +
                                      " during unpacking phase.");
            return lastInflate;
        }
        if (entry.attributes & FileAttribute_Directory) {
            // "Name/" creates itself; "Name" only its parents.
            CreateDirectoryTree(directoryPart(outPath), false);
            continue;
        }
        PackageFile out;
        if (!createOutput(out, outPath)) {
            postLog(reportThread, "Error(TARN-1004): unable to create file " + outPath +
                                      " during unpacking phase.");
            return lastInflate;
        }
        bool dataFailed = false;
        ExecutableSniffer head;
        if (entry.compressed) {
            sleepFor(pacing().yieldAfterPost);
            lastInflate = InflateEntry(catalogue, package, out, entry.packedSize, xorByte,
                                       progressMessage, relayWindow, &head);
            if (lastInflate == -1) {
                dataFailed = true;
            } else if (lastInflate != 0) {
                decompressorFailure = lastInflate;
                postLog(reportThread, "Error(TARN-1004): unable to decompress " + outPath +
                                          " (zlib " + std::to_string(lastInflate) + ")");
            }
        } else {
            // A stored entry runs to the end of the package; it carries no XOR.
            for (;;) {
                ssize_t n = package.read(copyBuffer.data(), copyBuffer.size());
                if (n < 0) {
                    dataFailed = true;
                    break;
                }
                if (n == 0) break;
                head.feed(copyBuffer.data(), static_cast<size_t>(n));
                if (!out.write(copyBuffer.data(), static_cast<size_t>(n))) {
                    dataFailed = true;
                    break;
                }
                catalogue.totalPackedRead += static_cast<uint64_t>(n);
                const uint32_t percent =
                    ProgressPercent(catalogue.totalPackedRead, catalogue.progressTotal);
                if (relayWindow && percent != lastCopyPercent) {
                    lastCopyPercent = percent;
                    post(catalogue.reportThread, DownloadTaskState_Progress, percent);
                    sleepFor(pacing().yieldAfterPost);
                }
            }
        }
        if (dataFailed) {
            out.close();
            package.close();
            postLog(reportThread, "Error(TARN-1004): unable to open " + outPath + " For output2");
            return Unpack_EntryFailed;
        }
        out.close();
        restoreTimesAndAttributes(outPath, entry.lastAccessTime, entry.lastWriteTime,
                                  entry.attributes, head.executable());
    }
    if (underTopFolder) launchFolder = catalogue.topFolder;
    package.close();
    if (relayWindow) {
        post(catalogue.reportThread, DownloadTaskState_Progress, 100);
        sleepFor(pacing().yieldAfterPost);
    }
    // A truncated output file is not a success, even though the others stay.
    return decompressorFailure ? decompressorFailure : Unpack_Done;
}

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

    int64_t jobBytes = 0;
    int64_t lastPercent = -1;
    std::string rawName;
    LegacyEntry entry;
    while (catalogue.NextLegacyEntry(rawName, entry)) {
        if (catalogue.stopRequested()) return false;
        std::string outPath;
        if (!EntryOutputPath(outputFolder, slashes(rawName), outPath)) return false;
        CreateDirectoryTree(directoryPart(outPath), false);
        if (entry.attributes & FileAttribute_Directory) continue;
        PackageFile out;
        if (!createOutput(out, outPath)) return false;
        ExecutableSniffer head;
        uint32_t copied = 0;
        while (copied < entry.size) {
            const size_t want = std::min<size_t>(entry.size - copied, buffer.size());
            ssize_t n = package.read(buffer.data(), want);
            // Data that ends before the entry's size is a broken package, not a short file.
            if (n <= 0) return false;
            head.feed(buffer.data(), static_cast<size_t>(n));
            if (!out.write(buffer.data(), static_cast<size_t>(n))) return false;
            copied += static_cast<uint32_t>(n);
            jobBytes += n;
            const int64_t percent = jobBytes * 100 / packageSize;
            if (progressWindow && percent != lastPercent) {
                lastPercent = percent;
                progressWindow->handleMessage(
                    Message(progressMessage, 0, static_cast<intptr_t>(percent)));
            }
        }
        out.close();
        restoreTimesAndAttributes(outPath, entry.lastAccessTime, entry.lastWriteTime,
                                  entry.attributes, head.executable());
    }
    // The catalogue counts in the divisor, so the copy alone never reaches 100.
    if (progressWindow && lastPercent != 100)
        progressWindow->handleMessage(Message(progressMessage, 0, 100));
    return true;
}

}  // namespace quenlow
