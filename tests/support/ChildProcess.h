#pragma once
// Programs the build makes beside the tests (quenlow, quenlow-fetch,
// quenlow-pack, quenlow-store), found and started the same way by every test.

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quenlow::test {

// name in $QUENLOW_BIN_DIR, else beside the running test program.
std::string builtProgram(const std::string& name);

// A started program whose standard output the test reads line by line.
class ChildProcess {
  public:
    // args[0] is the program's path.
    explicit ChildProcess(const std::vector<std::string>& args);
    ~ChildProcess();  // kills and reaps a process still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // The next line of standard output without its line end; false at its end.
    bool readLine(std::string& line);
    void signal(int sig);
    // Waits for the end: the exit code, or -1 when a signal ended it.
    int wait();

  private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    int exitCode_ = -1;
};

// How a program is started; what is left empty is the test's own.
struct ProgramStart {
    std::vector<std::string> args;           // args[0] is the program's path
    std::map<std::string, std::string> env;  // set over the test's environment
    std::string folder;                      // the current folder
    std::string outFile, errFile;            // standard output and error, truncated
    // A process group of its own, so the helper processes it starts stop with it.
    bool ownProcessGroup = false;
};

// A program left to run beside the test, its outputs in files.
class BackgroundProcess {
  public:
    explicit BackgroundProcess(const ProgramStart& start);
    ~BackgroundProcess() { stop(); }
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // The exit code (128 + the signal's number when a signal ended it) once
    // the program ended within timeout.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    bool running() { return pid_ > 0 && !waitExit(std::chrono::milliseconds(0)); }
    // SIGTERM, then SIGKILL when it has not ended within a grace time; to the
    // whole group when it has one of its own.
    void stop();

  private:
    void kill(int sig);

    pid_t pid_ = -1;
    bool ownGroup_ = false;
    std::optional<int> exitCode_;
};

struct ProgramRun {
    int status = -1;  // exit code, -1 when it did not exit normally
    std::string out, err;
};

// Runs a program to its end and collects both of its outputs.
ProgramRun runProgram(const std::vector<std::string>& args);

}  // namespace quenlow::test
