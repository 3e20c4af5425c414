#include "package/UnpackMessageHandler.h"

#include "platform/Messages.h"
#include "platform/Pacing.h"

namespace quenlow {

intptr_t UnpackMessageHandler::handleMessage(const Message& msg) const {
    if (msg.id != UM_PROCESS_STATUS() && msg.id != UM_UNPACK_PERCENT) return 0;
    if (targetThread)
        targetThread->post(Message(UM_TASK_MESSAGE, DownloadTaskState_Progress, msg.lParam));
    sleepFor(pacing().relayDelay);
    return 1;
}

}  // namespace quenlow
