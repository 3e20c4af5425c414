// A real downloader process killed in the middle of a multi-part download and
// started again on the same save-state file finishes with the right bytes.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/DownloadFixture.h"

extern char** environ;

namespace quenlow::test {
namespace {

std::string fetchProgram() {
    if (const char* dir = std::getenv("QUENLOW_BIN_DIR"))
        return std::string(dir) + "/quenlow-fetch";
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.find_last_of('/') + 1) + "quenlow-fetch";
}

struct RunResult {
    bool killed = false;
    int exitCode = -1;
    int lastPercent = -1;
};

// Runs quenlow-fetch; when killAt >= 0, sends SIGKILL once it reports that percent.
RunResult runFetch(const std::vector<std::string>& args, int killAt) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    RunResult result;
    if (rc != 0) {
        close(pipeFds[0]);
        return result;
    }
    FILE* out = fdopen(pipeFds[0], "r");
    char line[512];
    while (fgets(line, sizeof(line), out)) {
        int file = 0, percent = 0;
        if (std::sscanf(line, "file %d: %d%%", &file, &percent) == 2) {
            result.lastPercent = percent;
            if (killAt >= 0 && percent >= killAt && !result.killed) {
                kill(pid, SIGKILL);
                result.killed = true;
            }
        }
    }
    fclose(out);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

class CrashResume : public DownloadFixture,
                    public ::testing::WithParamInterface<std::vector<int>> {};

TEST_P(CrashResume, KilledDownloadsResumeToTheSameBytes) {
    const std::string program = fetchProgram();
    ASSERT_EQ(access(program.c_str(), X_OK), 0) << "build quenlow-fetch first: " << program;

    std::string whole, parts;
    for (int i = 0; i < 3; ++i) {
        std::string path = "/order/big.bin." + std::to_string(i);
        std::string content = generatedContent(static_cast<uint32_t>(100 + i), 1500000 + 4099 * i);
        server.addFile(path, content);
        server.setBehavior(path, {.bytesPerSecond = 2000000});
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
                                           std::vector<int>{5, 50, 95}),
                         [](const auto& info) {
                             std::string name = "At";
                             for (int p : info.param) name += "_" + std::to_string(p);
                             return name;
                         });

}  // namespace
}  // namespace quenlow::test
