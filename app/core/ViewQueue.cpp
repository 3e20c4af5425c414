#include "app/core/ViewQueue.h"

namespace quenlow {

bool ViewQueue::enqueue(Item item) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return false;  // the item (and its payload) is freed here
        items_.push_back(std::move(item));
        if (!wakePending_) {
            wakePending_ = true;
            wake = true;
        }
    }
    if (wake && wake_) wake_();
    return true;
}

void ViewQueue::post(uint64_t generation, Message msg) {
    Item item;
    item.generation = generation;
    item.msg = std::move(msg);
    enqueue(std::move(item));
}

void ViewQueue::postTask(std::function<void()> task) {
    Item item;
    item.task = std::move(task);
    enqueue(std::move(item));
}

void ViewQueue::setCurrentGeneration(uint64_t g) {
    std::lock_guard lock(mutex_);
    current_ = g;
}

uint64_t ViewQueue::currentGeneration() const {
    std::lock_guard lock(mutex_);
    return current_;
}

size_t ViewQueue::drain(const Handler& handler) {
    if (draining_) return 0;
    draining_ = true;
    size_t ran = 0;
    for (;;) {
        Item item;
        {
            std::lock_guard lock(mutex_);
            if (held_) {
                // Posts need not wake the queue meanwhile: release() does.
                wakePending_ = true;
                break;
            }
            if (items_.empty()) {
                wakePending_ = false;
                break;
            }
            item = std::move(items_.front());
            items_.pop_front();
            // A message of a replaced order is dropped here, payload and all.
            if (!item.task && item.generation != AnyGeneration && item.generation != current_)
                continue;
        }
        ++ran;
        try {
            if (item.task)
                item.task();
            else
                handler(item.msg);
        } catch (...) {
            // One failing handler must not stall the queue or end the program.
        }
    }
    draining_ = false;
    return ran;
}

void ViewQueue::hold() { held_ = true; }

void ViewQueue::release() {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (!held_) return;
        held_ = false;
        if (closed_) return;
        wakePending_ = !items_.empty();
        wake = wakePending_;
    }
    if (wake && wake_) wake_();
}

void ViewQueue::close() {
    std::deque<Item> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(items_);
    }
}

size_t ViewQueue::pending() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

}  // namespace quenlow
