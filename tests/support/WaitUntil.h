#pragma once
// Polls a condition that nothing announces, for the tests that must watch
// for it from outside (a file appearing, a child's output, a server's log).

#include <chrono>
#include <functional>
#include <thread>

namespace quenlow::test {

// True once cond holds, false when it still does not at the time-out. poll
// is the pause between checks: short for a cheap check, longer for one that
// asks another process.
inline bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout,
                      std::chrono::milliseconds poll = std::chrono::milliseconds(2)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(poll);
    }
}

}  // namespace quenlow::test
