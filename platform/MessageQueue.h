#pragma once
// Thread and window messages in place of the platform's message queues.
//
// A Message carries the numeric id, wParam and lParam of the protocol. A payload
// that the receiver owns (heap texts, the chunk list) travels as an owning
// pointer, so it is freed exactly once: by the receiver after use, or by the
// queue if the message is never delivered.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace quenlow {

// Base of every owned payload.
struct Payload {
    virtual ~Payload() = default;
};

// A heap text: belongs to whoever receives the message.
struct TextPayload : Payload {
    explicit TextPayload(std::string t) : text(std::move(t)) {}
    std::string text;
};

struct Message {
    uint32_t id = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    std::unique_ptr<Payload> payload;

    Message() = default;
    Message(uint32_t i, uintptr_t w, intptr_t l, std::unique_ptr<Payload> p = nullptr)
        : id(i), wParam(w), lParam(l), payload(std::move(p)) {}

    // The payload as a text, or nullptr when it carries none.
    const std::string* text() const {
        auto* t = dynamic_cast<const TextPayload*>(payload.get());
        return t ? &t->text : nullptr;
    }
    template <class T>
    T* payloadAs() const {
        return dynamic_cast<T*>(payload.get());
    }
};

// Convenience for a message carrying a heap text.
inline Message textMessage(uint32_t id, uintptr_t wParam, std::string text) {
    return Message(id, wParam, 0, std::make_unique<TextPayload>(std::move(text)));
}

// An unbounded FIFO. post() never blocks and never fails; the queue exists
// independently of any thread that drains it.
class MessageQueue {
  public:
    void post(Message msg) {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;  // the receiver is gone; the payload is freed here
            queue_.push_back(std::move(msg));
        }
        cv_.notify_one();
    }

    // Blocks until a message arrives or the queue is closed (then nullopt).
    std::optional<Message> take() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return closed_ || !queue_.empty(); });
        if (queue_.empty()) return std::nullopt;
        Message m = std::move(queue_.front());
        queue_.pop_front();
        return m;
    }

    std::optional<Message> tryTake() {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return std::nullopt;
        Message m = std::move(queue_.front());
        queue_.pop_front();
        return m;
    }

    // Wakes every taker; further posts are dropped. Pending messages are freed
    // when the queue is destroyed or drained.
    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        cv_.notify_all();
    }

    bool closed() const {
        std::lock_guard lock(mutex_);
        return closed_;
    }

    size_t size() const {
        std::lock_guard lock(mutex_);
        return queue_.size();
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Message> queue_;
    bool closed_ = false;
};

// The address messages are posted to: stands for a thread id of the original platform.
using QueueRef = std::shared_ptr<MessageQueue>;

}  // namespace quenlow
