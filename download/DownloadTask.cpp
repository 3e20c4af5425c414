#include "download/DownloadTask.h"

#include <Poco/Exception.h>
#include <Poco/URI.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <utility>

#include "platform/Pacing.h"
#include "platform/Text.h"

namespace quenlow {

namespace {

// Request flags as they appear in the traces: reload, no cache write, keep the
// connection, no-cache pragma; the secure variant adds TLS.
constexpr unsigned kRequestFlags = 0x84400100u;
constexpr unsigned kSecureRequestFlags = 0x84C03100u;

bool isKnownLength(int64_t length) { return length != -1; }

// Start offset of a "Content-Range: bytes a-b/c" value, if it has one.
std::optional<uint64_t> contentRangeStart(const std::string& value) {
    auto pos = value.find("bytes");
    if (pos == std::string::npos) return std::nullopt;
    pos += 5;
    while (pos < value.size() && value[pos] == ' ') ++pos;
    if (pos >= value.size() || !std::isdigit(static_cast<unsigned char>(value[pos])))
        return std::nullopt;
    return parseUnsigned(std::string_view(value).substr(pos));
}

struct RequestTarget {
    std::string requestUrl;  // what goes to the HTTP layer (percent-encoded)
    std::string host;
    unsigned port = 0;
    std::string objectName;  // decoded path and query, for the traces
    bool secure = false;
};

// Percent-encodes the effective URL with an empty reserved set and parses it.
// Throws Poco::Exception for a URL that does not parse or is not http(s).
RequestTarget requestTarget(const std::string& effectiveUrl) {
    std::string encoded;
    Poco::URI::encode(effectiveUrl, "", encoded);
    Poco::URI uri(encoded);
    RequestTarget t;
    std::string scheme = uri.getScheme();
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (scheme != "http" && scheme != "https")
        throw Poco::SyntaxException("Unsupported URL scheme", effectiveUrl);
    if (uri.getHost().empty()) throw Poco::SyntaxException("URL without a host", effectiveUrl);
    t.secure = scheme == "https";
    t.host = uri.getHost();
    t.port = uri.getPort();
    t.objectName = uri.getPath();
    std::string query = uri.getQuery();
    if (!query.empty()) t.objectName += "?" + query;
    std::string host = t.host.find(':') != std::string::npos ? "[" + t.host + "]" : t.host;
    std::string pathEtc = uri.getPathEtc();
    if (pathEtc.empty() || pathEtc[0] != '/') pathEtc = "/" + pathEtc;
    t.requestUrl = scheme + "://" + host + ":" + std::to_string(t.port) + pathEtc;
    return t;
}

}  // namespace

DownloadTask::DownloadTask(QueueRef parent, FilePart& p, std::string url)
    : parentThreadId(std::move(parent)), part(p), pageFileUrl(std::move(url)) {}

DownloadTask::~DownloadTask() {
    requestStop();
    stopAndJoin();
}

void DownloadTask::startTask() {
    startThread([this](Message& m) {
        if (m.id == UM_TASK_COMMAND && m.wParam == UM_TASK_COMMAND &&
            (m.lParam == TaskCommand_Start || m.lParam == TaskCommand_Resume))
            runSession();
    });
}

void DownloadTask::setPageFileUrl(const std::string& url) {
    std::lock_guard lock(urlMutex_);
    pageFileUrl = url;
}

std::string DownloadTask::pageFileUrlCopy() const {
    std::lock_guard lock(urlMutex_);
    return pageFileUrl;
}

std::string DownloadTask::effectiveUrl(const std::string& partUrl, const std::string& pageUrl) {
    if (pageUrl.empty()) return partUrl;
    auto s = partUrl.rfind('/');
    if (s == std::string::npos) return pageUrl;
    auto p = pageUrl.rfind('/');
    std::string folder = p == std::string::npos ? pageUrl : pageUrl.substr(0, p);
    return folder + partUrl.substr(s);
}

void DownloadTask::abortRun() {
    {
        std::lock_guard lock(restMutex_);
        abortEpoch_.fetch_add(1);
    }
    restCv_.notify_all();
}

void DownloadTask::requestStop() {
    {
        std::lock_guard lock(restMutex_);
        stop_.store(true);
    }
    restCv_.notify_all();
    acknowledged.store(true);
    acknowledged.notify_all();
    int paused = PartState_Pause;
    if (part.state.compare_exchange_strong(paused, PartState_Abort)) part.state.notify_all();
}

bool DownloadTask::aborted() const {
    return part.state.load() == PartState_Abort || abortEpoch_.load() != runEpoch_;
}

void DownloadTask::fileOpened() {
    {
        std::lock_guard lock(restMutex_);
        fileOpenedEpoch_.fetch_add(1);
    }
    restCv_.notify_all();
}

void DownloadTask::rest(Millis d, bool abortable) {
    if (d.count() <= 0) return;
    std::unique_lock lock(restMutex_);
    restCv_.wait_for(lock, d, [&] { return stopping() || (abortable && aborted()); });
}

void DownloadTask::postTask(int code, intptr_t lParam) {
    parentThreadId->post(Message(UM_TASK_MESSAGE, static_cast<uintptr_t>(code), lParam));
}

void DownloadTask::trace(const std::string& text) {
    if (!part.file || !part.file->traceEnabled) return;
    parentThreadId->post(textMessage(UM_TASK_MESSAGE, DownloadTaskState_Log, text));
}

bool DownloadTask::recordFailure(const std::string* url, const std::string& text) {
    // The controller aborts the parts under the counters lock before it tells
    // the view, which then reads the error texts: a part aborted by then keeps
    // its texts as they are.
    std::unique_lock<Poco::FastMutex> lock;
    if (part.file) lock = std::unique_lock<Poco::FastMutex>(part.file->countersLock);
    if (part.state.load() == PartState_Abort) return false;
    if (url) part.errorUrl = *url;
    part.errorText = text;
    part.state.store(PartState_Error);
    part.state.notify_all();
    return true;
}

void DownloadTask::reportFailure(const std::string& url, const std::string& text) {
    if (recordFailure(&url, text)) postTask(DownloadTaskState_Error, part.index);
}

void DownloadTask::completePart() {
    // The length is settled and the layout given its chance before the
    // controller hears of the completion, so the file is never reopened after
    // the controller has closed it.
    part.length.store(part.readPosition.load());
    if (part.file) part.file->layoutStep();
    part.state.store(PartState_Completed);
    part.state.notify_all();
    postTask(DownloadTaskState_Completed, part.index);
}

void DownloadTask::runSession() {
    runEpoch_ = abortEpoch_.load();
    {
        std::unique_lock<Poco::FastMutex> lock;
        if (part.file) lock = std::unique_lock<Poco::FastMutex>(part.file->countersLock);
        part.errorUrl.clear();
        part.errorText.clear();
    }
    const bool tracing = part.file && part.file->traceEnabled;
    auto cancelled = [this] { return stopping() || aborted(); };

    for (;;) {
        if (stopping()) return;
        uint64_t readPos = static_cast<uint64_t>(part.readPosition.load());
        if (readPos >= static_cast<uint64_t>(part.length.load()) || aborted()) return;

        const std::string url = effectiveUrl(part.url, pageFileUrlCopy());
        RequestTarget target;
        try {
            target = requestTarget(url);
        } catch (const Poco::Exception& e) {
            reportFailure(e.what(), e.displayText());
            return;
        }
        const unsigned flags = target.secure ? kSecureRequestFlags : kRequestFlags;

        // Our transfers open one connection each; there is no per-server limit to raise.
        trace(
            "Download Start Phase - InternetSetOption(NULL, "
            "INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, 100, "
            "sizeof(dwMaxCount)) retCode = 1");
        trace(
            "InternetSetOption(NULL, INTERNET_OPTION_MAX_CONNS_PER_SERVER, 100, "
            "sizeof(dwMaxCount))retCode = 1");
        HttpSession session;
        trace(
            "InternetOpen(AfxGetAppName(), INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, "
            "INTERNET_FLAG_DONT_CACHE | "
            "INTERNET_FLAG_RELOAD)retCode = 1");
        trace(
            "InternetSetOption(hInternetSession, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, 100, "
            "sizeof(dwMaxCount));retCode = 1");
        if (!session.valid()) {
            trace(
                "InternetOpen(AfxGetAppName(), INTERNET_OPEN_TYPE_PROXY, NULL, *, "
                "INTERNET_FLAG_DONT_CACHE | "
                "INTERNET_FLAG_RELOAD);");
            reportFailure(url, "Failed initialization");
            return;
        }

        rest(pacing().attemptDelay, true);
        if (stopping()) return;
        if (aborted()) continue;  // the top of the loop ends the run

        trace("InternetConnect(hInternetSession, '" + target.host + "', " +
              std::to_string(target.port) +
              ", NULL, NULL, INTERNET_SERVICE_HTTP, 0, (DWORD) this);");

        std::string rangeText;
        if (readPos != 0) rangeText = "Range: bytes=" + std::to_string(readPos) + "-";
        std::vector<std::string> probeHeaders;
        if (!rangeText.empty()) probeHeaders.push_back(rangeText);
        if (tracing) probeHeaders.push_back("X-LDebug:2");

        auto probe =
            std::make_unique<HttpRequest>(session, target.requestUrl, probeHeaders, cancelled);
        trace("HttpOpenRequest(hHttpConnection, NULL, " + target.objectName +
              ", 'HTTP/1.1', NULL, NULL, " + std::to_string(flags) + ", 0)");
        trace("HttpSendRequest(hHttpFile, '" + rangeText + "', " +
              std::to_string(rangeText.size()) + ", NULL, 0)");
        if (!probe->send(pacing().receiveTimeout)) {
            if (stopping()) return;
            if (aborted()) continue;
            reportFailure(url, probe->errorText());
            return;
        }
        long status = probe->status();
        trace(
            "HttpQueryInfo(hHttpFile, HTTP_QUERY_STATUS_CODE, szStatusCode, &dwInfoSize, NULL) "
            "return statusCode " +
            std::to_string(status));
        if (status == 416) {
            // Nothing left from readPosition on: the part is complete.
            probe.reset();
            completePart();
            return;
        }
        if (status != 200 && status != 206) {
            reportFailure(url, std::to_string(status));
            return;
        }
        if (auto cl = probe->contentLength()) {
            contentLength = *cl;
            trace(
                "HttpQueryInfo(hHttpFile, HTTP_QUERY_CONTENT_LENGTH, szContentLength, &dwInfoSize, "
                "NULL) return "
                "m_ulContentLength " +
                std::to_string(static_cast<uint32_t>(contentLength)));
        }
        if (contentLength == 0) continue;

        // A 200 answer carries the whole part whatever was asked; a 206 answer
        // carries what is left from readPosition on.
        const bool wholeBody = status == 200;
        if (wholeBody && contentLength == readPos) {
            trace("Download of " + url + " is completed.  Size: " + std::to_string(contentLength));
            probe.reset();
            completePart();
            continue;
        }
        if (wholeBody && contentLength < readPos) {
            // The server's file is shorter than what we already hold: resuming
            // would mix two different files.
            reportFailure(url, std::to_string(status));
            return;
        }
        if (!isKnownLength(part.length.load()))
            part.length.store(
                static_cast<int64_t>(wholeBody ? contentLength : readPos + contentLength));

        if (part.file) part.file->layoutStep();

        probe.reset();
        trace("InternetCloseHandle( hHttpFile )");

        // The data request asks from the position the part has now.
        readPos = static_cast<uint64_t>(part.readPosition.load());
        std::string dataRange =
            readPos != 0 ? "Range: bytes=" + std::to_string(readPos) + "-" : std::string();
        std::vector<std::string> dataHeaders;
        if (!dataRange.empty()) dataHeaders.push_back(dataRange);
        HttpRequest data(session, target.requestUrl, dataHeaders, cancelled);
        trace("HttpOpenRequest(hHttpConnection, NULL, " + target.objectName +
              ", NULL, NULL, NULL, " + std::to_string(flags) + ", 0)");
        trace("HttpSendRequest(hHttpFile, '" + dataRange + "', " +
              std::to_string(dataRange.size()) + ", NULL, 0)");
        if (!data.send(pacing().receiveTimeout)) {
            if (stopping()) return;
            if (aborted()) continue;
            reportFailure(url, data.errorText());
            return;
        }
        long dataStatus = data.status();
        if (dataStatus == 416) {
            completePart();
            return;
        }
        if (dataStatus != 200 && dataStatus != 206) {
            reportFailure(url, std::to_string(dataStatus));
            return;
        }
        // Where the body starts in the part: a server that ignores Range sends
        // from 0, and those bytes are skipped rather than written at readPosition.
        uint64_t bodyStart = 0;
        if (dataStatus == 206) {
            bodyStart = readPos;
            if (auto cr = data.header("Content-Range")) {
                if (auto start = contentRangeStart(*cr); start && *start != readPos) {
                    reportFailure(url, std::to_string(dataStatus));
                    return;
                }
            }
        }

        int expected = PartState_Start;
        if (part.state.compare_exchange_strong(expected, PartState_WaitFile))
            part.state.notify_all();
        // Wait until the output file is open (also after an early pause or resume).
        while (!stopping() && !aborted()) {
            const uint32_t seen =
                fileOpenedEpoch_.load();  // before the checks: a wake-up is never missed
            int s = part.state.load();
            if (s == PartState_Error || s == PartState_Completed) break;
            if (s != PartState_WaitFile && part.file && part.file->outputOpen.load()) break;
            if (!part.file && s != PartState_WaitFile) break;
            std::unique_lock lock(restMutex_);
            restCv_.wait_for(lock, pacing().waitFilePoll, [&] {
                return stopping() || aborted() || fileOpenedEpoch_.load() != seen;
            });
        }
        if (stopping()) return;
        if (aborted()) continue;
        if (static_cast<uint64_t>(part.readPosition.load()) != readPos)
            continue;  // moved meanwhile: ask again

        if (processDownloadStream(data, readPos - bodyStart) == StreamResult::Failed) return;
    }
}

DownloadTask::StreamResult DownloadTask::processDownloadStream(HttpRequest& request,
                                                               uint64_t skip) {
    const auto timeout = pacing().receiveTimeout;
    trace("processDownloadStream");
    trace("InternetSetOption(hHttpFile, INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT," +
          std::to_string(timeout.count()) + ", sizeof(dwTimeout))retCode = 1");
    auto readFailure = [&]() {
        if (stopping()) return StreamResult::Failed;
        if (aborted()) return StreamResult::Done;
        // A read failure names no URL.
        if (recordFailure(nullptr, request.errorText()))
            postTask(DownloadTaskState_Error, part.index);
        return StreamResult::Failed;
    };
    try {
        trace("First InternetReadFile call");
        if (buffer_.size() != kBufferSize) buffer_.assign(kBufferSize, 0);
        char* buf = buffer_.data();
        // Bytes before readPosition that a Range-ignoring server sends again.
        while (skip > 0) {
            int64_t n = request.read(
                buf, static_cast<size_t>(std::min<uint64_t>(skip, kBufferSize)), timeout);
            if (n < 0) return readFailure();
            if (n == 0) {
                rest(pacing().reconnectDelay, true);
                return StreamResult::Done;
            }
            skip -= static_cast<uint64_t>(n);
        }
        int64_t n = request.read(buf, kBufferSize, timeout);
        if (n < 0) return readFailure();
        indexText_ = std::to_string(part.index);
        for (;;) {
            if (stopping()) return StreamResult::Failed;
            // Never hand over more than the part's stretch of the file holds.
            int64_t length = part.length.load();
            if (isKnownLength(length) && n > 0)
                n = std::min<int64_t>(n, std::max<int64_t>(0, length - part.readPosition.load()));
            if (n == 0 || aborted()) {
                if (part.readPosition.load() == part.length.load()) {
                    part.state.store(PartState_Completed);
                    part.state.notify_all();
                    trace("InternetReadFile loop completed");
                    postTask(DownloadTaskState_Completed, part.index);
                    return StreamResult::Done;
                }
                rest(pacing().reconnectDelay, true);
                return StreamResult::Done;
            }
            countText_ = std::to_string(n);
            auto chunk = std::make_unique<ChunkList>();
            chunk->indexText = &indexText_;
            chunk->buffer = buf;
            chunk->countText = &countText_;
            acknowledged.store(false);
            parentThreadId->post(
                Message(UM_TASK_MESSAGE, DownloadTaskState_Data, 0, std::move(chunk)));
            while (!acknowledged.load() && !stopping()) acknowledged.wait(false);
            if (stopping())
                return StreamResult::Failed;  // the controller may still be reading the buffer

            if (part.state.load() == PartState_Pause) {
                postTask(DownloadTaskState_Paused, 0);
                int s = PartState_Pause;
                while ((s = part.state.load()) == PartState_Pause && !stopping())
                    part.state.wait(PartState_Pause);
                if (stopping()) return StreamResult::Failed;
                if (s != PartState_Go) {
                    rest(pacing().pauseExit, false);
                    return StreamResult::Done;
                }
            }
            if (isKnownLength(part.length.load()) &&
                part.readPosition.load() >= part.length.load()) {
                n = 0;  // the part is whole; whatever else the body holds is not ours
                continue;
            }
            n = request.read(buf, kBufferSize, timeout);
            if (n < 0) return readFailure();
        }
    } catch (const Poco::Exception& e) {
        trace("DownloadTask::processDownloadStream Exception =  " + e.displayText());
        rest(pacing().reconnectDelay, true);
        return StreamResult::Done;
    }
}

}  // namespace quenlow
