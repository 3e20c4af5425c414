#pragma once
// The reports the CRC pass and the extraction post to the file controller:
// UM_TASK_MESSAGE with a DownloadTaskState code, or a log line (code 16).

#include <cstdint>
#include <string>
#include <utility>

#include "platform/MessageQueue.h"
#include "platform/Messages.h"

namespace quenlow {

inline void postReport(const QueueRef& to, int code, intptr_t lParam) {
    if (to) to->post(Message(UM_TASK_MESSAGE, static_cast<uintptr_t>(code), lParam));
}

inline void postLog(const QueueRef& to, std::string text) {
    if (to) to->post(textMessage(UM_TASK_MESSAGE, DownloadTaskState_Log, std::move(text)));
}

}  // namespace quenlow
