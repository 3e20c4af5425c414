#include "state/SaveStateWriter.h"

#include <utility>

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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ = std::move(snapshot);
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    changed_.notify_all();
}

void SaveStateWriter::waitUntilIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !pending_ && !writing_; });
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
        writing_ = true;
        lock.unlock();
        writeSaveState(snapshot);
        lock.lock();
        writing_ = false;
        changed_.notify_all();
    }
}

}  // namespace quenlow
