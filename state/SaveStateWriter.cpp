#include "state/SaveStateWriter.h"

#include <exception>
#include <utility>

#include "platform/Messages.h"
#include "platform/ViewTarget.h"
#include "platform/WorkerThread.h"

namespace quenlow {

SaveStateWriter::~SaveStateWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SaveStateWriter::request(OrderSnapshot snapshot) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
        try {
            thread_ = launchThread([this] { run(); });
        } catch (const std::exception& e) {
            // Out of threads or memory: the save is not lost, nor the process
            // ended; this one is written here, at the cost of a wait.
            if (snapshot.view)
                snapshot.view->postViewMessage(
                    textMessage(UM_DEBUG_TEXT, 0,
                                std::string("No thread can be started for saving the order's "
                                            "state (") +
                                    e.what() + "); it is saved on the window's thread."));
            writeNow(lock, snapshot);
            return;
        }
    }
    pending_ = std::move(snapshot);
    lock.unlock();
    changed_.notify_all();
}

void SaveStateWriter::waitUntilIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !pending_ && !writing_; });
}

void SaveStateWriter::writeNow(std::unique_lock<std::mutex>& lock, const OrderSnapshot& snapshot) {
    writing_ = true;
    lock.unlock();
    writeSaveState(snapshot);
    lock.lock();
    writing_ = false;
    changed_.notify_all();
}

void SaveStateWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return pending_ || stopping_; });
        // A requested save is still written at shutdown: it holds progress
        // that a restart would otherwise fetch again.
        if (!pending_) return;
        OrderSnapshot snapshot = std::move(*pending_);
        pending_.reset();
        writeNow(lock, snapshot);
    }
}

}  // namespace quenlow
