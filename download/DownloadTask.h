#pragma once
// The part download task: fetches one FilePart over HTTP and hands every chunk
// to its file's controller.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "download/File.h"
#include "platform/Http.h"
#include "platform/WorkerThread.h"

namespace quenlow {

class DownloadTask : public WorkerThread {
  public:
    static constexpr size_t kBufferSize = 131072;

    DownloadTask(QueueRef parentThreadId, FilePart& part, std::string pageFileUrl);
    ~DownloadTask() override;

    QueueRef parentThreadId;
    FilePart& part;
    std::string
        pageFileUrl;  // guarded by urlMutex: the controller refreshes it while a run may read it
    uint64_t contentLength = 0;
    std::atomic<bool> acknowledged{false};

    // Starts the thread: runs one session per UM_TASK_COMMAND 1 or 3.
    void startTask();
    void setPageFileUrl(const std::string& url);
    std::string pageFileUrlCopy() const;

    // One run: attempts until the part is complete, aborted or failed.
    void runSession();

    // Makes the run in progress end at its next check, even in the middle of a
    // read (abortFileParts). Runs started later are not affected.
    void abortRun();
    // Ends the wait for the output file at once (the controller opened it);
    // the wait otherwise checks every waitFilePoll.
    void fileOpened();
    // Ends every wait and transfer for good (shutdown). Does not join.
    void requestStop();

    // The URL the part is fetched from (the part's URL under pageFileUrl's folder).
    static std::string effectiveUrl(const std::string& partUrl, const std::string& pageFileUrl);

  protected:
    void onStopRequested() override { requestStop(); }

  private:
    enum class StreamResult { Done, Failed };

    StreamResult processDownloadStream(HttpRequest& request, uint64_t skip);
    // Sets the error texts and PartState_Error unless the part was aborted
    // meanwhile; false then (nothing to report).
    bool recordFailure(const std::string* url, const std::string& text);
    void reportFailure(const std::string& url, const std::string& text);
    void postTask(int code, intptr_t lParam);
    void trace(const std::string& text);
    bool aborted() const;
    bool stopping() const { return stop_.load(); }
    // Sleeps, ending early at shutdown (or on abort when abortable).
    void rest(Millis d, bool abortable);
    void completePart();

    mutable std::mutex urlMutex_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> abortEpoch_{0};
    std::atomic<uint32_t> fileOpenedEpoch_{0};
    uint32_t runEpoch_ = 0;
    std::mutex restMutex_;
    std::condition_variable restCv_;

    // The read buffer and the chunk texts live with the task, not the run: the
    // controller may still read them while a run ends at shutdown.
    std::vector<char> buffer_;
    std::string indexText_;
    std::string countText_;
};

}  // namespace quenlow
