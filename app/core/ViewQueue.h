#pragma once
// The view's window queue. Worker threads post window messages here from any
// thread; the user-interface thread drains them one at a time, in posting
// order. Page-load and click work goes through the same queue. A step that
// waits for the page holds the queue until its continuation has run, so the
// steps still run one at a time and in order while the user-interface thread
// goes on serving events.
//
// Every message carries the generation of the order it belongs to. When a
// page load replaces the order, messages still queued from the previous
// order's workers are dropped instead of being applied to the new records.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/ViewTarget.h"

namespace quenlow {

class ViewQueue {
  public:
    // Messages of generation 0 belong to no order and are always delivered.
    static constexpr uint64_t AnyGeneration = 0;

    using Wake = std::function<void()>;
    using Handler = std::function<void(Message&)>;

    // wake is called (from the posting thread) whenever an item is queued and
    // no drain is pending yet; it must arrange for drain() on the UI thread.
    explicit ViewQueue(Wake wake = {}) : wake_(std::move(wake)) {}

    void post(uint64_t generation, Message msg);
    // Queues a piece of UI work (page load, click) behind the messages.
    void postTask(std::function<void()> task);

    // The generation whose messages are delivered; bumped by the view when it
    // replaces the order.
    void setCurrentGeneration(uint64_t g);
    uint64_t currentGeneration() const;

    // Runs everything queued, in order, until the queue is held. A call made
    // while a drain is running returns at once; the outer drain picks up what
    // arrived meanwhile. Returns the number of items run.
    size_t drain(const Handler& handler);
    bool draining() const { return draining_; }

    // The current item's step goes on later (it waits for the page): nothing
    // else starts until release(), which wakes the queue again. UI thread only.
    void hold();
    void release();
    bool held() const { return held_; }

    // Frees everything still queued; nothing is delivered afterwards.
    void close();
    size_t pending() const;

  private:
    struct Item {
        uint64_t generation = 0;
        Message msg;
        std::function<void()> task;
    };
    bool enqueue(Item item);

    mutable std::mutex mutex_;
    std::deque<Item> items_;
    uint64_t current_ = 0;
    bool wakePending_ = false;
    bool closed_ = false;
    bool draining_ = false;  // UI thread only
    bool held_ = false;      // UI thread only
    Wake wake_;
};

// The ViewTarget handed to one order's records: tags every message with that
// order's generation.
class GenerationTarget : public ViewTarget {
  public:
    GenerationTarget(ViewQueue& queue, uint64_t generation)
        : queue_(queue), generation_(generation) {}
    void postViewMessage(Message msg) override { queue_.post(generation_, std::move(msg)); }
    uint64_t generation() const { return generation_; }

  private:
    ViewQueue& queue_;
    uint64_t generation_;
};

}  // namespace quenlow
