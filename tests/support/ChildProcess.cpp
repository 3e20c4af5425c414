#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace quenlow::test {

namespace {

// Starts args with stdout (and stderr when errFd is given) going to the pipes' write ends.
pid_t spawnWithPipes(const std::vector<std::string>& args, const int outPipe[2],
                     const int* errPipe) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    if (errPipe) {
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    }
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = args.empty()
                 ? ENOENT
                 : posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
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
    pid_ = spawnWithPipes(args, outPipe, nullptr);
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

ProgramRun runProgram(const std::vector<std::string>& args) {
    ProgramRun run;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return run;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return run;
    }
    pid_t pid = spawnWithPipes(args, outPipe, errPipe);
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
