#pragma once
// The unpack task: checks a package's CRC and extracts it on its own thread,
// reporting to the file controller.

#include <string>

#include "platform/WorkerThread.h"

namespace quenlow {

class UnpackTask : public WorkerThread {
public:
    UnpackTask(std::string packagePath, std::string outputFolder, std::string unpackParameter,
               bool deleteOnCrcFailure, QueueRef controller);

    std::string packagePath;
    std::string outputFolder;
    std::string unpackParameter;
    bool deleteOnCrcFailure;
    QueueRef controller;

    // Starts the task's thread; it then runs its job once per UM_TASK_COMMAND 103
    // and reports to `controller` as UM_TASK_MESSAGE (17, 1..., 18, 1..., then 3 or 2).
    void startTask();
};

}  // namespace quenlow
