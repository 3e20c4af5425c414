// A real downloader process killed in the middle of a multi-part download and
// started again on the same save-state file finishes with the right bytes.

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "support/ChildProcess.h"
#include "support/DownloadFixture.h"

namespace quenlow::test {
namespace {

struct RunResult {
    bool killed = false;
    int exitCode = -1;
    int lastPercent = -1;
};

// Runs quenlow-fetch; when killAt >= 0, sends SIGKILL once it reports that percent.
RunResult runFetch(const std::vector<std::string>& args, int killAt) {
    ChildProcess fetch(args);
    RunResult result;
    if (!fetch.started()) return result;
    std::string line;
    while (fetch.readLine(line)) {
        int file = 0, percent = 0;
        if (std::sscanf(line.c_str(), "file %d: %d%%", &file, &percent) == 2) {
            result.lastPercent = percent;
            if (killAt >= 0 && percent >= killAt && !result.killed) {
                fetch.signal(SIGKILL);
                result.killed = true;
            }
        }
    }
    result.exitCode = fetch.wait();
    return result;
}

class CrashResume : public DownloadFixture,
                    public ::testing::WithParamInterface<std::vector<int>> {};

TEST_P(CrashResume, KilledDownloadsResumeToTheSameBytes) {
    const std::string program = builtProgram("quenlow-fetch");
    ASSERT_EQ(access(program.c_str(), X_OK), 0) << "build quenlow-fetch first: " << program;

    std::string whole, parts;
    for (int i = 0; i < 3; ++i) {
        std::string path = "/order/big.bin." + std::to_string(i);
        std::string content = generatedContent(static_cast<uint32_t>(100 + i), 1500000 + 4099 * i);
        server.addFile(path, content);
        server.setBehavior(path, {.bytesPerSecond = 1500000});
        whole += content;
        parts += "<FilePart FilePartKey=\"" + std::to_string(i + 1) + "\" FileID=\"B" +
                 std::to_string(i) + "\" FileURL=\"" + server.url(path) +
                 "\" DownloadKBCount=\"0\" ExtractedKBCount=\"0\"/>";
    }
    const std::string info = root + "/fileinfo.xml", state = root + "/state/VeskSaveState.xml";
    writeAll(
        info,
        "<Files><File FileTypeID=\"3\" FileKey=\"1\" FileName=\"big.bin\" InstallCommand=\"\">" +
            parts + "</File></Files>");
    const std::vector<std::string> args = {program, info, "7001", state, outDir};

    for (int killAt : GetParam()) {
        RunResult r = runFetch(args, killAt);
        ASSERT_TRUE(r.killed) << "the run ended before " << killAt << "% (exit " << r.exitCode
                              << ")";
    }
    size_t before = server.requests().size();
    RunResult last = runFetch(args, -1);
    ASSERT_EQ(last.exitCode, 0);
    EXPECT_EQ(readAll(outDir + "/big.bin"), whole);

    // The last run continued where the killed one stopped: Range requests, never from 0.
    auto reqs = server.requests();
    size_t ranged = 0;
    for (size_t i = before; i < reqs.size(); ++i) {
        auto range = reqs[i].header("Range");
        if (range) ++ranged;
    }
    EXPECT_GT(ranged, 0u);
}

INSTANTIATE_TEST_SUITE_P(KillPoints, CrashResume,
                         ::testing::Values(std::vector<int>{10}, std::vector<int>{35, 70},
                                           std::vector<int>{5, 50, 90}),
                         [](const auto& info) {
                             std::string name = "At";
                             for (int p : info.param) name += "_" + std::to_string(p);
                             return name;
                         });

}  // namespace
}  // namespace quenlow::test
