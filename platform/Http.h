#pragma once
// HTTP(S) GET over libcurl, shaped the way the part download task uses it:
// one connection per request, the status code and Content-Length known before
// any body byte is read, then pull reads into the caller's buffer.
//
//   HttpSession session;                       // user agent "Quenlow"
//   HttpRequest req(session, url, {"Range: bytes=100-"}, cancelled);
//   if (!req.send()) log(req.errorText());     // connects, sends, waits for the final headers
//   req.status(); req.contentLength();
//   int64_t n = req.read(buf, 131072, timeout); // >0 bytes, 0 end of body, -1 failure
//
// Every request carries "Pragma: no-cache" and "Cache-Control: no-cache",
// follows redirects (http and https only), takes proxies from the environment
// (http_proxy, https_proxy, no_proxy) and verifies TLS certificates and host
// names against the system store. A request that is not read from keeps its
// connection open (a paused task). `cancelled` is polled while the request
// waits on the network, so a blocked transfer ends promptly at shutdown or abort.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quenlow {

class HttpSession {
  public:
    explicit HttpSession(std::string userAgent = "Quenlow");
    // False when the HTTP library could not be initialised.
    bool valid() const { return valid_; }
    const std::string& userAgent() const { return userAgent_; }

  private:
    std::string userAgent_;
    bool valid_ = false;
};

class HttpRequest {
  public:
    using Cancelled = std::function<bool()>;

    HttpRequest(const HttpSession& session, std::string url, std::vector<std::string> headers,
                Cancelled cancelled = {});
    ~HttpRequest();
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    // Connects, sends the GET and waits until the final response's headers
    // (after redirects) have arrived: the whole head within `timeout` of the
    // call, however slowly it trickles in.
    // False on failure; errorText() tells why.
    bool send(std::chrono::milliseconds timeout);

    long status() const { return status_; }
    // Content-Length of the final response, when it had one.
    std::optional<uint64_t> contentLength() const { return contentLength_; }
    // A header of the final response (name compared without regard to case).
    std::optional<std::string> header(const std::string& name) const;
    // The URL the final response came from (after redirects).
    std::string effectiveUrl() const;

    // Reads body bytes into buf: fills it unless the body ends first. Returns the
    // number of bytes (0 = the body has ended, also when the server closed the
    // connection early), or -1 on failure: no byte for `timeout`, a network
    // error, or cancellation. A stall is given up `timeout` after the last byte
    // even when an earlier read already returned the bytes before it.
    int64_t read(char* buf, size_t capacity, std::chrono::milliseconds timeout);

    // The library's text for the last failure.
    const std::string& errorText() const { return errorText_; }

  private:
    struct Impl;
    Impl* impl_;
    long status_ = 0;
    std::optional<uint64_t> contentLength_;
    std::string errorText_;
};

}  // namespace quenlow
