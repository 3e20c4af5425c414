#include "support/ChildProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "support/WaitUntil.h"

extern char** environ;

namespace quenlow::test {

namespace {

struct Pipes {
    const int* out = nullptr;  // stdout goes to out[1] when given
    const int* err = nullptr;  // stderr goes to err[1] when given
};

// The test's environment with start.env set over it.
std::vector<std::string> environmentOf(const ProgramStart& start) {
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!start.env.count(entry.substr(0, entry.find('=')))) entries.push_back(entry);
    }
    for (const auto& [name, value] : start.env) entries.push_back(name + "=" + value);
    return entries;
}

void redirect(posix_spawn_file_actions_t& actions, int fd, const int* pipe,
              const std::string& file) {
    if (pipe) {
        posix_spawn_file_actions_adddup2(&actions, pipe[1], fd);
        posix_spawn_file_actions_addclose(&actions, pipe[0]);
    } else if (!file.empty()) {
        posix_spawn_file_actions_addopen(&actions, fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }
}

// The one place a test starts a program; -1 when it cannot be started.
pid_t spawnProgram(const ProgramStart& start, Pipes pipes = {}) {
    if (start.args.empty()) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Output files are opened before the change of folder, so they name the test's paths.
    redirect(actions, STDOUT_FILENO, pipes.out, start.outFile);
    redirect(actions, STDERR_FILENO, pipes.err, start.errFile);
    if (!start.folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, start.folder.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (start.ownProcessGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    std::vector<char*> argv;
    for (const auto& a : start.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::vector<std::string> environment = environmentOf(start);
    std::vector<char*> envp;
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int rc =
        posix_spawn(&pid, start.args[0].c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

std::string builtProgram(const std::string& name) {
    if (const char* dir = std::getenv("QUENLOW_BIN_DIR"); dir && *dir)
        return (std::filesystem::path(dir) / name).string();
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (self.parent_path() / name).string();
}

ChildProcess::ChildProcess(const std::vector<std::string>& args) {
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return;
    pid_ = spawnProgram({.args = args}, {.out = outPipe});
    close(outPipe[1]);
    if (pid_ <= 0) {
        close(outPipe[0]);
        return;
    }
    out_ = fdopen(outPipe[0], "r");
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    if (out_) fclose(out_);
}

bool ChildProcess::readLine(std::string& line) {
    line.clear();
    if (!out_) return false;
    int c;
    while ((c = fgetc(out_)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (c == EOF && line.empty()) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

int ChildProcess::wait() {
    if (pid_ <= 0) return exitCode_;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    exitCode_ = exitCodeOf(status);
    return exitCode_;
}

BackgroundProcess::BackgroundProcess(const ProgramStart& start)
    : pid_(spawnProgram(start)), ownGroup_(start.ownProcessGroup) {
    if (pid_ <= 0) ADD_FAILURE() << "cannot start " << (start.args.empty() ? "" : start.args[0]);
}

std::optional<int> BackgroundProcess::waitExit(std::chrono::milliseconds timeout) {
    if (exitCode_ || pid_ <= 0) return exitCode_;
    waitUntil(
        [&] {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        timeout, std::chrono::milliseconds(50));
    return exitCode_;
}

void BackgroundProcess::kill(int sig) { ::kill(ownGroup_ ? -pid_ : pid_, sig); }

void BackgroundProcess::stop() {
    if (pid_ <= 0 || exitCode_) return;
    // A graceful quit may take a while (a browser shutting down); past the grace time it is killed.
    constexpr std::chrono::seconds grace{15};
    kill(SIGTERM);
    if (!waitExit(grace)) {
        kill(SIGKILL);
        waitExit(grace);
    }
    if (ownGroup_) kill(SIGKILL);  // helper processes left in the group
}

ProgramRun runProgram(const std::vector<std::string>& args) {
    ProgramRun run;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return run;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return run;
    }
    pid_t pid = spawnProgram({.args = args}, {.out = outPipe, .err = errPipe});
    close(outPipe[1]);
    close(errPipe[1]);
    // Both pipes are drained together so a program that fills one never blocks.
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = pid > 0 ? 2 : 0;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    if (pid > 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        run.status = exitCodeOf(status);
    }
    return run;
}

}  // namespace quenlow::test
