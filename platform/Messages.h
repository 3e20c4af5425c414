#pragma once
// Message ids, task codes, status codes, error codes and commands exchanged
// between the view, the file controllers, the part tasks and the unpack task.

#include <cstdint>
#include <string>

#include "platform/MessageQueue.h"
#include "platform/WorkerThread.h"

namespace quenlow {

// Message ids. Thread messages and window messages share numbers.
inline constexpr uint32_t UM_FILE_COMMAND = 0x8200;  // thread: view -> File controller
inline constexpr uint32_t UM_FILE_STATUS = 0x8200;   // window: controller -> view
inline constexpr uint32_t UM_TASK_COMMAND =
    0x8300;  // thread: controller -> DownloadTask / UnpackTask
inline constexpr uint32_t UM_TASK_MESSAGE = 0x8400;      // thread: workers -> File controller
inline constexpr uint32_t UM_PAGE_EVENT = 0x8500;        // window: EventHandler -> view
inline constexpr uint32_t UM_SAVE_STATE = 0x8600;        // window: controller -> view
inline constexpr uint32_t UM_FILE_PROGRESS = 0x8700;     // window: controller -> view
inline constexpr uint32_t UM_FILE_ERROR = 0x8800;        // window: controller / OrderState -> view
inline constexpr uint32_t UM_WAIT_WIDGET = 0x8900;       // window: controller -> view
inline constexpr uint32_t UM_ALREADY_COMPLETE = 0x9000;  // window: controller -> view
inline constexpr uint32_t UM_UNPACK_PERCENT = 0x9100;    // window: legacy extraction -> main window
inline constexpr uint32_t UM_DEBUG_TEXT = 0x9200;        // window: controller -> view
inline constexpr uint32_t UM_LAUNCH_COMPLETE = 0x9300;   // window: OrderState -> view
// The registered message's name; its number is assigned at run time.
inline constexpr const char* UM_PROCESS_STATUS_NAME = "UM_PROCESS_STATUS_234234234";
uint32_t UM_PROCESS_STATUS();

// wParam of UM_PAGE_EVENT.
inline constexpr int Event_ActionButton = 0;
inline constexpr int Event_FolderButton = 1;
inline constexpr int Event_UpgradeLink = 2;

// wParam of UM_WAIT_WIDGET.
inline constexpr int WaitWidget_Show = 0xA001;
inline constexpr int WaitWidget_Hide = 0xA002;

// UM_TASK_COMMAND lParam.
inline constexpr int TaskCommand_Start = 1;
inline constexpr int TaskCommand_Resume = 3;
inline constexpr int TaskCommand_Unpack = 103;

// DownloadTaskState codes (wParam of UM_TASK_MESSAGE).
enum DownloadTaskState : int {
    DownloadTaskState_StartUnpack = 0,
    DownloadTaskState_Progress = 1,
    DownloadTaskState_UnpackFailed = 2,
    DownloadTaskState_Unpacked = 3,
    DownloadTaskState_Data = 10,
    DownloadTaskState_Error = 11,
    DownloadTaskState_Paused = 13,
    DownloadTaskState_Completed = 14,
    DownloadTaskState_Log = 16,
    DownloadTaskState_CrcStarted = 17,
    DownloadTaskState_CrcFinished = 18,
    DownloadTaskState_Flushed = 19,  // the controller's own: a background checkpoint flush ended
};

// Status codes (wParam of UM_FILE_STATUS).
enum FileStatus : int {
    Status_RecordsReady = 21,
    Status_Paused = 200,
    Status_Resumed = 201,
    Status_CrcChecking = 202,
    Status_Unpacking = 203,
    Status_Complete = 204,
    Status_Unpacked = 206,
};

// Error codes (lParam of UM_FILE_ERROR from a controller).
enum FileError : int {
    Error_CreateFile = 0,
    Error_DiskSpace = 1,
    Error_Download = 2,
    Error_Unpack = 3,
    Error_DiskWrite = 4,
};

// File states; also the commands of UM_FILE_COMMAND (101 start, 102 run, 104 pause).
enum FileState : int {
    FileState_Initial = 101,
    FileState_Downloading = 102,
    FileState_Unpacking = 103,
    FileState_Paused = 104,
    FileState_Partial = 105,
    FileState_Reconfigured = 106,
    FileState_Error = 107,
    FileState_Complete = 108,
};

// Part states.
enum PartState : int {
    PartState_Start = 1,
    PartState_WaitFile = 2,
    PartState_Go = 3,
    PartState_Pause = 4,
    PartState_Abort = 6,
    PartState_Error = 7,
    PartState_Completed = 8,
};

// The chunk list of DownloadTaskState_Data. The list itself belongs to the
// controller; the texts and the buffer stay with the task.
struct ChunkList : Payload {
    const std::string* indexText = nullptr;
    const char* buffer = nullptr;
    const std::string* countText = nullptr;
};

// Page text keys for the error codes.
const char* errorTextKey(int errorCode);

}  // namespace quenlow
