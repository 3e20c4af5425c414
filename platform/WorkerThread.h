#pragma once
// A worker thread with its own FIFO queue, in place of a platform thread with a
// message loop. The queue exists from construction, so commands posted before
// the thread runs are kept and handled in order once it starts.

#include <atomic>
#include <functional>
#include <thread>

#include "platform/MessageQueue.h"

namespace quenlow {

inline constexpr uint32_t WM_QUIT = 0x0012;

// How worker threads are started. Tests replace it to make a start fail the way
// a system out of threads does (std::system_error); an empty one restores
// std::thread. Not thread-safe: set it before the threads that start others run.
using ThreadLauncher = std::function<std::thread(std::function<void()>)>;
void setThreadLauncher(ThreadLauncher launcher);
std::thread launchThread(std::function<void()> body);

class WorkerThread {
  public:
    using Handler = std::function<void(Message&)>;

    WorkerThread() : queue_(std::make_shared<MessageQueue>()) {}
    virtual ~WorkerThread() { stopAndJoin(); }

    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Where other threads post messages for this thread.
    QueueRef threadId() const { return queue_; }
    void post(Message msg) { queue_->post(std::move(msg)); }

    // Runs the message loop on a new thread: one message at a time, in posting
    // order, until WM_QUIT or stopAndJoin(). Starting twice does nothing.
    // Throws std::system_error when no thread can be started.
    void startThread(Handler handler) {
        if (thread_.joinable()) return;
        thread_ = launchThread([this, h = std::move(handler)] {
            while (auto msg = queue_->take()) {
                if (msg->id == WM_QUIT) break;
                h(*msg);
                if (stopping_.load()) break;
            }
            finished_.store(true);
            finished_.notify_all();
        });
    }

    bool started() const { return thread_.joinable(); }
    bool finished() const { return finished_.load(); }

    // Set at shutdown; long-running handlers poll it to end early.
    bool stopRequested() const { return stopping_.load(); }
    const std::atomic<bool>& stopFlag() const { return stopping_; }

    // Asks the loop to end, wakes it, and joins. Safe to call more than once.
    void stopAndJoin() {
        stopping_.store(true);
        onStopRequested();
        queue_->close();
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

  protected:
    // Hook for subclasses that block outside the queue (transfers, waits).
    virtual void onStopRequested() {}

  private:
    QueueRef queue_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
};

}  // namespace quenlow
