#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <vector>

#include "platform/WorkerThread.h"

namespace quenlow {
namespace {

// Counts live payloads so a test can see each is freed exactly once.
struct CountedPayload : Payload {
    explicit CountedPayload(std::atomic<int>& live) : live_(live) { ++live_; }
    ~CountedPayload() override { --live_; }
    std::atomic<int>& live_;
};

TEST(WorkerThread, MessagesPostedBeforeStartAreHandledInOrder) {
    WorkerThread worker;
    for (int i = 0; i < 100; ++i) worker.post(Message(1, 0, i));
    std::vector<intptr_t> seen;
    std::latch done(1);
    worker.startThread([&](Message& m) {
        seen.push_back(m.lParam);
        if (m.lParam == 99) done.count_down();
    });
    done.wait();
    worker.stopAndJoin();
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
}

TEST(WorkerThread, ConcurrentPostersKeepEachSendersOrder) {
    WorkerThread worker;
    constexpr int kPerSender = 2000;
    std::vector<int> lastSeen(4, -1);
    std::atomic<bool> ordered{true};
    std::atomic<int> handled{0};
    worker.startThread([&](Message& m) {
        int sender = static_cast<int>(m.wParam);
        int n = static_cast<int>(m.lParam);
        if (n != lastSeen[sender] + 1) ordered = false;
        lastSeen[sender] = n;
        ++handled;
    });
    std::vector<std::thread> senders;
    for (int s = 0; s < 4; ++s)
        senders.emplace_back([&, s] {
            for (int i = 0; i < kPerSender; ++i) worker.post(Message(1, s, i));
        });
    for (auto& t : senders) t.join();
    worker.post(Message(WM_QUIT, 0, 0));
    while (!worker.finished()) std::this_thread::yield();
    worker.stopAndJoin();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(handled.load(), 4 * kPerSender);
}

TEST(WorkerThread, PayloadFreedOnceByReceiver) {
    std::atomic<int> live{0};
    WorkerThread worker;
    std::latch done(1);
    std::atomic<int> liveWhileHandled{-1};
    worker.startThread([&](Message& m) {
        // The receiver takes the payload over and frees it itself.
        auto owned = std::move(m.payload);
        liveWhileHandled = live.load();
        owned.reset();
        done.count_down();
    });
    worker.post(Message(7, 0, 0, std::make_unique<CountedPayload>(live)));
    done.wait();
    worker.stopAndJoin();
    EXPECT_EQ(liveWhileHandled.load(), 1);
    EXPECT_EQ(live.load(), 0);
}

TEST(WorkerThread, UndeliveredPayloadsAreFreedWithTheQueue) {
    std::atomic<int> live{0};
    {
        WorkerThread never_started;
        for (int i = 0; i < 10; ++i)
            never_started.post(Message(7, 0, i, std::make_unique<CountedPayload>(live)));
        EXPECT_EQ(live.load(), 10);
    }
    EXPECT_EQ(live.load(), 0);
}

TEST(WorkerThread, PostAfterStopIsDroppedAndFreed) {
    std::atomic<int> live{0};
    WorkerThread worker;
    worker.startThread([](Message&) {});
    worker.stopAndJoin();
    worker.post(Message(7, 0, 0, std::make_unique<CountedPayload>(live)));
    EXPECT_EQ(live.load(), 0);
}

TEST(WorkerThread, QuitEndsTheLoopAndLeavesLaterMessagesUnhandled) {
    WorkerThread worker;
    std::atomic<int> handled{0};
    worker.post(Message(1, 0, 0));
    worker.post(Message(WM_QUIT, 0, 0));
    worker.post(Message(1, 0, 1));
    worker.startThread([&](Message&) { ++handled; });
    while (!worker.finished()) std::this_thread::yield();
    worker.stopAndJoin();
    EXPECT_EQ(handled.load(), 1);
}

}  // namespace
}  // namespace quenlow
