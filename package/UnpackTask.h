#pragma once
// The unpack task: checks a package's CRC and extracts it on its own thread,
// reporting to the file controller.

#include <cstdint>
#include <string>

#include "package/UnpackMessageHandler.h"
#include "platform/WorkerThread.h"

namespace quenlow {

class PackageCatalogue;

// The unpack parameter "CRC^^KEY" split at its first "^^".
struct UnpackParameter {
    std::string packageKey;
    bool skipCrc = true;
    uint32_t expectedCrc = 0;
};
UnpackParameter SplitUnpackParameter(const std::string& parameter);

class UnpackTask : public WorkerThread {
  public:
    UnpackTask(std::string packagePath, std::string outputFolder, std::string unpackParameter,
               bool deleteOnCrcFailure, QueueRef controller);
    ~UnpackTask() override;

    std::string packagePath;
    std::string outputFolder;
    std::string unpackParameter;
    bool deleteOnCrcFailure;
    QueueRef controller;

    // Relays decompressor percents to `controller`.
    UnpackMessageHandler messageHandler;
    // The package's top-level folder after a successful job (may be empty).
    std::string launchFolder;

    // Starts the task's thread; it then runs its job once per UM_TASK_COMMAND 103
    // and reports to `controller` as UM_TASK_MESSAGE (17, 1..., 18, 1..., then 3 or 2).
    void startTask();

    // Handles one message of the task's queue: UM_TASK_COMMAND (or UM_SAVE_STATE,
    // which reaches the same handler) with wParam UM_TASK_COMMAND and lParam
    // TaskCommand_Unpack runs the job; anything else is ignored.
    void OnCommandMessage(const Message& msg);

    // The job itself, on the calling thread: split the parameter, choose the
    // layout, check and extract, then post report 3 (launch folder) or 2.
    // Returns the extraction's result (1 on success).
    int runJob();
};

}  // namespace quenlow
