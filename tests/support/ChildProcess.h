#pragma once
// Programs the build makes beside the tests (quenlow-fetch, quenlow-pack,
// quenlow-store), found and started the same way by every test.

#include <sys/types.h>

#include <cstdio>
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

struct ProgramRun {
    int status = -1;  // exit code, -1 when it did not exit normally
    std::string out, err;
};

// Runs a program to its end and collects both of its outputs.
ProgramRun runProgram(const std::vector<std::string>& args);

}  // namespace quenlow::test
