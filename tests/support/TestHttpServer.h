#pragma once
// An HTTP server on 127.0.0.1 (ephemeral port) for tests and benchmarks.
//
//   TestHttpServer server;                          // listening once constructed
//   server.addFile("/a/setup.bin", bytes);          // in-memory content
//   server.addGeneratedFile("/big", 1 << 30, 7);    // content from generatedBytes(seed, ...)
//   server.setBehavior("/a/setup.bin", {.status = 404});
//   download(server.url("/a/setup.bin"));
//   server.requestsFor("/a/setup.bin")[0].header("Range");
//
// Files are served with real single-range support ("bytes=N-", "bytes=N-M",
// "bytes=-N"): 206 with Content-Range, 416 when the start lies at or past the
// end. Behaviours (per path) simulate faulty servers: a fixed status, ignoring
// Range, a body cut short, a stall after some bytes, a redirect, throttling,
// a body without Content-Length or with a false one, an answer held back.
// Every request is recorded (method, target, headers) before it is answered.

#include <Poco/Net/HTTPServer.h>
#include <Poco/ThreadPool.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quenlow::test {

struct RecordedRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::steady_clock::time_point at;  // when its head had arrived
    // First header with this name (case-insensitive), if any.
    std::optional<std::string> header(const std::string& name) const;
};

struct ServerBehavior {
    int status = 0;                // when not 0: answer with this status and an empty body
    bool ignoreRange = false;      // answer 200 with the whole file even to a Range request
    int64_t shortBodyBytes = -1;   // when >= 0: send only this many body bytes, then close
    int shortBodyTimes = 0;        // ... for this many requests (then normal again); 0 = always
    int64_t stallAfterBytes = -1;  // when >= 0: send this many body bytes, then hang until released
    std::string redirectTo;        // when set: 302 with this Location
    int64_t bytesPerSecond = 0;    // when > 0: throttle the body to about this rate
    int64_t extraBytes = 0;  // append this many bytes past the file's end (and in Content-Length)
    int normalRequests = 0;  // the first N requests for the path are answered normally
    // A Range request answered 206 with the whole file and no Content-Range.
    bool partialWithoutContentRange = false;
    int64_t contentRangeShift = 0;  // the announced Content-Range start is off by this much
    // How the body's end is told: by Content-Length, by chunks, or by closing
    // the connection (an HTTP/1.0 answer) with no Content-Length either way.
    enum class Framing { ContentLength, Chunked, UntilClose };
    Framing framing = Framing::ContentLength;
    // When set: sent as the Content-Length text in place of the body's true
    // size (which is what is sent, before the connection closes).
    std::string announcedLength;
    bool holdHead = false;  // nothing is answered until releaseStalls()
};

// The deterministic content of addGeneratedFile: byte i of the file.
void generatedBytes(uint32_t seed, uint64_t offset, char* out, size_t n);
std::string generatedContent(uint32_t seed, uint64_t size);

class TestHttpServer {
  public:
    TestHttpServer();
    ~TestHttpServer();  // releases stalls and stops

    uint16_t port() const;
    // "http://127.0.0.1:<port>" + path
    std::string url(const std::string& path) const;

    void addFile(const std::string& path, std::string content);
    void addGeneratedFile(const std::string& path, uint64_t size, uint32_t seed);
    void setBehavior(const std::string& path, ServerBehavior behavior);

    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requestsFor(const std::string& path) const;
    size_t requestCount(const std::string& path) const;
    // Wakes every stalled or held response (they then close their connections).
    void releaseStalls();

    struct State;  // shared with the request handlers

  private:
    std::shared_ptr<State> state_;
    // The server's own threads, so that it can wait for its connections to
    // end: on the shared pool they outlive the server, and a connection still
    // ending at exit races the library's static buffer pools.
    Poco::ThreadPool threads_;
    std::unique_ptr<Poco::Net::HTTPServer> server_;
};

}  // namespace quenlow::test
