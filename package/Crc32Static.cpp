#include "package/Crc32Static.h"

#include <Poco/Exception.h>

#include <array>
#include <cstring>
#include <exception>
#include <string>

#include "download/Messages.h"
#include "package/PackageFile.h"
#include "platform/Pacing.h"

namespace quenlow {

namespace {

constexpr size_t kReadSize = 4096;

// Table 0 is the classic byte-at-a-time table; tables 1..15 let the loop fold
// 16 bytes per step with identical results.
using CrcTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr CrcTables makeTables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (size_t s = 1; s < 16; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr CrcTables kTables = makeTables();
static_assert(kTables[0][1] == 0x77073096u && kTables[0][255] == 0x2D02EF8Du);

uint32_t load32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void post(const QueueRef& to, int code, intptr_t lParam) {
    if (to) to->post(Message(UM_TASK_MESSAGE, static_cast<uintptr_t>(code), lParam));
}

void postLog(const QueueRef& to, std::string text) {
    if (to) to->post(textMessage(UM_TASK_MESSAGE, DownloadTaskState_Log, std::move(text)));
}

}  // namespace

uint32_t CCrc32Static::Update(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    const auto& t = kTables;
    while (n >= 16) {
        uint32_t a = load32(p) ^ crc, b = load32(p + 4), c = load32(p + 8), d = load32(p + 12);
        crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
        p += 16;
        n -= 16;
    }
    while (n--) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
    return crc;
}

uint32_t ProgressPercent(uint64_t done, uint64_t total) {
    if (total >= 100) return static_cast<uint32_t>(done / (total / 100));
    if (total == 0) return 100;
    return static_cast<uint32_t>(done * 100 / total);
}

uint32_t CCrc32Static::FileCrc32Win32Handle(PackageFile& file, uint32_t& crc, uint64_t size,
                                            const UnpackMessageHandler* progressSwitch,
                                            const QueueRef& reportThread) {
    uint32_t running = 0xFFFFFFFFu;
    const int64_t start = file.position();
    uint32_t result = 0;
    post(reportThread, DownloadTaskState_CrcStarted, 0);
    sleepFor(pacing().yieldAfterPost);
    if (!file.isOpen()) {
        result = file.error() ? static_cast<uint32_t>(file.error()) : EBADF;
    } else {
        try {
            uint8_t buffer[kReadSize];
            uint32_t lastPercent = 0;
            ssize_t got = file.read(buffer, kReadSize);
            uint64_t bytesRead = got > 0 ? static_cast<uint64_t>(got) : 0;
            while (got > 0) {
                running = Update(running, buffer, static_cast<size_t>(got));
                got = file.read(buffer, kReadSize);
                if (got > 0) bytesRead += static_cast<uint64_t>(got);
                if (progressSwitch) {
                    // A size of 0 counts as complete rather than dividing by it.
                    uint32_t percent =
                        size == 0 ? 100
                                  : static_cast<uint32_t>(static_cast<double>(bytesRead) /
                                                          static_cast<double>(size) * 100.0);
                    if (percent != lastPercent) {
                        lastPercent = percent;
                        sleepFor(pacing().crcPercentDelay);
                        post(reportThread, DownloadTaskState_Progress, percent);
                        sleepFor(pacing().yieldAfterPost);
                    }
                }
            }
            postLog(reportThread,
                    "CRC Check completed reading " + std::to_string(bytesRead) + " bytes");
        } catch (const Poco::Exception& e) {
            postLog(reportThread, "CCrc32Static::FileCrc32Win32Handle Exception = " + e.displayText());
            result = 23;
        } catch (const std::exception& e) {
            postLog(reportThread, std::string("CCrc32Static::FileCrc32Win32Handle Exception = ") + e.what());
            result = 23;
        }
    }
    crc = ~running;
    file.seek(start);
    return result;
}

}  // namespace quenlow
