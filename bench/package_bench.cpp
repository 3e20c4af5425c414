// Throughput of the package CRC pass and of extraction, beside zlib's crc32
// and a bare zlib inflate of the same data, on a package of mixed compressible
// and incompressible files. Run once; prints MB/s and the ratios.

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "package/Crc32Static.h"
#include "package/PackageCatalogue.h"
#include "package/PackageExtraction.h"
#include "package/PackageFile.h"
#include "package/PackageWriter.h"
#include "package/UnpackMessageHandler.h"
#include "platform/Messages.h"
#include "platform/Pacing.h"

using namespace quenlow;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}
double mbps(uint64_t bytes, double s) { return bytes / 1e6 / s; }

std::string textLike(size_t n, uint32_t seed) {
    static const char* words[] = {"setup", "install", "data",   "file",   "the",    "of", "config",
                                  "value", "license", "readme", "binary", "module", "42", "\n"};
    std::string s;
    s.reserve(n + 16);
    while (s.size() < n) {
        seed = seed * 1664525u + 1013904223u;
        s += words[(seed >> 16) % 14];
        s += ' ';
    }
    s.resize(n);
    return s;
}

std::string noise(size_t n, uint64_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        std::memcpy(&s[i], &seed, 8);
    }
    return s;
}

// Best of a few runs, so one slow pass does not decide. `setup` runs untimed
// before each run.
template <class F, class S>
double best(int runs, F f, S setup) {
    double b = 1e100;
    for (int i = 0; i < runs; ++i) {
        setup();
        auto t = Clock::now();
        f();
        b = std::min(b, seconds(t));
    }
    return b;
}

template <class F>
double best(int runs, F f) {
    return best(runs, f, [] {});
}

}  // namespace

int main(int argc, char** argv) {
    const std::string work =
        argc > 1 ? argv[1] : (fs::temp_directory_path() / "quenlow-package-bench").string();
    fs::remove_all(work);
    fs::create_directories(work);

    std::vector<PackageEntry> entries;
    entries.push_back({.name = "Bench/", .folder = true});
    uint64_t unpackedBytes = 0;
    for (int i = 0; i < 8; ++i) {
        entries.push_back({.name = "Bench/text" + std::to_string(i) + ".dat",
                           .data = textLike(24u << 20, i + 1)});
        entries.push_back(
            {.name = "Bench/blob" + std::to_string(i) + ".bin", .data = noise(24u << 20, i + 99)});
    }
    for (const auto& e : entries) unpackedBytes += e.data.size();
    PackageOptions options;
    options.version = 180;
    options.key = "77";
    options.compressionLevel = 1;
    std::printf("building package from %.0f MB of data...\n", unpackedBytes / 1e6);
    BuiltPackage built = BuildPackage(entries, options);
    const std::string package = work + "/bench.tarn";
    WritePackage(package, entries, options);
    const uint64_t packageBytes = built.bytes.size();
    std::printf("package: %.1f MB\n", packageBytes / 1e6);

    // Entry data and each entry's packed stream, for the bare references.
    PackageCatalogue catalogue;
    PackageFile file;
    file.open(package, O_RDONLY);
    catalogue.LoadHeader(file);
    const int64_t dataStart = file.position();
    const std::string data = built.bytes.substr(static_cast<size_t>(dataStart));
    std::vector<std::pair<size_t, size_t>> streams;
    {
        std::string name;
        CatalogueEntry e;
        size_t at = 0;
        while (catalogue.NextEntry(name, e)) {
            if (!(e.attributes & FileAttribute_Directory)) streams.emplace_back(at, e.packedSize);
            at += e.packedSize;
        }
    }

    // CRC: zlib and ours over memory, then the file pass as the unpack task runs it.
    uint32_t zc = 0, oc = 0, fc = 0;
    const double zlibCrc = best(3, [&] {
        zc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    });
    const double ownCrc = best(3, [&] { oc = CCrc32Static::Compute(data.data(), data.size()); });
    uint32_t tc = 0;
    const bool wasForced = CCrc32Static::ForceTableKernel(true);
    const double tableCrc = best(3, [&] { tc = CCrc32Static::Compute(data.data(), data.size()); });
    CCrc32Static::ForceTableKernel(wasForced);
    UnpackMessageHandler relay;
    const double fileCrc = best(3, [&] {
        file.seek(dataStart);
        CCrc32Static::FileCrc32Win32Handle(file, fc, data.size(), &relay, nullptr);
    });
    // zlib over the file, in the 4 KiB reads the pass used to make and in the
    // 256 KiB reads it makes now.
    auto zlibOverFile = [&](size_t readSize) {
        return best(3, [&] {
            file.seek(dataStart);
            std::vector<uint8_t> buf(readSize);
            uLong c = 0;
            for (ssize_t n; (n = file.read(buf.data(), buf.size())) > 0;)
                c = crc32(c, buf.data(), static_cast<uInt>(n));
            zc = static_cast<uint32_t>(c);
        });
    };
    const double zlibFileCrc = zlibOverFile(4096);
    const double zlibBlockFileCrc = zlibOverFile(262144);
    if (tc != oc) {
        std::fprintf(stderr, "CRC kernels differ: %08x %08x\n", tc, oc);
        return 1;
    }
    if (zc != oc || oc != fc || fc != built.dataCrc) {
        std::fprintf(stderr, "CRC mismatch: %08x %08x %08x %08x\n", zc, oc, fc, built.dataCrc);
        return 1;
    }

    // Bare raw inflate of every stream from memory into a 256 KiB buffer.
    std::vector<uint8_t> out(262144);
    const double bareInflate = best(3, [&] {
        for (auto [at, size] : streams) {
            z_stream s{};
            inflateInit2(&s, -MAX_WBITS);
            s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
            s.avail_in = static_cast<uInt>(size);
            int rc;
            do {
                s.next_out = out.data();
                s.avail_out = static_cast<uInt>(out.size());
                rc = inflate(&s, Z_NO_FLUSH);
            } while (rc == Z_OK);
            inflateEnd(&s);
        }
    });

    // Extraction as the unpack task runs it, without its CRC pass.
    const std::string outFolder = work + "/out";
    std::string launch;
    int result = 0;
    // Removing the previous run's output is not part of extraction.
    const double extraction = best(
        3,
        [&] {
            PackageCatalogue c;
            result = Unpack(c, package, outFolder, launch, UM_PROCESS_STATUS(), &relay, true, 0,
                            options.key, false, nullptr);
        },
        [&] { fs::remove_all(outFolder); });
    if (result != 1) {
        std::fprintf(stderr, "extraction failed: %d\n", result);
        return 1;
    }

    std::printf("crc   zlib crc32 (memory)          %8.0f MB/s\n", mbps(data.size(), zlibCrc));
    std::printf("crc   own kernel (memory)          %8.0f MB/s  (%.0f%% of zlib)\n",
                mbps(data.size(), ownCrc), 100 * zlibCrc / ownCrc);
    std::printf("crc   own table, forced (memory)   %8.0f MB/s  (%.0f%% of zlib)\n",
                mbps(data.size(), tableCrc), 100 * zlibCrc / tableCrc);
    std::printf("crc   zlib crc32, 4 KiB file reads %8.0f MB/s\n", mbps(data.size(), zlibFileCrc));
    std::printf("crc   zlib crc32, 256 KiB reads    %8.0f MB/s\n",
                mbps(data.size(), zlibBlockFileCrc));
    std::printf(
        "crc   FileCrc32Win32Handle         %8.0f MB/s  (%.0f%% of zlib with 4 KiB reads, %.0f%% "
        "with 256 KiB)\n",
        mbps(data.size(), fileCrc), 100 * zlibFileCrc / fileCrc, 100 * zlibBlockFileCrc / fileCrc);
    std::printf("unpk  bare raw inflate (memory)    %8.0f MB/s of output\n",
                mbps(unpackedBytes, bareInflate));
    std::printf(
        "unpk  Unpack (files written)       %8.0f MB/s of output  (%.0f%% of bare inflate)\n",
        mbps(unpackedBytes, extraction), 100 * bareInflate / extraction);
    fs::remove_all(work);
    return 0;
}
