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
};

}  // namespace quenlow
