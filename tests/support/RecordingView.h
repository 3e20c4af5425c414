#pragma once
// A view target that records every window message, for tests.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ViewTarget.h"

namespace quenlow::test {

// One recorded window message; the text of a heap-text payload is copied out.
struct Recorded {
    uint32_t id;
    uintptr_t wParam;
    intptr_t lParam;
    std::optional<std::string> text;
};

class RecordingView : public ViewTarget {
  public:
    void postViewMessage(Message msg) override;

    // Called on the posting thread as each message arrives, before it is
    // recorded: a test's way to look at the world at that moment. Set it
    // before anything posts.
    std::function<void(const Recorded&)> onMessage;

    std::vector<Recorded> messages() const;
    // Waits until pred holds for some recorded message; returns it.
    std::optional<Recorded> waitFor(const std::function<bool(const Recorded&)>& pred,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::optional<Recorded> waitFor(uint32_t id, uintptr_t wParam,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(30));
    size_t count(uint32_t id, std::optional<uintptr_t> wParam = std::nullopt) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Recorded> messages_;
};

}  // namespace quenlow::test
