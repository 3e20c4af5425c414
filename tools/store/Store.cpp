#include "tools/store/Store.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace quenlow::store {

namespace {

// Long interactive sessions must not grow without bound.
constexpr size_t kMaxRecorded = 100000;

template <typename T>
void capFront(std::vector<T>& v) {
    if (v.size() > kMaxRecorded)
        v.erase(v.begin(), v.begin() + static_cast<long>(v.size() - kMaxRecorded));
}

uint32_t kilobytes(uint64_t bytes) {
    uint64_t kb = (bytes + 1023) / 1024;
    return static_cast<uint32_t>(std::min<uint64_t>(kb, 0x7fffffff));
}

}  // namespace

Store::Store(std::string baseUrl, std::string dataDir)
    : baseUrl_(std::move(baseUrl)), dataDir_(std::move(dataDir)) {}

std::shared_ptr<const Order> Store::defineOrder(OrderSpec spec) {
    auto order = std::make_shared<Order>();
    for (const FileSpec& fs : spec.files) {
        ServedFile f;
        f.spec = fs;
        if (fs.package) {
            StorePackage built = buildPackage(*fs.package);
            if (built.bytes.empty())
                throw OrderError("package of \"" + fs.fileName + "\" is empty");
            f.size = built.bytes.size();
            f.unpackParameter = built.unpackParameter;
            f.extractedKB = fs.extractedKB.value_or(kilobytes(built.unpackedBytes));
            // Keep a copy on disk next to what the store serves, for inspection.
            std::filesystem::path dir = std::filesystem::path(dataDir_) / spec.orderId / fs.fileKey;
            std::error_code ec;
            std::filesystem::create_directories(dir, ec);
            if (ec) throw OrderError("cannot create " + dir.string() + ": " + ec.message());
            std::ofstream out(dir / fs.fileName, std::ios::binary | std::ios::trunc);
            out.write(built.bytes.data(), static_cast<std::streamsize>(built.bytes.size()));
            if (!out) throw OrderError("cannot write the package " + (dir / fs.fileName).string());
            f.packageBytes = std::make_shared<const std::string>(std::move(built.bytes));
        } else {
            f.size = fs.size;
            f.seed = contentSeed(spec.orderId, fs.fileKey, fs.size);
            f.extractedKB = fs.extractedKB.value_or(0);
        }
        if (fs.edv) f.unpackParameter = *fs.edv;
        f.downloadKB = kilobytes(f.size);
        int parts = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(fs.parts), f.size));
        int k = 0;
        for (auto [offset, length] : splitParts(f.size, parts)) {
            ServedPart p;
            p.partKey = ++k;
            p.fileId = spec.orderId + "-" + fs.fileKey + "-" + std::to_string(k);
            p.offset = offset;
            p.length = length;
            // Each part's last path segment is distinct: the application may
            // swap the folder of a part URL for the page's "fileUrl" folder.
            p.urlPath = f.folderPath("files", spec.orderId) + "/" +
                        encodeSegment(std::to_string(k) + "-" + fs.fileName);
            f.parts.push_back(std::move(p));
        }
        order->files.push_back(std::move(f));
    }
    order->spec = std::move(spec);

    std::lock_guard lock(mutex_);
    const std::string& id = order->spec.orderId;
    if (!orders_.count(id)) orderSequence_.push_back(id);
    orders_[id] = order;
    return order;
}

std::shared_ptr<const Order> Store::findOrder(const std::string& orderId) const {
    std::lock_guard lock(mutex_);
    auto it = orders_.find(orderId);
    return it == orders_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<const Order>> Store::orders() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<const Order>> all;
    for (const auto& id : orderSequence_) all.push_back(orders_.at(id));
    return all;
}

void Store::recordCall(ScriptCall call) {
    call.receivedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started_)
                          .count();
    std::lock_guard lock(mutex_);
    // Calls of one page may arrive out of order (each is its own request);
    // keep them sorted by page load, then by the page's own sequence.
    auto after = std::upper_bound(calls_.begin(), calls_.end(), call,
                                  [](const ScriptCall& a, const ScriptCall& b) {
                                      return a.page != b.page ? a.page < b.page : a.seq < b.seq;
                                  });
    calls_.insert(after, std::move(call));
    capFront(calls_);
}

std::vector<ScriptCall> Store::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void Store::resetCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

void Store::queueClick(const std::string& elementId) {
    std::lock_guard lock(mutex_);
    clicks_.push_back(elementId);
}

std::vector<std::string> Store::takeClicks() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> taken(clicks_.begin(), clicks_.end());
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started_)
                            .count();
    clicksTakenMs_.insert(clicksTakenMs_.end(), taken.size(), now);
    clicks_.clear();
    return taken;
}

std::vector<int64_t> Store::clicksTaken() const {
    std::lock_guard lock(mutex_);
    return clicksTakenMs_;
}

void Store::recordRequest(FileRequest request) {
    request.receivedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - started_)
                             .count();
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    capFront(requests_);
}

std::vector<FileRequest> Store::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void Store::resetRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool Store::pause(std::chrono::microseconds d) {
    std::unique_lock lock(mutex_);
    stopCv_.wait_for(lock, d, [this] { return stopping_.load(); });
    return !stopping_.load();
}

void Store::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_.store(true);
    }
    stopCv_.notify_all();
}

OrderSpec demoOrderSpec(uint64_t throttleBytesPerSec) {
    OrderSpec spec;
    spec.orderId = kDemoOrderId;
    spec.title = "Quenlow demo order";

    FileSpec data;
    data.fileKey = "1";
    data.fileTypeId = 2;
    data.fileName = "QuenlowDemoData.bin";
    data.parts = 3;
    data.size = 24u << 20;
    data.throttleBytesPerSec = throttleBytesPerSec;
    data.productIdx = "101";
    spec.files.push_back(data);

    FileSpec setup;
    setup.fileKey = "2";
    setup.fileTypeId = 1;
    setup.fileName = "QuenlowDemoSetup.tarn";
    setup.installCommand = "setup.sh";
    setup.parts = 2;
    setup.productIdx = "102";
    PackageSpec pkg;
    pkg.layout = "versioned";
    pkg.key = "QuenlowDemoKey";
    pkg.entries = {
        {"QuenlowDemo", "", false, true},
        {"QuenlowDemo/setup.sh",
         "#!/bin/sh\n# Quenlow demo installer: records that it ran.\ncd \"$(dirname \"$0\")\"\n"
         "date > installed.txt\necho \"Quenlow demo installed in $(pwd)\"\n",
         true, false},
        {"QuenlowDemo/README.txt",
         "Quenlow demo package.\n\nThis folder was downloaded in two parts, checked with CRC-32 "
         "and unpacked by "
         "Quenlow.\nClick Launch on the store page to run setup.sh.\n",
         false, false},
        {"QuenlowDemo/data/numbers.txt",
         [] {
             std::string s;
             for (int i = 1; i <= 20000; ++i) s += std::to_string(i) + (i % 10 ? " " : "\n");
             return s;
         }(),
         false, false},
    };
    setup.package = pkg;
    spec.files.push_back(setup);
    return spec;
}

}  // namespace quenlow::store
