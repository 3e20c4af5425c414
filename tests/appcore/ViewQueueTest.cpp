// The view's window queue: posting order, stale orders, nested drains, shutdown.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/core/ViewQueue.h"

namespace quenlow {
namespace {

// A payload that counts its own destruction.
struct CountedPayload : Payload {
    explicit CountedPayload(std::atomic<int>& freed) : freed_(freed) {}
    ~CountedPayload() override { ++freed_; }
    std::atomic<int>& freed_;
};

TEST(ViewQueue, DeliversEachSendersMessagesInPostingOrder) {
    std::atomic<int> wakes{0};
    ViewQueue queue([&] { ++wakes; });
    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                queue.post(0, Message(0x8700, static_cast<uintptr_t>(t), i));
        });
    for (auto& s : senders) s.join();
    std::vector<intptr_t> last(kThreads, -1);
    size_t ran = queue.drain([&](Message& m) {
        EXPECT_EQ(m.lParam, last[m.wParam] + 1) << "sender " << m.wParam;
        last[m.wParam] = m.lParam;
    });
    EXPECT_EQ(ran, size_t(kThreads * kPerThread));
    EXPECT_GE(wakes.load(), 1);
    // After a drain the next post wakes the UI thread again.
    int before = wakes.load();
    queue.post(0, Message(1, 0, 0));
    EXPECT_EQ(wakes.load(), before + 1);
}

TEST(ViewQueue, DropsMessagesOfAReplacedOrderAndFreesThem) {
    ViewQueue queue;
    std::atomic<int> freed{0};
    queue.setCurrentGeneration(1);
    GenerationTarget oldOrder(queue, 1);
    oldOrder.postViewMessage(Message(0x8700, 1, 10, std::make_unique<CountedPayload>(freed)));
    queue.setCurrentGeneration(2);
    GenerationTarget newOrder(queue, 2);
    newOrder.postViewMessage(Message(0x8700, 1, 20));
    queue.post(ViewQueue::AnyGeneration, Message(0x8500, 2, 0));
    std::vector<intptr_t> seen;
    queue.drain([&](Message& m) { seen.push_back(m.lParam); });
    EXPECT_EQ(seen, (std::vector<intptr_t>{20, 0}));
    EXPECT_EQ(freed.load(), 1);
}

TEST(ViewQueue, NestedDrainRunsNothingAndTheOuterOnePicksUpLaterItems) {
    ViewQueue queue;
    std::vector<int> order;
    queue.postTask([&] {
        order.push_back(1);
        queue.post(0, Message(0x8700, 0, 3));
        // A nested event loop would call drain again here.
        EXPECT_EQ(queue.drain([&](Message&) { order.push_back(-1); }), 0u);
        order.push_back(2);
    });
    queue.drain([&](Message& m) { order.push_back(static_cast<int>(m.lParam)); });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(queue.draining());
}

TEST(ViewQueue, AHeldQueueStartsNothingUntilReleasedThenWakes) {
    int wakes = 0;
    ViewQueue queue([&] { ++wakes; });
    std::vector<int> order;
    queue.postTask([&] {
        order.push_back(1);
        queue.hold();  // this step goes on later
    });
    queue.post(0, Message(0x8700, 0, 2));
    queue.post(0, Message(0x8700, 0, 3));
    auto handler = [&](Message& m) { order.push_back(static_cast<int>(m.lParam)); };
    EXPECT_EQ(queue.drain(handler), 1u);
    EXPECT_EQ(order, (std::vector<int>{1}));
    // Posts while held need no wake-up; a drain meanwhile runs nothing.
    int before = wakes;
    queue.post(0, Message(0x8700, 0, 4));
    EXPECT_EQ(wakes, before);
    EXPECT_EQ(queue.drain(handler), 0u);
    queue.release();
    EXPECT_EQ(wakes, before + 1);
    EXPECT_EQ(queue.drain(handler), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    // Releasing an empty queue wakes nothing, and the next post wakes again.
    queue.hold();
    queue.release();
    EXPECT_EQ(wakes, before + 1);
    queue.post(0, Message(0x8700, 0, 5));
    EXPECT_EQ(wakes, before + 2);
}

TEST(ViewQueue, AFailingHandlerDoesNotStallTheQueue) {
    ViewQueue queue;
    queue.post(0, Message(1, 0, 0));
    queue.post(0, Message(2, 0, 0));
    std::vector<uint32_t> seen;
    queue.drain([&](Message& m) {
        seen.push_back(m.id);
        if (m.id == 1) throw std::runtime_error("handler failed");
    });
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2}));
}

TEST(ViewQueue, CloseFreesPendingAndRefusesLaterPosts) {
    ViewQueue queue;
    std::atomic<int> freed{0};
    queue.post(0, Message(1, 0, 0, std::make_unique<CountedPayload>(freed)));
    queue.close();
    EXPECT_EQ(freed.load(), 1);
    queue.post(0, Message(1, 0, 0, std::make_unique<CountedPayload>(freed)));
    EXPECT_EQ(freed.load(), 2);
    EXPECT_EQ(queue.drain([](Message&) { ADD_FAILURE() << "delivered after close"; }), 0u);
}

}  // namespace
}  // namespace quenlow
