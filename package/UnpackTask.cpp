#include "package/UnpackTask.h"

#include <utility>

namespace quenlow {

UnpackTask::UnpackTask(std::string packagePath_, std::string outputFolder_,
                       std::string unpackParameter_, bool deleteOnCrcFailure_, QueueRef controller_)
    : packagePath(std::move(packagePath_)),
      outputFolder(std::move(outputFolder_)),
      unpackParameter(std::move(unpackParameter_)),
      deleteOnCrcFailure(deleteOnCrcFailure_),
      controller(std::move(controller_)) {}

// Placeholder until the unpack job lands.
void UnpackTask::startTask() {
    startThread([](Message&) {});
}

}  // namespace quenlow
