#include "support/RecordingView.h"

namespace quenlow::test {

void RecordingView::postViewMessage(Message msg) {
    Recorded r{msg.id, msg.wParam, msg.lParam, std::nullopt};
    if (auto* t = msg.text()) r.text = *t;
    if (onMessage) onMessage(r);
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(std::move(r));
    }
    cv_.notify_all();
}

std::vector<Recorded> RecordingView::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::optional<Recorded> RecordingView::waitFor(const std::function<bool(const Recorded&)>& pred,
                                               std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<Recorded> found;
    cv_.wait_for(lock, timeout, [&] {
        for (const auto& m : messages_)
            if (pred(m)) {
                found = m;
                return true;
            }
        return false;
    });
    return found;
}

std::optional<Recorded> RecordingView::waitFor(uint32_t id, uintptr_t wParam,
                                               std::chrono::milliseconds timeout) {
    return waitFor([&](const Recorded& r) { return r.id == id && r.wParam == wParam; }, timeout);
}

size_t RecordingView::count(uint32_t id, std::optional<uintptr_t> wParam) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& m : messages_)
        if (m.id == id && (!wParam || m.wParam == *wParam)) ++n;
    return n;
}

void RecordingView::clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

}  // namespace quenlow::test
