#include "platform/Http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include "platform/Text.h"

namespace quenlow {

namespace {

using Clock = std::chrono::steady_clock;

bool initLibrary() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

// Largest body piece curl hands to the write callback at once.
constexpr long kCurlBuffer = 131072;

}  // namespace

HttpSession::HttpSession(std::string userAgent)
    : userAgent_(std::move(userAgent)), valid_(initLibrary()) {}

struct HttpRequest::Impl {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    curl_slist* headerList = nullptr;
    char errbuf[CURL_ERROR_SIZE] = {};
    Cancelled cancelled;

    // Headers of the response block being received; the final block's stay.
    std::map<std::string, std::string> headers;
    bool locationSeen = false;
    bool headersDone = false;

    // The caller's buffer during read(); bytes that did not fit wait in `overflow`.
    char* target = nullptr;
    size_t targetFilled = 0;
    size_t targetFree = 0;
    std::vector<char> overflow;
    size_t overflowPos = 0;
    bool paused = false;

    bool added = false;
    bool done = false;
    CURLcode result = CURLE_OK;
    uint64_t bytesSeen = 0;  // any header or body byte: progress for the time-out
    bool timedOut = false;   // the last drive() ended at its deadline
    // A read that returned the bytes it had when the body stalled leaves the
    // stall running: the next read's time-out counts from the last byte, so a
    // stall is given up one time-out after it began, not two.
    bool stallCarried = false;
    Clock::time_point lastProgress;

    size_t overflowLeft() const { return overflow.size() - overflowPos; }

    static size_t onBody(char* ptr, size_t size, size_t nmemb, void* ud) {
        auto* self = static_cast<Impl*>(ud);
        size_t len = size * nmemb;
        self->bytesSeen += len;
        if (!self->headersDone) return len;  // body of a redirect or interim response
        if (len <= self->targetFree) {
            std::memcpy(self->target + self->targetFilled, ptr, len);
            self->targetFilled += len;
            self->targetFree -= len;
            return len;
        }
        if (self->overflowLeft() == 0) {
            size_t now = self->targetFree;
            if (now > 0) std::memcpy(self->target + self->targetFilled, ptr, now);
            self->targetFilled += now;
            self->targetFree = 0;
            self->overflow.assign(ptr + now, ptr + len);
            self->overflowPos = 0;
            return len;
        }
        // Caller's buffer full and a piece already waiting: hold the connection
        // until the next read (curl keeps this piece and hands it over again).
        self->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }

    static size_t onHeader(char* buffer, size_t size, size_t nitems, void* ud) {
        auto* self = static_cast<Impl*>(ud);
        size_t len = size * nitems;
        self->bytesSeen += len;
        std::string line(buffer, len);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.rfind("HTTP/", 0) == 0) {
            self->headers.clear();
            self->locationSeen = false;
            return len;
        }
        if (line.empty()) {
            long code = 0;
            curl_easy_getinfo(self->easy, CURLINFO_RESPONSE_CODE, &code);
            bool redirected = code >= 300 && code < 400 && self->locationSeen;
            if (code >= 200 && !redirected) self->headersDone = true;
            return len;
        }
        auto colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = lowerAscii(trimmed(line.substr(0, colon)));
            self->headers[name] = trimmed(line.substr(colon + 1));
            if (name == "location") self->locationSeen = true;
        }
        return len;
    }

    void collectDone() {
        int queued = 0;
        while (CURLMsg* m = curl_multi_info_read(multi, &queued)) {
            if (m->msg == CURLMSG_DONE) {
                done = true;
                result = m->data.result;
            }
        }
    }

    std::string curlText(CURLcode code) const {
        if (errbuf[0]) return errbuf;
        return curl_easy_strerror(code);
    }

    // How drive() counts its time-out.
    enum class Patience {
        Total,         // from the start, whatever arrives (the response head)
        SinceLastByte  // from the last byte received (the body)
    };

    // Drives the transfer until pred() holds, the transfer ends, the time-out
    // passes, or the caller cancels. True when pred() holds.
    bool drive(const std::function<bool()>& pred, Clock::time_point start,
               std::chrono::milliseconds timeout, Patience patience, std::string& error) {
        auto deadline = start + timeout;
        uint64_t seen = bytesSeen;
        timedOut = false;
        for (;;) {
            if (pred()) return true;
            if (done) return false;
            if (cancelled && cancelled()) {
                error = curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK);
                return false;
            }
            int running = 0;
            CURLMcode mc = curl_multi_perform(multi, &running);
            if (mc != CURLM_OK) {
                error = curl_multi_strerror(mc);
                return false;
            }
            collectDone();
            if (pred()) return true;
            if (done) return false;
            auto now = Clock::now();
            if (bytesSeen != seen) {
                seen = bytesSeen;
                lastProgress = now;
                if (patience == Patience::SinceLastByte) deadline = now + timeout;
            }
            if (now >= deadline) {
                timedOut = true;
                error = curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);
                return false;
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            int slice = static_cast<int>(std::clamp<long long>(left, 1, 100));
            curl_multi_poll(multi, nullptr, 0, slice, nullptr);
        }
    }
};

HttpRequest::HttpRequest(const HttpSession& session, std::string url,
                         std::vector<std::string> headers, Cancelled cancelled)
    : impl_(new Impl) {
    impl_->cancelled = std::move(cancelled);
    if (!session.valid()) {
        errorText_ = curl_easy_strerror(CURLE_FAILED_INIT);
        return;
    }
    impl_->easy = curl_easy_init();
    impl_->multi = curl_multi_init();
    if (!impl_->easy || !impl_->multi) {
        errorText_ = curl_easy_strerror(CURLE_FAILED_INIT);
        return;
    }
    CURL* e = impl_->easy;
    headers.insert(headers.begin(), {"Pragma: no-cache", "Cache-Control: no-cache"});
    for (const auto& h : headers)
        impl_->headerList = curl_slist_append(impl_->headerList, h.c_str());
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_USERAGENT, session.userAgent().c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, impl_->headerList);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
    // A part URL or a redirect must never reach local files or other protocols.
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kCurlBuffer);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, impl_->errbuf);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, impl_);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, impl_);
}

HttpRequest::~HttpRequest() {
    if (impl_->multi && impl_->easy && impl_->added)
        curl_multi_remove_handle(impl_->multi, impl_->easy);
    if (impl_->easy) curl_easy_cleanup(impl_->easy);
    if (impl_->multi) curl_multi_cleanup(impl_->multi);
    if (impl_->headerList) curl_slist_free_all(impl_->headerList);
    delete impl_;
}

bool HttpRequest::send(std::chrono::milliseconds timeout) {
    if (!impl_->easy || !impl_->multi) return false;
    if (impl_->added) return impl_->headersDone;
    curl_easy_setopt(impl_->easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::max<long long>(timeout.count(), 1)));
    if (curl_multi_add_handle(impl_->multi, impl_->easy) != CURLM_OK) {
        errorText_ = curl_easy_strerror(CURLE_FAILED_INIT);
        return false;
    }
    impl_->added = true;
    std::string error;
    // The whole head must arrive within the time-out: a server trickling header
    // lines never holds the request open longer than that.
    const auto start = Clock::now();
    impl_->lastProgress = start;
    if (!impl_->drive([this] { return impl_->headersDone; }, start, timeout, Impl::Patience::Total,
                      error)) {
        if (impl_->done && !impl_->headersDone)
            error = impl_->curlText(impl_->result == CURLE_OK ? CURLE_GOT_NOTHING : impl_->result);
        errorText_ = error;
        return false;
    }
    curl_easy_getinfo(impl_->easy, CURLINFO_RESPONSE_CODE, &status_);
    auto it = impl_->headers.find("content-length");
    if (it != impl_->headers.end() && !it->second.empty() &&
        std::all_of(it->second.begin(), it->second.end(),
                    [](unsigned char c) { return std::isdigit(c); })) {
        contentLength_ = parseUnsigned(it->second);
    }
    return true;
}

std::optional<std::string> HttpRequest::header(const std::string& name) const {
    auto it = impl_->headers.find(lowerAscii(name));
    if (it == impl_->headers.end()) return std::nullopt;
    return it->second;
}

std::string HttpRequest::effectiveUrl() const {
    char* url = nullptr;
    if (impl_->easy && curl_easy_getinfo(impl_->easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK &&
        url)
        return url;
    return {};
}

int64_t HttpRequest::read(char* buf, size_t capacity, std::chrono::milliseconds timeout) {
    Impl& im = *impl_;
    if (!im.added || !im.headersDone) {
        if (errorText_.empty()) errorText_ = curl_easy_strerror(CURLE_RECV_ERROR);
        return -1;
    }
    size_t filled = std::min(capacity, im.overflowLeft());
    if (filled > 0) {
        std::memcpy(buf, im.overflow.data() + im.overflowPos, filled);
        im.overflowPos += filled;
        if (im.overflowLeft() == 0) {
            im.overflow.clear();
            im.overflowPos = 0;
        }
    }
    if (filled == capacity) return static_cast<int64_t>(filled);

    im.target = buf;
    im.targetFilled = filled;
    im.targetFree = capacity - filled;
    if (im.paused) {
        im.paused = false;
        curl_easy_pause(im.easy, CURLPAUSE_CONT);  // may hand over the held piece right here
    }
    std::string error;
    const auto start = im.stallCarried ? im.lastProgress : Clock::now();
    bool full = im.drive([&im] { return im.targetFree == 0; }, start, timeout,
                         Impl::Patience::SinceLastByte, error);
    size_t got = im.targetFilled;
    im.stallCarried = !full && got > 0 && im.timedOut;
    im.target = nullptr;
    im.targetFree = 0;
    im.targetFilled = 0;
    if (full || got > 0) return static_cast<int64_t>(got);
    if (im.done) {
        // A clean end, or a server that closed before its Content-Length: the
        // body is over; the caller decides whether bytes are missing.
        if (im.result == CURLE_OK || im.result == CURLE_PARTIAL_FILE) return 0;
        errorText_ = im.curlText(im.result);
        return -1;
    }
    errorText_ = error;
    return -1;
}

}  // namespace quenlow
