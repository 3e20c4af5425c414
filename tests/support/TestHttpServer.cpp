#include "support/TestHttpServer.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketStream.h>
#include <Poco/URI.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace quenlow::test {

namespace {

bool iequals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

struct Content {
    std::string bytes;  // in-memory content, or
    uint64_t size = 0;  // generated content of this size
    uint32_t seed = 0;
    bool generated = false;

    uint64_t length() const { return generated ? size : bytes.size(); }
    void copy(uint64_t offset, char* out, size_t n) const {
        if (generated)
            generatedBytes(seed, offset, out, n);
        else
            std::memcpy(out, bytes.data() + offset, n);
    }
};

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [k, v] : headers)
        if (iequals(k, name)) return v;
    return std::nullopt;
}

void generatedBytes(uint32_t seed, uint64_t offset, char* out, size_t n) {
    // A hash of each 8-byte word's position, so that a byte written at the
    // wrong place is caught; cheap enough to serve a gigabyte.
    auto word = [seed](uint64_t w) {
        uint64_t x = w * 0x9E3779B97F4A7C15ull + seed;
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 32;
        return x;
    };
    size_t i = 0;
    while (i < n) {
        uint64_t pos = offset + i;
        uint64_t w = word(pos / 8);
        unsigned k = static_cast<unsigned>(pos % 8);
        if (k == 0 && n - i >= 8) {
            std::memcpy(out + i, &w, 8);
            i += 8;
        } else {
            out[i++] = static_cast<char>(w >> (8 * k));
        }
    }
}

std::string generatedContent(uint32_t seed, uint64_t size) {
    std::string s(size, '\0');
    generatedBytes(seed, 0, s.data(), s.size());
    return s;
}

struct TestHttpServer::State {
    mutable std::mutex mutex;
    std::condition_variable stallCv;
    bool released = false;
    std::map<std::string, std::shared_ptr<const Content>> files;
    std::map<std::string, ServerBehavior> behaviors;
    std::map<std::string, int> shortBodiesSent;
    std::map<std::string, int> requestCounts;
    std::vector<RecordedRequest> requests;
};

namespace {

class Handler : public Poco::Net::HTTPRequestHandler {
  public:
    explicit Handler(std::shared_ptr<TestHttpServer::State> s) : state_(std::move(s)) {}

    void handleRequest(Poco::Net::HTTPServerRequest& req,
                       Poco::Net::HTTPServerResponse& resp) override {
        using Poco::Net::HTTPResponse;
        RecordedRequest rec{req.getMethod(), req.getURI(), {}, std::chrono::steady_clock::now()};
        for (const auto& [k, v] : req) rec.headers.emplace_back(k, v);
        std::string path = Poco::URI(req.getURI()).getPath();

        std::shared_ptr<const Content> content;
        ServerBehavior b;
        bool cutShort = false;
        {
            std::lock_guard lock(state_->mutex);
            state_->requests.push_back(rec);
            if (auto it = state_->files.find(path); it != state_->files.end()) content = it->second;
            int seen = ++state_->requestCounts[path];
            if (auto it = state_->behaviors.find(path);
                it != state_->behaviors.end() && seen > it->second.normalRequests)
                b = it->second;
            if (b.shortBodyBytes >= 0) {
                int& sent = state_->shortBodiesSent[path];
                if (b.shortBodyTimes == 0 || sent < b.shortBodyTimes) {
                    cutShort = true;
                    ++sent;
                }
            }
        }
        if (b.holdHead) waitForRelease(std::chrono::steady_clock::now() + kLongestHold);
        resp.setKeepAlive(false);
        if (!b.redirectTo.empty()) {
            resp.set("Location", b.redirectTo);
            resp.setStatusAndReason(HTTPResponse::HTTP_FOUND);
            resp.setContentLength(0);
            resp.send();
            return;
        }
        if (b.status != 0) {
            resp.setStatusAndReason(static_cast<HTTPResponse::HTTPStatus>(b.status));
            resp.setContentLength(0);
            resp.send();
            return;
        }
        if (!content) {
            resp.setStatusAndReason(HTTPResponse::HTTP_NOT_FOUND);
            resp.setContentLength(0);
            resp.send();
            return;
        }

        uint64_t total =
            content->length() + static_cast<uint64_t>(std::max<int64_t>(b.extraBytes, 0));
        uint64_t begin = 0, end = total;  // [begin, end)
        bool partial = false;
        std::string range = req.get("Range", "");
        if (!range.empty() && !b.ignoreRange && range.rfind("bytes=", 0) == 0) {
            std::string spec = range.substr(6);
            auto dash = spec.find('-');
            if (dash != std::string::npos) {
                std::string first = spec.substr(0, dash), last = spec.substr(dash + 1);
                if (first.empty()) {
                    uint64_t n = std::stoull(last);
                    begin = total - std::min<uint64_t>(n, total);
                } else {
                    begin = std::stoull(first);
                    if (!last.empty()) end = std::min<uint64_t>(total, std::stoull(last) + 1);
                }
                if (begin >= total) {
                    resp.setStatusAndReason(HTTPResponse::HTTP_REQUESTED_RANGE_NOT_SATISFIABLE);
                    resp.set("Content-Range", "bytes */" + std::to_string(total));
                    resp.setContentLength(0);
                    resp.send();
                    return;
                }
                partial = true;
            }
        }
        if (partial && b.partialWithoutContentRange) {
            resp.setStatusAndReason(HTTPResponse::HTTP_PARTIAL_CONTENT);
            begin = 0;
            end = total;
        } else if (partial) {
            resp.setStatusAndReason(HTTPResponse::HTTP_PARTIAL_CONTENT);
            uint64_t announced = begin + static_cast<uint64_t>(b.contentRangeShift);
            resp.set("Content-Range", "bytes " + std::to_string(announced) + "-" +
                                          std::to_string(end - 1) + "/" + std::to_string(total));
        } else {
            resp.setStatusAndReason(HTTPResponse::HTTP_OK);
        }
        resp.set("Accept-Ranges", "bytes");
        std::unique_ptr<Poco::Net::SocketOutputStream> raw;
        std::ostream* body = nullptr;
        if (!b.announcedLength.empty()) {
            // Poco checks a Content-Length it sends: a false one goes out by hand.
            auto& socket = dynamic_cast<Poco::Net::HTTPServerRequestImpl&>(req).socket();
            raw = std::make_unique<Poco::Net::SocketOutputStream>(socket);
            *raw << "HTTP/1.1 " << static_cast<int>(resp.getStatus()) << ' ' << resp.getReason()
                 << "\r\n";
            for (const auto& [k, v] : resp) *raw << k << ": " << v << "\r\n";
            *raw << "Content-Length: " << b.announcedLength << "\r\n\r\n";
            body = raw.get();
        } else if (b.framing == ServerBehavior::Framing::Chunked) {
            resp.setChunkedTransferEncoding(true);
            body = &resp.send();
        } else if (b.framing == ServerBehavior::Framing::UntilClose) {
            resp.setVersion(Poco::Net::HTTPMessage::HTTP_1_0);
            body = &resp.send();  // no length: the body ends when the connection closes
        } else {
            resp.setContentLength64(static_cast<Poco::Int64>(end - begin));
            body = &resp.send();
        }
        std::ostream& out = *body;

        uint64_t limit = end - begin;
        if (cutShort) limit = std::min<uint64_t>(limit, static_cast<uint64_t>(b.shortBodyBytes));
        bool stall = b.stallAfterBytes >= 0;
        if (stall) limit = std::min<uint64_t>(limit, static_cast<uint64_t>(b.stallAfterBytes));

        std::vector<char> buf(64 * 1024);
        uint64_t sent = 0;
        auto started = std::chrono::steady_clock::now();
        while (sent < limit && out.good()) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), limit - sent));
            uint64_t pos = begin + sent;
            size_t inFile =
                pos < content->length()
                    ? static_cast<size_t>(std::min<uint64_t>(n, content->length() - pos))
                    : 0;
            if (inFile) content->copy(pos, buf.data(), inFile);
            if (inFile < n) std::memset(buf.data() + inFile, 'X', n - inFile);
            out.write(buf.data(), static_cast<std::streamsize>(n));
            sent += n;
            if (b.bytesPerSecond > 0) {
                out.flush();
                auto due = started + std::chrono::microseconds(
                                         sent * 1000000 / static_cast<uint64_t>(b.bytesPerSecond));
                if (waitForRelease(due)) break;
            }
        }
        out.flush();
        if (stall) waitForRelease(std::chrono::steady_clock::now() + kLongestHold);
        // Returning with fewer bytes than announced closes the connection (keep-alive is off).
    }

  private:
    static constexpr std::chrono::seconds kLongestHold{60};

    // Waits until releaseStalls or the deadline; true when released.
    bool waitForRelease(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(state_->mutex);
        return state_->stallCv.wait_until(lock, deadline, [&] { return state_->released; });
    }

    std::shared_ptr<TestHttpServer::State> state_;
};

class Factory : public Poco::Net::HTTPRequestHandlerFactory {
  public:
    explicit Factory(std::shared_ptr<TestHttpServer::State> s) : state_(std::move(s)) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest&) override {
        return new Handler(state_);
    }

  private:
    std::shared_ptr<TestHttpServer::State> state_;
};

}  // namespace

namespace {
constexpr int kMaxConnections = 32;
}

TestHttpServer::TestHttpServer()
    : state_(std::make_shared<State>()), threads_(2, kMaxConnections + 1) {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    auto* params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(kMaxConnections);
    params->setMaxQueued(64);
    params->setKeepAlive(false);
    server_ =
        std::make_unique<Poco::Net::HTTPServer>(new Factory(state_), threads_, socket, params);
    server_->start();
}

TestHttpServer::~TestHttpServer() {
    releaseStalls();
    server_->stopAll(true);
    threads_.joinAll();
}

uint16_t TestHttpServer::port() const { return server_->port(); }

std::string TestHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port()) + path;
}

void TestHttpServer::addFile(const std::string& path, std::string content) {
    auto c = std::make_shared<Content>();
    c->bytes = std::move(content);
    std::lock_guard lock(state_->mutex);
    state_->files[path] = std::move(c);
}

void TestHttpServer::addGeneratedFile(const std::string& path, uint64_t size, uint32_t seed) {
    auto c = std::make_shared<Content>();
    c->generated = true;
    c->size = size;
    c->seed = seed;
    std::lock_guard lock(state_->mutex);
    state_->files[path] = std::move(c);
}

void TestHttpServer::setBehavior(const std::string& path, ServerBehavior behavior) {
    std::lock_guard lock(state_->mutex);
    state_->behaviors[path] = std::move(behavior);
    state_->shortBodiesSent[path] = 0;
    state_->requestCounts[path] = 0;
}

std::vector<RecordedRequest> TestHttpServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::vector<RecordedRequest> TestHttpServer::requestsFor(const std::string& path) const {
    std::lock_guard lock(state_->mutex);
    std::vector<RecordedRequest> out;
    for (const auto& r : state_->requests)
        if (Poco::URI(r.target).getPath() == path) out.push_back(r);
    return out;
}

size_t TestHttpServer::requestCount(const std::string& path) const {
    return requestsFor(path).size();
}

void TestHttpServer::releaseStalls() {
    {
        std::lock_guard lock(state_->mutex);
        state_->released = true;
    }
    state_->stallCv.notify_all();
}

}  // namespace quenlow::test
