#include "platform/WorkerThread.h"

#include <utility>

namespace quenlow {

namespace {

ThreadLauncher& launcher() {
    static ThreadLauncher current;
    return current;
}

}  // namespace

void setThreadLauncher(ThreadLauncher l) { launcher() = std::move(l); }

std::thread launchThread(std::function<void()> body) {
    if (launcher()) return launcher()(std::move(body));
    return std::thread(std::move(body));
}

}  // namespace quenlow
