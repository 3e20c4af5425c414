#pragma once
// The part download task: fetches one FilePart over HTTP and hands every chunk
// to its file's controller.

#include <atomic>
#include <string>

#include "platform/WorkerThread.h"
#include "state/Records.h"

namespace quenlow {

class DownloadTask : public WorkerThread {
public:
    DownloadTask(QueueRef parentThreadId, FilePart& part, std::string pageFileUrl);

    QueueRef parentThreadId;
    FilePart& part;
    std::string pageFileUrl;
    uint64_t contentLength = 0;
    std::atomic<bool> acknowledged{false};
};

}  // namespace quenlow
