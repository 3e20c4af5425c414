#include "platform/Messages.h"

namespace quenlow {

uint32_t UM_PROCESS_STATUS() {
    // Registered messages live in 0xC000..0xFFFF; ours has one name, so one number.
    return 0xC234;
}

const char* errorTextKey(int errorCode) {
    switch (errorCode) {
        case Error_CreateFile:
            return "Download.UnableToCreateFile";
        case Error_DiskSpace:
            return "Download.InsufficientDiskSpace";
        case Error_Download:
            return "Download.Error";
        case Error_Unpack:
            return "Download.UnpackingError";
        case Error_DiskWrite:
            return "Download.DiskError";
        default:
            return "Download.Error";
    }
}

}  // namespace quenlow
