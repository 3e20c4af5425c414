#include "download/DownloadTask.h"

#include <Poco/Exception.h>
#include <Poco/URI.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>

#include "download/TaskTraces.h"
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

// Percent-encodes the effective URL with an empty reserved set and parses it.
// Throws Poco::Exception for a URL that does not parse or is not http(s).
DownloadTask::RequestTarget requestTarget(const std::string& effectiveUrl) {
    std::string encoded;
    Poco::URI::encode(effectiveUrl, "", encoded);
    Poco::URI uri(encoded);
    DownloadTask::RequestTarget t;
    const std::string scheme = lowerAscii(uri.getScheme());
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

int64_t DownloadTask::partLength(uint64_t readPos, uint64_t contentLength) {
    // A length no file can have stays the largest one, so that the layout
    // refuses it as too big for the disk instead of wrapping around.
    constexpr uint64_t kLargest = static_cast<uint64_t>(INT64_MAX);
    if (contentLength > kLargest - std::min(readPos, kLargest)) return INT64_MAX;
    return static_cast<int64_t>(readPos + contentLength);
}

DownloadTask::DownloadTask(QueueRef parent, FilePart& p, std::string url)
    : parentThreadId(std::move(parent)), part(p), pageFileUrl_(std::move(url)) {}

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
    pageFileUrl_ = url;
}

std::string DownloadTask::pageFileUrlCopy() const {
    std::lock_guard lock(urlMutex_);
    return pageFileUrl_;
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
    if (!tracing()) return;
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
    part.length.store(part.nextReadPosition.load());
    if (part.file) part.file->layoutStep();
    part.state.store(PartState_Completed);
    part.state.notify_all();
    postTask(DownloadTaskState_Completed, part.index);
}

void DownloadTask::trace(const std::vector<std::string>& texts) {
    for (const auto& t : texts) trace(t);
}

bool DownloadTask::tracing() const { return part.file && part.file->traceEnabled; }

bool DownloadTask::cancelled() const { return stopping() || aborted(); }

void DownloadTask::clearErrorTexts() {
    std::unique_lock<Poco::FastMutex> lock;
    if (part.file) lock = std::unique_lock<Poco::FastMutex>(part.file->countersLock);
    part.errorUrl.clear();
    part.errorText.clear();
}

void DownloadTask::runSession() {
    runEpoch_ = abortEpoch_.load();
    attemptsThisRun_ = 0;
    clearErrorTexts();
    // Attempts that bring no new byte count; one that brings bytes starts the
    // count again, so short bodies that progress still reconnect.
    int fruitless = 0;
    for (;;) {
        const int64_t before = part.nextReadPosition.load();
        if (runAttempt() != Step::Next || runIsOver()) return;
        if (part.nextReadPosition.load() != before) {
            fruitless = 0;
        } else if (++fruitless >= kMaxFruitlessAttempts) {
            reportFailure(effectiveUrl(part.url, pageFileUrlCopy()),
                          "No data received in " + std::to_string(kMaxFruitlessAttempts) +
                              " attempts in a row");
            return;
        }
    }
}

bool DownloadTask::runIsOver() const {
    if (stopping()) return true;
    uint64_t readPos = static_cast<uint64_t>(part.nextReadPosition.load());
    return readPos >= static_cast<uint64_t>(part.length.load()) || aborted();
}

DownloadTask::Step DownloadTask::runAttempt() {
    if (runIsOver()) return Step::End;
    Attempt a;
    if (Step s = openAttempt(a); s != Step::Continue) return s;

    const uint64_t probePos = static_cast<uint64_t>(part.nextReadPosition.load());
    Step outcome = Step::End;
    auto probe = sendAndCheck(a, Request::Probe, probePos, outcome);
    if (!probe) return outcome;
    if (Step s = learnLength(a, *probe, probePos); s != Step::Continue) return s;
    probe.reset();
    trace(taskTrace::closeProbe());

    // The data request asks from the position the part has now.
    const uint64_t readPos = static_cast<uint64_t>(part.nextReadPosition.load());
    auto data = sendAndCheck(a, Request::Data, readPos, outcome);
    if (!data) return outcome;
    // A 206 answer starts at readPos (checked); a server that ignores Range
    // sends from 0, and those bytes are skipped rather than written at readPos.
    const uint64_t bodyStart = data->status() == 206 ? readPos : 0;
    waitForOutputFile();
    if (stopping()) return Step::End;
    if (aborted()) return Step::Next;
    if (static_cast<uint64_t>(part.nextReadPosition.load()) != readPos)
        return Step::Next;  // moved meanwhile: ask again
    if (processDownloadStream(*data, readPos - bodyStart) == StreamResult::Failed) return Step::End;
    return Step::Next;
}

DownloadTask::Step DownloadTask::openAttempt(Attempt& a) {
    a.url = effectiveUrl(part.url, pageFileUrlCopy());
    try {
        a.target = requestTarget(a.url);
    } catch (const Poco::Exception& e) {
        reportFailure(e.what(), e.displayText());
        return Step::End;
    }
    trace(taskTrace::sessionOpening());
    if (!a.session.valid()) {
        trace(taskTrace::proxySessionOpening());
        reportFailure(a.url, "Failed initialization");
        return Step::End;
    }
    // The delay paces retries (a server answering Content-Length 0 is not
    // asked in a tight loop); the first attempt of a run goes out at once.
    if (attemptsThisRun_++ > 0) rest(pacing().attemptDelay, true);
    if (stopping()) return Step::End;
    if (aborted()) return Step::Next;  // the top of the loop ends the run
    trace(taskTrace::connect(a.target.host, a.target.port));
    return Step::Continue;
}

std::unique_ptr<HttpRequest> DownloadTask::sendAndCheck(Attempt& a, Request kind, uint64_t readPos,
                                                        Step& whenNone) {
    const bool probe = kind == Request::Probe;
    std::string rangeText;
    if (readPos != 0) rangeText = "Range: bytes=" + std::to_string(readPos) + "-";
    std::vector<std::string> headers;
    if (!rangeText.empty()) headers.push_back(rangeText);
    // The trace header goes with the probe only.
    if (probe && tracing()) headers.push_back("X-LDebug:2");

    auto request = std::make_unique<HttpRequest>(a.session, a.target.requestUrl, headers,
                                                 [this] { return cancelled(); });
    const unsigned flags = a.target.secure ? kSecureRequestFlags : kRequestFlags;
    trace(taskTrace::openRequest(a.target.objectName, flags, probe));
    trace(taskTrace::sendRequest(rangeText));
    whenNone = Step::End;
    if (!request->send(pacing().receiveTimeout)) {
        if (stopping()) return nullptr;
        if (aborted()) {
            whenNone = Step::Next;
            return nullptr;
        }
        reportFailure(a.url, request->errorText());
        return nullptr;
    }
    const long status = request->status();
    if (probe) trace(taskTrace::statusCode(status));
    if (status == 416) {
        // Nothing left from readPosition on: the part is complete.
        request.reset();
        completePart();
        return nullptr;
    }
    if (status != 200 && status != 206) {
        reportFailure(a.url, std::to_string(status));
        return nullptr;
    }
    // A partial answer that does not say it starts where we asked would land
    // its bytes at the wrong place in the file.
    if (status == 206 && !startsAt(*request, readPos)) {
        reportFailure(a.url,
                      "206 (the answer does not start at byte " + std::to_string(readPos) + ")");
        return nullptr;
    }
    return request;
}

DownloadTask::Step DownloadTask::learnLength(Attempt& a, HttpRequest& probe, uint64_t readPos) {
    if (auto cl = probe.contentLength()) {
        contentLength = *cl;
        trace(taskTrace::contentLength(contentLength));
    }
    if (contentLength == 0) return Step::Next;

    // A 200 answer carries the whole part whatever was asked; a 206 answer
    // carries what is left from readPosition on.
    const bool wholeBody = probe.status() == 200;
    if (wholeBody && contentLength == readPos) {
        trace(taskTrace::completedBySize(a.url, contentLength));
        completePart();
        return Step::Next;
    }
    if (wholeBody && contentLength < readPos) {
        // The server's file is shorter than what we already hold: resuming
        // would mix two different files.
        reportFailure(a.url, std::to_string(probe.status()));
        return Step::End;
    }
    if (!isKnownLength(part.length.load()))
        part.length.store(partLength(wholeBody ? 0 : readPos, contentLength));
    if (part.file) part.file->layoutStep();
    return Step::Continue;
}

bool DownloadTask::startsAt(const HttpRequest& answer, uint64_t readPos) {
    auto cr = answer.header("Content-Range");
    if (!cr) return false;
    auto start = contentRangeStart(*cr);
    return start && *start == readPos;
}

void DownloadTask::waitForOutputFile() {
    int expected = PartState_Start;
    if (part.state.compare_exchange_strong(expected, PartState_WaitFile)) part.state.notify_all();
    // Also after an early pause or resume.
    while (!stopping() && !aborted()) {
        // Read before the checks, so a wake-up is never missed.
        const uint32_t seen = fileOpenedEpoch_.load();
        int s = part.state.load();
        if (s == PartState_Error || s == PartState_Completed) return;
        if (s != PartState_WaitFile && part.file && part.file->outputIsOpen()) return;
        if (!part.file && s != PartState_WaitFile) return;
        std::unique_lock lock(restMutex_);
        restCv_.wait_for(lock, pacing().waitFilePoll, [&] {
            return stopping() || aborted() || fileOpenedEpoch_.load() != seen;
        });
    }
}

DownloadTask::StreamResult DownloadTask::readFailure(const HttpRequest& request) {
    if (stopping()) return StreamResult::Failed;
    if (aborted()) return StreamResult::Done;
    // A read failure names no URL.
    if (recordFailure(nullptr, request.errorText())) postTask(DownloadTaskState_Error, part.index);
    return StreamResult::Failed;
}

bool DownloadTask::skipResentBytes(HttpRequest& request, uint64_t skip, StreamResult& result) {
    const auto timeout = pacing().receiveTimeout;
    char* buf = fillBuffer();
    while (skip > 0) {
        int64_t n =
            request.read(buf, static_cast<size_t>(std::min<uint64_t>(skip, kBufferSize)), timeout);
        if (n < 0) {
            result = readFailure(request);
            return false;
        }
        if (n == 0) {
            rest(pacing().reconnectDelay, true);
            result = StreamResult::Done;
            return false;
        }
        skip -= static_cast<uint64_t>(n);
    }
    return true;
}

DownloadTask::StreamResult DownloadTask::endOfBody() {
    if (part.nextReadPosition.load() == part.length.load()) {
        part.state.store(PartState_Completed);
        part.state.notify_all();
        trace(taskTrace::readLoopCompleted());
        postTask(DownloadTaskState_Completed, part.index);
        return StreamResult::Done;
    }
    rest(pacing().reconnectDelay, true);
    return StreamResult::Done;
}

void DownloadTask::handOverChunk(int64_t n) {
    std::string& countText = countTexts_[filling_];
    countText = std::to_string(n);
    auto chunk = std::make_unique<ChunkList>();
    chunk->indexText = &indexText_;
    chunk->buffer = fillBuffer();
    chunk->countText = &countText;
    acknowledged.store(false);
    inFlight_ = true;
    parentThreadId->post(Message(UM_TASK_MESSAGE, DownloadTaskState_Data, 0, std::move(chunk)));
    filling_ ^= 1;
}

bool DownloadTask::awaitAcknowledgement() {
    if (inFlight_) {
        while (!acknowledged.load() && !stopping()) acknowledged.wait(false);
        inFlight_ = false;
    }
    // At shutdown the controller may still be reading the buffer.
    return !stopping();
}

DownloadTask::PauseOutcome DownloadTask::honourPause() {
    if (part.state.load() != PartState_Pause) return PauseOutcome::Go;
    postTask(DownloadTaskState_Paused, 0);
    int s = PartState_Pause;
    while ((s = part.state.load()) == PartState_Pause && !stopping())
        part.state.wait(PartState_Pause);
    if (stopping()) return PauseOutcome::Stop;
    if (s == PartState_Go) return PauseOutcome::Go;
    rest(pacing().pauseExit, false);
    return PauseOutcome::Leave;
}

int64_t DownloadTask::clampToPart(int64_t n) const {
    // Never hand over more than the part's stretch of the file holds.
    int64_t length = part.length.load();
    if (isKnownLength(length) && n > 0)
        return std::min<int64_t>(n, std::max<int64_t>(0, length - part.nextReadPosition.load()));
    return n;
}

DownloadTask::StreamResult DownloadTask::processDownloadStream(HttpRequest& request,
                                                               uint64_t skip) {
    StreamResult result = streamBody(request, skip);
    // Whatever ended the stream, the next one starts with both buffers free.
    awaitAcknowledgement();
    return result;
}

DownloadTask::StreamResult DownloadTask::streamBody(HttpRequest& request, uint64_t skip) {
    const auto timeout = pacing().receiveTimeout;
    trace(taskTrace::streamStart());
    trace(taskTrace::receiveTimeout(timeout.count()));
    try {
        trace(taskTrace::firstRead());
        for (auto& b : buffers_)
            if (b.size() != kBufferSize) b.assign(kBufferSize, 0);
        // Bytes before readPosition that a Range-ignoring server sends again.
        if (StreamResult r; !skipResentBytes(request, skip, r)) return r;
        int64_t n = request.read(fillBuffer(), kBufferSize, timeout);
        if (n < 0) return readFailure(request);
        indexText_ = std::to_string(part.index);
        for (;;) {
            if (stopping()) return StreamResult::Failed;
            // The previous chunk is written: the part's positions are exact.
            if (!awaitAcknowledgement()) return StreamResult::Failed;
            n = clampToPart(n);
            if (n == 0 || aborted()) return endOfBody();
            const int64_t reached = part.nextReadPosition.load() + n;
            handOverChunk(n);
            switch (honourPause()) {
                case PauseOutcome::Stop:
                    return StreamResult::Failed;
                case PauseOutcome::Leave:
                    return StreamResult::Done;
                case PauseOutcome::Go:
                    break;
            }
            if (isKnownLength(part.length.load()) && reached >= part.length.load()) {
                n = 0;  // the part is whole; whatever else the body holds is not ours
                continue;
            }
            n = request.read(fillBuffer(), kBufferSize, timeout);
            if (n < 0) return readFailure(request);
        }
    } catch (const Poco::Exception& e) {
        trace(taskTrace::streamException(e.displayText()));
        rest(pacing().reconnectDelay, true);
        return StreamResult::Done;
    }
}

}  // namespace quenlow
