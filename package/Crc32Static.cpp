#include "package/Crc32Static.h"

#include <Poco/Exception.h>
#include <isa-l/crc.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "package/PackageFile.h"
#include "package/TaskReports.h"
#include "platform/Messages.h"
#include "platform/Pacing.h"

namespace quenlow {

namespace {

// Percents are checked per piece of this size, the reads themselves are larger.
constexpr size_t kReportStep = 4096;
constexpr size_t kReadSize = 64 * kReportStep;

constexpr uint32_t kPolynomial = 0xEDB88320u;

// The system's byte-at-a-time table: the definition ISA-L's result is held to.
constexpr std::array<uint32_t, 256> makeTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? kPolynomial ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> kTable = makeTable();
static_assert(kTable[1] == 0x77073096u && kTable[255] == 0x2D02EF8Du);

uint32_t updateTable(uint32_t crc, const uint8_t* p, size_t n) {
    while (n--) crc = (crc >> 8) ^ kTable[(crc ^ *p++) & 0xFF];
    return crc;
}

std::atomic<bool> forceTable{false};

}  // namespace

bool CCrc32Static::ForceTableKernel(bool force) { return forceTable.exchange(force); }

uint32_t CCrc32Static::Update(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    if (forceTable.load(std::memory_order_relaxed)) return updateTable(crc, p, n);
    // ISA-L takes and returns the finished (inverted) value.
    return ~crc32_gzip_refl(~crc, p, n);
}

uint32_t ProgressPercent(uint64_t done, uint64_t total) {
    if (total >= 100) return static_cast<uint32_t>(done / (total / 100));
    if (total == 0) return 100;
    return static_cast<uint32_t>(done * 100 / total);
}

uint32_t ClampedPercent(uint64_t done, uint64_t total) {
    if (total == 0 || done >= total) return 100;
    // Computed in 64 bits: a narrowed quotient could wrap below 100.
    const uint64_t percent = total >= 100 ? done / (total / 100) : done * 100 / total;
    return static_cast<uint32_t>(std::min<uint64_t>(percent, 100));
}

namespace {

// Posts the CRC pass's percent of `size` whenever its whole value changes.
class CrcPercents {
  public:
    CrcPercents(uint64_t size, uint32_t ceiling, const QueueRef& reportThread)
        : size_(size), ceiling_(ceiling), reportThread_(reportThread) {}

    void report(uint64_t bytesRead) {
        // A size of 0 counts as complete rather than dividing by it; far more
        // data than announced saturates instead of overflowing.
        const double exact =
            size_ == 0 ? 100.0
                       : static_cast<double>(bytesRead) / static_cast<double>(size_) * 100.0;
        const uint32_t percent =
            std::min(exact >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(exact), ceiling_);
        if (percent == last_) return;
        last_ = percent;
        sleepFor(pacing().crcPercentDelay);
        postReport(reportThread_, DownloadTaskState_Progress, percent);
        sleepFor(pacing().yieldAfterPost);
    }

  private:
    uint64_t size_;
    uint32_t ceiling_;
    const QueueRef& reportThread_;
    uint32_t last_ = 0;
};

// Folds the file from its position to its end into `running`; returns the
// bytes read. A read error ends the pass like the end of the file.
uint64_t foldFile(PackageFile& file, uint32_t& running, CrcPercents* percents) {
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReadSize]);
    uint64_t bytesRead = 0;
    bool firstPiece = true;
    for (ssize_t got; (got = file.read(buffer.get(), kReadSize)) > 0;) {
        const size_t n = static_cast<size_t>(got);
        running = CCrc32Static::Update(running, buffer.get(), n);
        for (size_t at = 0; at < n; at += kReportStep) {
            bytesRead += std::min(kReportStep, n - at);
            if (firstPiece)
                firstPiece = false;
            else if (percents)
                percents->report(bytesRead);
        }
    }
    // The read that finds the end is followed by a check too.
    if (percents && bytesRead > 0) percents->report(bytesRead);
    return bytesRead;
}

}  // namespace

uint32_t CCrc32Static::FileCrc32Win32Handle(PackageFile& file, uint32_t& crc, uint64_t size,
                                            const UnpackMessageHandler* progressSwitch,
                                            const QueueRef& reportThread, uint32_t percentCeiling) {
    uint32_t running = 0xFFFFFFFFu;
    const int64_t start = file.position();
    uint32_t result = 0;
    postReport(reportThread, DownloadTaskState_CrcStarted, 0);
    sleepFor(pacing().yieldAfterPost);
    if (!file.isOpen()) {
        result = file.error() ? static_cast<uint32_t>(file.error()) : EBADF;
    } else {
        const std::string exceptionText = "CCrc32Static::FileCrc32Win32Handle Exception = ";
        try {
            CrcPercents percents(size, percentCeiling, reportThread);
            const uint64_t bytesRead =
                foldFile(file, running, progressSwitch ? &percents : nullptr);
            postLog(reportThread,
                    "CRC Check completed reading " + std::to_string(bytesRead) + " bytes");
        } catch (const Poco::Exception& e) {
            postLog(reportThread, exceptionText + e.displayText());
            result = Crc_Exception;
        } catch (const std::exception& e) {
            postLog(reportThread, exceptionText + e.what());
            result = Crc_Exception;
        }
    }
    crc = ~running;
    file.seek(start);
    return result;
}

}  // namespace quenlow
