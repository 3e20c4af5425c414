#pragma once
// Relays the decompressor's percent messages to the file controller as
// UM_TASK_MESSAGE code 1 (DownloadTaskState_Progress). It stands in for the
// message-only window of the original design: the extraction hands it a
// message and it forwards it at once, then waits pacing().relayDelay.

#include <cstdint>

#include "platform/MessageQueue.h"

namespace quenlow {

class UnpackMessageHandler {
  public:
    UnpackMessageHandler() = default;

    // The controller queue that receives the relayed percents. Set before the
    // job starts; read only by the thread that runs the job.
    QueueRef targetThread;

    // Handles UM_PROCESS_STATUS and the legacy layout's UM_UNPACK_PERCENT
    // (lParam = percent) and returns 1; other messages are ignored (0).
    intptr_t handleMessage(const Message& msg) const;
};

}  // namespace quenlow
