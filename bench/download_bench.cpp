// Download throughput from a loopback server: the engine (4 parts, every
// 128 KiB chunk written through and flushed) beside curl, aria2c -x4 -s4 and
// dd's write-through limit (bs=128k oflag=dsync) on the same disk in the same run.
//
//   bench_download_bench [size-MiB (default 1024)] [folder (default /tmp)]
//
// The engine's memory is the growth of this process's resident set during its
// download (the server lives in the same process and adds its own buffers).

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "platform/Pacing.h"
#include "state/Records.h"
#include "support/RecordingView.h"
#include "support/TestHttpServer.h"

using namespace quenlow;
using namespace quenlow::test;
using Clock = std::chrono::steady_clock;

namespace {

long rssKB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// Runs a shell command; returns its wall time in seconds, or -1 on failure.
double timed(const std::string& cmd) {
    auto t0 = Clock::now();
    int rc = std::system(cmd.c_str());
    auto t1 = Clock::now();
    if (rc != 0) return -1;
    return seconds(t0, t1);
}

void row(const char* name, double bytes, double secs, double reference) {
    if (secs <= 0) {
        std::printf("%-28s  failed or not installed\n", name);
        return;
    }
    double mbs = bytes / secs / 1e6;
    std::printf("%-28s %8.1f MB/s  %6.2f s", name, mbs, secs);
    if (reference > 0) std::printf("  %5.1f%% of dsync limit", 100.0 * mbs / reference);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::string base = argc > 2 ? argv[2] : "/tmp";
    const uint64_t total = mib << 20;
    const uint64_t partSize = total / 4;
    const std::string dir = base + "/quenlow-bench-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);

    TestHttpServer server;
    for (int i = 0; i < 4; ++i) server.addGeneratedFile("/part" + std::to_string(i), partSize, 10u + i);
    server.addGeneratedFile("/whole", partSize * 4, 20u);
    const double bytes = static_cast<double>(partSize * 4);
    std::printf("%llu MiB from %s into %s\n", static_cast<unsigned long long>(mib), server.url("/").c_str(), dir.c_str());

    // The write-through limit of this disk for 128 KiB writes.
    double ddSecs = timed("dd if=/dev/zero of=" + dir + "/dd.bin bs=128k count=" + std::to_string(partSize * 4 / 131072) +
                          " oflag=dsync status=none");
    std::filesystem::remove(dir + "/dd.bin");
    double ddMBs = ddSecs > 0 ? bytes / ddSecs / 1e6 : 0;

    // The engine.
    RecordingView view;
    double engineSecs = -1;
    long rssBase = 0;
    std::atomic<long> rssPeak{0};
    {
        File file;
        file.fileKey = "1";
        file.fileName = "engine.bin";
        file.outputFolder = dir;
        file.outputPath = dir + "/";
        file.viewWindow = &view;
        for (int i = 0; i < 4; ++i) {
            auto p = std::make_unique<FilePart>();
            p->index = i;
            p->url = server.url("/part" + std::to_string(i));
            p->file = &file;
            file.parts.push_back(std::move(p));
        }
        file.partCount = 4;
        rssBase = rssKB();
        std::atomic<bool> sampling{true};
        std::thread sampler([&] {
            while (sampling) {
                rssPeak = std::max(rssPeak.load(), rssKB());
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        auto t0 = Clock::now();
        file.startController();
        file.post(Message(UM_FILE_COMMAND, UM_FILE_COMMAND, FileState_Initial));
        bool ok = view.waitFor(UM_FILE_STATUS, Status_Complete, std::chrono::hours(1)).has_value();
        auto t1 = Clock::now();
        sampling = false;
        sampler.join();
        if (ok) engineSecs = seconds(t0, t1);
        // Every attempt waits attemptDelay before it connects; report it apart.
        std::printf("engine attempt delay included: %lld ms\n", static_cast<long long>(pacing().attemptDelay.count()));
    }
    std::filesystem::remove(dir + "/engine.bin");

    double curlSecs = timed("curl -s -f -o " + dir + "/curl.bin " + server.url("/whole"));
    std::filesystem::remove(dir + "/curl.bin");
    double ariaSecs = timed("aria2c -q -x4 -s4 --allow-overwrite=true --file-allocation=falloc -d " + dir +
                            " -o aria.bin " + server.url("/whole"));
    std::filesystem::remove(dir + "/aria.bin");

    row("dd bs=128k oflag=dsync", bytes, ddSecs, 0);
    row("engine, 4 parts, dsync/128K", bytes, engineSecs, ddMBs);
    double delay = static_cast<double>(pacing().attemptDelay.count()) / 1000.0;
    row("engine minus attempt delay", bytes, engineSecs > delay ? engineSecs - delay : -1, ddMBs);
    row("curl (page cache)", bytes, curlSecs, ddMBs);
    row("aria2c -x4 -s4 (page cache)", bytes, ariaSecs, ddMBs);
    std::printf("engine resident growth: %ld KiB (base %ld KiB, peak %ld KiB)\n", rssPeak.load() - rssBase, rssBase,
                rssPeak.load());
    std::filesystem::remove_all(dir);
    return engineSecs > 0 ? 0 : 1;
}
