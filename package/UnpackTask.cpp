#include "package/UnpackTask.h"

#include <utility>

#include "package/PackageCatalogue.h"
#include "package/PackageExtraction.h"
#include "package/PackageFile.h"
#include "platform/Messages.h"
#include "platform/Pacing.h"

namespace quenlow {

UnpackParameter SplitUnpackParameter(const std::string& parameter) {
    UnpackParameter p;
    const size_t mark = parameter.find("^^");
    if (mark == std::string::npos) return p;  // no key, no CRC check
    p.packageKey = parameter.substr(mark + 2);
    if (mark == 0) return p;
    p.skipCrc = false;
    p.expectedCrc = static_cast<uint32_t>(ParseSignedDecimal(parameter.substr(0, mark)));
    return p;
}

UnpackTask::UnpackTask(std::string packagePath_, std::string outputFolder_,
                       std::string unpackParameter_, bool deleteOnCrcFailure_, QueueRef controller_)
    : packagePath(std::move(packagePath_)),
      outputFolder(std::move(outputFolder_)),
      unpackParameter(std::move(unpackParameter_)),
      deleteOnCrcFailure(deleteOnCrcFailure_),
      controller(std::move(controller_)) {}

UnpackTask::~UnpackTask() { stopAndJoin(); }

void UnpackTask::startTask() {
    startThread([this](Message& msg) { OnCommandMessage(msg); });
}

void UnpackTask::OnCommandMessage(const Message& msg) {
    if (msg.id != UM_TASK_COMMAND && msg.id != UM_SAVE_STATE) return;
    if (msg.wParam != UM_TASK_COMMAND || msg.lParam != TaskCommand_Unpack) return;
    runJob();
}

int UnpackTask::runJob() {
    const uint32_t progressMessage = UM_PROCESS_STATUS();
    PackageCatalogue catalogue;
    catalogue.reportThread = controller;
    catalogue.stopFlag = &stopFlag();
    messageHandler.targetThread = controller;
    launchFolder.clear();

    const UnpackParameter p = SplitUnpackParameter(unpackParameter);

    // A full disk travels as the disk-space error code, so the page can say so.
    auto fail = [this, &catalogue] {
        const intptr_t reason = catalogue.outOfDiskSpace ? Error_DiskSpace : 0;
        if (controller)
            controller->post(Message(UM_TASK_MESSAGE, DownloadTaskState_UnpackFailed, reason));
        sleepFor(pacing().yieldAfterPost);
    };

    uint32_t firstWord = 0;
    {
        // A missing package is created empty, as the controller expects of this
        // open; its first word then reads as 0.
        PackageFile package;
        if (!package.open(packagePath, O_RDONLY | O_CREAT)) {
            fail();
            return Unpack_NotLoaded;
        }
        if (!package.readWord(firstWord)) firstWord = 0;
    }

    int result;
    if (IsVersionedLayoutWord(firstWord) || p.packageKey.size() > 50) {
        result = Unpack(catalogue, packagePath, outputFolder, launchFolder, progressMessage,
                        &messageHandler, p.skipCrc, p.expectedCrc, p.packageKey, deleteOnCrcFailure,
                        controller);
    } else {
        // Legacy percents go through the same relay, so the page shows them too.
        result =
            UnpackLegacy(catalogue, packagePath, outputFolder, UM_UNPACK_PERCENT, &messageHandler)
                ? Unpack_Done
                : Unpack_NotLoaded;
    }

    if (result == Unpack_Done) {
        sleepFor(pacing().unpackedReportDelay);
        if (controller)
            controller->post(Message(UM_TASK_MESSAGE, DownloadTaskState_Unpacked, 0,
                                     std::make_unique<TextPayload>(launchFolder)));
    } else {
        fail();
    }
    return result;
}

}  // namespace quenlow
