#pragma once
// Starts threads until the given number have started, then fails every
// further start as a system out of threads does. Every thread the engine
// starts goes through launchThread, so this reaches all of them.

#include <atomic>
#include <cerrno>
#include <functional>
#include <system_error>
#include <thread>

#include "platform/WorkerThread.h"

namespace quenlow::test {

class ThreadsRunOut {
  public:
    explicit ThreadsRunOut(int allowed) : left_(allowed) {
        setThreadLauncher([this](std::function<void()> body) {
            if (left_.fetch_sub(1) <= 0)
                throw std::system_error(EAGAIN, std::generic_category(), "no thread");
            return std::thread(std::move(body));
        });
    }
    ~ThreadsRunOut() { setThreadLauncher(nullptr); }
    ThreadsRunOut(const ThreadsRunOut&) = delete;
    ThreadsRunOut& operator=(const ThreadsRunOut&) = delete;

  private:
    std::atomic<int> left_;
};

}  // namespace quenlow::test
