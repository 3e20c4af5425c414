#pragma once
// The demo store's shared state: defined orders, the script calls the page
// reported, queued clicks and the file requests received. All members are
// safe to use from the server's connection threads.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/store/StoreModel.h"

namespace quenlow::store {

// One script-function call the page reported.
struct ScriptCall {
    int64_t page = 0;  // which page load made the call
    int64_t seq = 0;   // page-side sequence number
    std::string fn;
    std::vector<std::string> args;
    int64_t receivedMs = 0;  // when the store received it, ms since the store started
};

struct FileRequest {
    std::string path;
    std::string range;
    int status = 0;
    int64_t receivedMs = 0;
};

// A package ready to serve: its bytes and the "CRC^^KEY" unpack parameter.
struct StorePackage {
    std::string bytes;
    std::string unpackParameter;
    uint64_t unpackedBytes = 0;
};

// Builds a package from its definition (PackageBuilder.cpp). Throws OrderError.
StorePackage buildPackage(const PackageSpec& spec);

class Store {
  public:
    Store(std::string baseUrl, std::string dataDir);

    const std::string& baseUrl() const { return baseUrl_; }
    const std::string& dataDir() const { return dataDir_; }

    // Builds the order's parts (and packages, written under the data folder)
    // and makes it servable, replacing an order with the same id.
    std::shared_ptr<const Order> defineOrder(OrderSpec spec);
    std::shared_ptr<const Order> findOrder(const std::string& orderId) const;
    std::vector<std::shared_ptr<const Order>> orders() const;

    int64_t nextPageId() { return ++pageCounter_; }

    void recordCall(ScriptCall call);
    std::vector<ScriptCall> calls() const;
    void resetCalls();

    void queueClick(const std::string& elementId);
    std::vector<std::string> takeClicks();
    // When a page took each queued click so far (ms since the store started).
    std::vector<int64_t> clicksTaken() const;

    void recordRequest(FileRequest request);
    std::vector<FileRequest> requests() const;
    void resetRequests();

    // Throttled transfers sleep here; stop() wakes them so shutdown is prompt.
    // Returns false once the store is stopping.
    bool pause(std::chrono::microseconds d);
    void stop();
    bool stopping() const { return stopping_.load(); }

  private:
    std::string baseUrl_;
    std::string dataDir_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<int64_t> pageCounter_{0};
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::condition_variable stopCv_;
    std::map<std::string, std::shared_ptr<const Order>> orders_;
    std::vector<std::string> orderSequence_;  // ids in definition order
    std::vector<ScriptCall> calls_;
    std::deque<std::string> clicks_;
    std::vector<int64_t> clicksTakenMs_;
    std::vector<FileRequest> requests_;
};

// The built-in demo order "DEMO00004711": a plain multi-part file and a
// package with an install script. The plain file is sent at most at
// throttleBytesPerSec per connection (0: as fast as possible).
inline constexpr uint64_t kDemoThrottle = 3u << 20;
OrderSpec demoOrderSpec(uint64_t throttleBytesPerSec = kDemoThrottle);
inline constexpr const char* kDemoOrderId = "DEMO00004711";

}  // namespace quenlow::store
