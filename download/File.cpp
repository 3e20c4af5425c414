#include <cstdlib>

#include "download/DownloadTask.h"
#include "package/UnpackTask.h"
#include "state/Records.h"

namespace quenlow {

File::File() = default;

File::~File() { shutdown(); }

int File::fileNumber() const { return std::atoi(fileKey.c_str()); }

void File::startController() {
    startThread([this](Message& m) { handle(m); });
}

void File::shutdown() {
    for (auto& t : tasks) t->stopAndJoin();
    if (unpackTask) unpackTask->stopAndJoin();
    stopAndJoin();
}

void File::onStopRequested() {}

void File::handle(Message& msg) {
    if (msg.id == UM_FILE_COMMAND) OnCommandMessage(static_cast<int>(msg.lParam));
    else if (msg.id == UM_TASK_MESSAGE) OnTaskMessage(static_cast<int>(msg.wParam), msg);
}

void File::postView(uint32_t id, uintptr_t wParam, intptr_t lParam) {
    if (viewWindow) viewWindow->postViewMessage(Message(id, wParam, lParam));
}

void File::postViewText(uint32_t id, uintptr_t wParam, std::string text) {
    if (viewWindow) viewWindow->postViewMessage(textMessage(id, wParam, std::move(text)));
}

// Placeholders until the controller lands.
void File::OnCommandMessage(int) {}
void File::OnTaskMessage(int, Message&) {}
void File::layoutStep() {}
void File::startTasks() {}
void File::restartTasks() {}
void File::resumeParts() {}
void File::pauseParts() {}
bool File::writeChunk(const std::string&, const char*, size_t) { return false; }
void File::openOutputFile() {}
void File::abortFileParts() {}
void File::closeOutputFile() {}
void File::startUnpack() {}
int File::downloadPercent() const { return 0; }

}  // namespace quenlow
