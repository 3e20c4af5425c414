#pragma once
// The part download task: fetches one FilePart over HTTP and hands every chunk
// to its file's controller.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "download/File.h"
#include "platform/Http.h"
#include "platform/WorkerThread.h"

namespace quenlow {

// Runs on its own thread; the controller reaches it only through its queue,
// the part's shared fields, `acknowledged` and the wake-ups below (abortRun,
// fileOpened, requestStop), which any thread may call.
class DownloadTask : public WorkerThread {
  public:
    static constexpr size_t kBufferSize = 131072;
    static constexpr int kMaxFruitlessAttempts = 5;

    DownloadTask(QueueRef parentThreadId, FilePart& part, std::string pageFileUrl);
    ~DownloadTask() override;

    QueueRef parentThreadId;  // the controller, which gets every report
    FilePart& part;
    // Cleared before a chunk is handed over, set by the controller once it has it.
    std::atomic<bool> acknowledged{false};

    // Starts the thread: runs one session per UM_TASK_COMMAND 1 or 3.
    void startTask();
    void setPageFileUrl(const std::string& url);

    // Makes the run in progress end at its next check, even in the middle of a
    // read (abortFileParts). Runs started later are not affected.
    void abortRun();
    // Ends the wait for the output file at once (the controller opened it);
    // the wait otherwise checks every waitFilePoll.
    void fileOpened();
    // Ends every wait and transfer for good (shutdown). Does not join.
    void requestStop();

    // readPos + contentLength, saturated at the largest int64.
    static int64_t partLength(uint64_t readPos, uint64_t contentLength);

    // The URL the part is fetched from (the part's URL under pageFileUrl's folder).
    static std::string effectiveUrl(const std::string& partUrl, const std::string& pageFileUrl);

    // Where a request goes: parsed from the effective URL.
    struct RequestTarget {
        std::string requestUrl;  // what goes to the HTTP layer (percent-encoded)
        std::string host;
        unsigned port = 0;
        std::string objectName;  // decoded path and query, for the traces
        bool secure = false;
    };

  protected:
    void onStopRequested() override { requestStop(); }

  private:
    enum class StreamResult { Done, Failed };
    // Continue: this step went through, the attempt goes on; Next: start the
    // next attempt; End: the run is over.
    enum class Step { Continue, Next, End };
    enum class Request { Probe, Data };
    enum class PauseOutcome { Go, Leave, Stop };

    // What one attempt works with: the URL, where it goes and the session.
    struct Attempt {
        std::string url;
        RequestTarget target;
        HttpSession session;
    };

    // One run: attempts until the part is complete, aborted or failed.
    void runSession();
    std::string pageFileUrlCopy() const;
    bool runIsOver() const;
    Step runAttempt();
    // Works out the URL, opens the session and paces the attempt.
    Step openAttempt(Attempt& a);
    // Sends the probe or the data request and checks its status: nullptr when
    // the attempt ends here (416, a failure), with whenNone telling how.
    std::unique_ptr<HttpRequest> sendAndCheck(Attempt& a, Request kind, uint64_t readPos,
                                              Step& whenNone);
    // Takes the part's length from the probe's Content-Length and lays the file out.
    Step learnLength(Attempt& a, HttpRequest& probe, uint64_t readPos);
    // Does a 206 answer say it starts at readPos?
    static bool startsAt(const HttpRequest& answer, uint64_t readPos);
    void waitForOutputFile();
    void clearErrorTexts();

    StreamResult processDownloadStream(HttpRequest& request, uint64_t skip);
    bool skipResentBytes(HttpRequest& request, uint64_t skip, StreamResult& result);
    int64_t clampToPart(int64_t n) const;
    // The stream proper; processDownloadStream ends it with the last chunk
    // acknowledged.
    StreamResult streamBody(HttpRequest& request, uint64_t skip);
    // Posts the filled buffer's first n bytes to the controller and turns to
    // the other buffer: the next read goes on while the controller writes.
    void handOverChunk(int64_t n);
    // Waits until the controller has the chunk in flight, if any: the part's
    // written positions then count it. False at shutdown.
    bool awaitAcknowledgement();
    PauseOutcome honourPause();
    StreamResult endOfBody();
    StreamResult readFailure(const HttpRequest& request);

    // Sets the error texts and PartState_Error unless the part was aborted
    // meanwhile; false then (nothing to report).
    bool recordFailure(const std::string* url, const std::string& text);
    void reportFailure(const std::string& url, const std::string& text);
    void postTask(int code, intptr_t lParam);
    bool tracing() const;
    void trace(const std::string& text);
    void trace(const std::vector<std::string>& texts);
    bool aborted() const;
    bool cancelled() const;
    bool stopping() const { return stop_.load(); }
    // Sleeps, ending early at shutdown (or on abort when abortable).
    void rest(Millis d, bool abortable);
    void completePart();

    // The controller refreshes the page's URL while a run may read it.
    mutable std::mutex urlMutex_;
    std::string pageFileUrl_;
    uint64_t contentLength = 0;  // of the last response that had one
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> abortEpoch_{0};
    std::atomic<uint32_t> fileOpenedEpoch_{0};
    uint32_t runEpoch_ = 0;
    int attemptsThisRun_ = 0;
    std::mutex restMutex_;
    std::condition_variable restCv_;

    // Two read buffers and the chunk texts live with the task, not the run:
    // the controller may still read them while a run ends at shutdown. One
    // chunk at most is in flight, so the other buffer is always free to fill.
    std::vector<char> buffers_[2];
    std::string countTexts_[2];
    std::string indexText_;
    int filling_ = 0;        // the buffer the next read goes into
    bool inFlight_ = false;  // a chunk handed over and not yet acknowledged
    char* fillBuffer() { return buffers_[filling_].data(); }
};

}  // namespace quenlow
