// Throughput of the package CRC pass and of extraction on real files of this
// machine (programs, libraries, text, already-compressed media), beside their
// peers in the same run: zlib's crc32 and ISA-L's crc32_gzip_refl over the
// same file with the same 256 KiB reads, and a bare zlib and a bare ISA-L raw
// inflate of the same streams. Prints every run and the median ratios.
//
//     bench_package_bench [RUNS] [MB_PER_KIND] [WORK_FOLDER]

#include <fcntl.h>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "package/Crc32Static.h"
#include "package/PackageCatalogue.h"
#include "package/PackageExtraction.h"
#include "package/PackageFile.h"
#include "package/PackageWriter.h"
#include "package/UnpackMessageHandler.h"
#include "platform/Messages.h"

using namespace quenlow;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kBlock = 262144;

double timed(const std::function<void()>& f) {
    const auto t = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double mbps(uint64_t bytes, double s) { return bytes / 1e6 / s; }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Kind {
    const char* name;
    std::vector<std::string> roots;
    std::function<bool(const fs::path&)> wanted;
};

bool hasExtension(const fs::path& p, std::initializer_list<const char*> extensions) {
    const std::string e = p.extension().string();
    return std::any_of(extensions.begin(), extensions.end(), [&](const char* x) { return e == x; });
}

bool isProgram(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    char head[4] = {};
    return in.read(head, 4) && std::string(head, 4) ==
                                   "\x7f"
                                   "ELF";
}

// Regular files below the roots, in name order, until `budget` bytes.
std::vector<PackageEntry> collect(const Kind& kind, uint64_t budget, uint64_t& taken) {
    std::vector<fs::path> paths;
    for (const auto& root : kind.roots) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->is_regular_file(ec) && !it->is_symlink(ec) && it->file_size(ec) >= 4096)
                paths.push_back(it->path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<PackageEntry> out;
    taken = 0;
    for (const auto& p : paths) {
        if (taken >= budget) break;
        if (!kind.wanted(p)) continue;
        std::ifstream in(p, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), {});
        if (data.empty() || data.size() > budget) continue;
        taken += data.size();
        out.push_back({.name = std::string(kind.name) + "/" + std::to_string(out.size()) + "-" +
                               p.filename().string(),
                       .data = std::move(data)});
    }
    return out;
}

struct Streams {
    std::string data;                               // every entry's packed bytes
    std::vector<std::pair<size_t, size_t>> ranges;  // each compressed stream in `data`
    int64_t dataStart = 0;
};

Streams readStreams(const std::string& package) {
    Streams s;
    PackageCatalogue catalogue;
    PackageFile file;
    file.open(package, O_RDONLY);
    catalogue.LoadHeader(file);
    s.dataStart = file.position();
    s.data.resize(file.remaining());
    file.readExact(s.data.data(), s.data.size());
    std::string name;
    CatalogueEntry e;
    size_t at = 0;
    while (catalogue.NextEntry(name, e)) {
        if (!(e.attributes & FileAttribute_Directory)) s.ranges.emplace_back(at, e.packedSize);
        at += e.packedSize;
    }
    return s;
}

void zlibInflate(const Streams& s, std::vector<uint8_t>& out) {
    for (auto [at, size] : s.ranges) {
        z_stream z{};
        inflateInit2(&z, -MAX_WBITS);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(s.data.data() + at));
        z.avail_in = static_cast<uInt>(size);
        int rc;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&z, Z_NO_FLUSH);
        } while (rc == Z_OK);
        inflateEnd(&z);
    }
}

// Streaming, as the extraction feeds it: 256 KiB in, 256 KiB out. With a
// folder, each stream's output is also written to a file of its own there
// (the least any extraction must do); without one it is dropped.
void isalInflate(const Streams& s, std::vector<uint8_t>& out, const std::string& folder = {}) {
    if (!folder.empty()) fs::create_directories(folder);
    auto state = std::make_unique<inflate_state>();
    size_t number = 0;
    for (auto [at, size] : s.ranges) {
        const int fd = folder.empty() ? -1
                                      : ::open((folder + "/" + std::to_string(number++)).c_str(),
                                               O_WRONLY | O_CREAT | O_TRUNC, 0644);
        isal_inflate_init(state.get());
        bool failed = false;
        for (size_t done = 0; !failed && done < size && state->block_state != ISAL_BLOCK_FINISH;) {
            const size_t n = std::min(kBlock, size - done);
            state->next_in =
                reinterpret_cast<uint8_t*>(const_cast<char*>(s.data.data() + at + done));
            state->avail_in = static_cast<uint32_t>(n);
            done += n;
            do {
                state->next_out = out.data();
                state->avail_out = static_cast<uint32_t>(out.size());
                failed = isal_inflate(state.get()) < 0;
                const size_t produced = out.size() - state->avail_out;
                if (fd >= 0 && produced > 0 && ::write(fd, out.data(), produced) < 0) failed = true;
            } while (!failed && state->avail_out == 0 && state->block_state != ISAL_BLOCK_FINISH);
        }
        if (fd >= 0) ::close(fd);
    }
}

template <class Fold>
uint32_t crcOverFile(const std::string& path, int64_t start, Fold fold) {
    PackageFile file;
    file.open(path, O_RDONLY);
    file.seek(start);
    std::vector<uint8_t> buf(kBlock);
    uint32_t crc = 0;
    for (ssize_t n; (n = file.read(buf.data(), buf.size())) > 0;)
        crc = fold(crc, buf.data(), static_cast<size_t>(n));
    return crc;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const uint64_t perKind = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64) << 20;
    const std::string work =
        argc > 3 ? argv[3] : (fs::temp_directory_path() / "quenlow-package-bench").string();
    fs::remove_all(work);
    fs::create_directories(work);

    const std::vector<Kind> kinds = {
        {"programs", {"/usr/bin", "/usr/sbin"}, isProgram},
        {"libraries",
         {"/usr/lib/x86_64-linux-gnu"},
         [](const fs::path& p) {
             return p.filename().string().find(".so") != std::string::npos && isProgram(p);
         }},
        {"text",
         {"/usr/include", "/usr/share/doc", "/usr/share/common-licenses"},
         [](const fs::path& p) {
             return !hasExtension(p, {".gz", ".xz", ".bz2", ".png"});
         }},
        {"media",
         {"/usr/share", "/usr/lib"},
         [](const fs::path& p) {
             return hasExtension(p, {".png", ".jpg", ".gz", ".xz", ".bz2", ".zip", ".jar", ".woff2",
                                     ".ogg", ".webp", ".pak"});
         }},
    };
    std::vector<PackageEntry> entries;
    uint64_t unpackedBytes = 0;
    std::printf("data:");
    for (const auto& kind : kinds) {
        uint64_t taken = 0;
        std::vector<PackageEntry> files = collect(kind, perKind, taken);
        std::printf(" %s %.0f MB (%zu files)", kind.name, taken / 1e6, files.size());
        unpackedBytes += taken;
        for (auto& f : files) entries.push_back(std::move(f));
    }
    PackageOptions options;
    options.version = 180;
    options.key = "77";
    const std::string package = work + "/bench.tarn";
    WritePackage(package, entries, options);
    const Streams streams = readStreams(package);
    const uint64_t packed = streams.data.size();
    std::printf("\npackage: %.0f MB unpacked, %.0f MB packed (deflate level 6), %d runs\n",
                unpackedBytes / 1e6, packed / 1e6, runs);
    entries.clear();

    UnpackMessageHandler relay;
    std::vector<uint8_t> out(kBlock);
    const std::string outFolder = work + "/out";
    const std::string peerFolder = work + "/peer";
    std::vector<double> crcVsZlib, crcVsIsal, unpackVsZlib, unpackVsIsal, unpackVsIsalFiles;
    std::printf(
        "run  crc: zlib  isa-l   pass MB/s | inflate: zlib  isa-l  isa-l+files  Unpack MB/s of "
        "output\n");
    for (int run = 0; run < runs; ++run) {
        uint32_t zc = 0, ic = 0, pc = 0;
        const double zlibCrc = timed([&] {
            zc =
                crcOverFile(package, streams.dataStart, [](uint32_t c, const uint8_t* p, size_t n) {
                    return static_cast<uint32_t>(crc32(c, p, static_cast<uInt>(n)));
                });
        });
        const double isalCrc = timed([&] {
            ic = crcOverFile(
                package, streams.dataStart,
                [](uint32_t c, const uint8_t* p, size_t n) { return crc32_gzip_refl(c, p, n); });
        });
        const double pass = timed([&] {
            PackageFile file;
            file.open(package, O_RDONLY);
            file.seek(streams.dataStart);
            CCrc32Static::FileCrc32Win32Handle(file, pc, packed, &relay, nullptr);
        });
        if (zc != ic || ic != pc) {
            std::fprintf(stderr, "CRC mismatch: %08x %08x %08x\n", zc, ic, pc);
            return 1;
        }
        const double zlibInflateTime = timed([&] { zlibInflate(streams, out); });
        const double isalInflateTime = timed([&] { isalInflate(streams, out); });
        fs::remove_all(peerFolder);
        const double isalFilesTime = timed([&] { isalInflate(streams, out, peerFolder); });
        fs::remove_all(outFolder);  // not part of extraction
        int result = 0;
        const double unpack = timed([&] {
            PackageCatalogue c;
            std::string launch;
            result = Unpack(c, package, outFolder, launch, UM_PROCESS_STATUS(), &relay, true, 0,
                            options.key, false, nullptr);
        });
        if (result != Unpack_Done) {
            std::fprintf(stderr, "extraction failed: %d\n", result);
            return 1;
        }
        std::printf("%3d  %9.0f %6.0f %6.0f      | %13.0f %6.0f %12.0f %6.0f\n", run + 1,
                    mbps(packed, zlibCrc), mbps(packed, isalCrc), mbps(packed, pass),
                    mbps(unpackedBytes, zlibInflateTime), mbps(unpackedBytes, isalInflateTime),
                    mbps(unpackedBytes, isalFilesTime), mbps(unpackedBytes, unpack));
        crcVsZlib.push_back(zlibCrc / pass);
        crcVsIsal.push_back(isalCrc / pass);
        unpackVsZlib.push_back(zlibInflateTime / unpack);
        unpackVsIsal.push_back(isalInflateTime / unpack);
        unpackVsIsalFiles.push_back(isalFilesTime / unpack);
    }
    std::printf("median: CRC pass %.2fx zlib crc32, %.2fx ISA-L crc32_gzip_refl (256 KiB reads)\n",
                median(crcVsZlib), median(crcVsIsal));
    std::printf(
        "median: extraction %.2fx bare zlib inflate, %.2fx bare ISA-L inflate, %.2fx ISA-L "
        "inflate writing the same files\n",
        median(unpackVsZlib), median(unpackVsIsal), median(unpackVsIsalFiles));
    fs::remove_all(work);
    return 0;
}
