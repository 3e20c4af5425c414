// A real downloader process killed in the middle of a multi-part download and
// started again on the same save-state file finishes with the right bytes,
// each part going on from the position its last checkpoint saved.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>

#include "support/ChildProcess.h"
#include "support/DownloadFixture.h"
#include "support/Files.h"

namespace quenlow::test {
namespace {

struct RunResult {
    bool killed = false;
    int exitCode = -1;
    int lastPercent = -1;
};

// The URLReadPosition the save-state file holds for each part's URL; empty
// before the first save.
std::map<std::string, uint64_t> savedReadPositions(const std::string& stateFile) {
    static const std::regex partElement("<FilePart [^>]*>");
    static const std::regex url("FileURL=\"([^\"]*)\"");
    static const std::regex readPosition("URLReadPosition=\"([0-9]+)\"");
    std::map<std::string, uint64_t> positions;
    const std::string text = readFile(stateFile);
    for (std::sregex_iterator it(text.begin(), text.end(), partElement), end; it != end; ++it) {
        const std::string element = it->str();
        std::smatch u, r;
        if (std::regex_search(element, u, url) && std::regex_search(element, r, readPosition))
            positions[u[1]] = std::stoull(r[1]);
    }
    return positions;
}

bool anyPositionSaved(const std::string& stateFile) {
    for (const auto& [url, position] : savedReadPositions(stateFile))
        if (position > 0) return true;
    return false;
}

// Runs quenlow-fetch; when killAt >= 0, sends SIGKILL once it reports that
// percent and its save-state file holds a saved position (a checkpoint comes
// a little after the bytes it covers, and a kill before it resumes nothing).
RunResult runFetch(const std::vector<std::string>& args, int killAt, const std::string& stateFile) {
    ChildProcess fetch(args);
    RunResult result;
    if (!fetch.started()) return result;
    std::string line;
    while (fetch.readLine(line)) {
        int file = 0, percent = 0;
        if (std::sscanf(line.c_str(), "file %d: %d%%", &file, &percent) == 2) {
            result.lastPercent = percent;
            if (killAt >= 0 && percent >= killAt && !result.killed && anyPositionSaved(stateFile)) {
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
        RunResult r = runFetch(args, killAt, state);
        ASSERT_TRUE(r.killed) << "the run ended before " << killAt << "% (exit " << r.exitCode
                              << ")";
    }
    const std::map<std::string, uint64_t> saved = savedReadPositions(state);
    ASSERT_EQ(saved.size(), 3u);
    size_t before = server.requests().size();
    RunResult last = runFetch(args, -1, state);
    ASSERT_EQ(last.exitCode, 0);
    EXPECT_EQ(readAll(outDir + "/big.bin"), whole);

    // The last run asked each part from its saved position: a Range from
    // there, or none for a part that had saved nothing.
    auto reqs = server.requests();
    for (const auto& [url, position] : saved) {
        const std::string path = url.substr(url.find("/order/"));
        auto first = std::find_if(reqs.begin() + static_cast<long>(before), reqs.end(),
                                  [&](const auto& r) { return r.target == path; });
        ASSERT_NE(first, reqs.end()) << path;
        EXPECT_EQ(first->header("Range").value_or("none"),
                  position > 0 ? "bytes=" + std::to_string(position) + "-" : "none")
            << path;
    }
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
