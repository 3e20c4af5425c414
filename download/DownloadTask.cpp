#include "download/DownloadTask.h"

#include <utility>

namespace quenlow {

DownloadTask::DownloadTask(QueueRef parent, FilePart& p, std::string url)
    : parentThreadId(std::move(parent)), part(p), pageFileUrl(std::move(url)) {}

}  // namespace quenlow
