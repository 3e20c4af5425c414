#pragma once
// CRC-32 (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, result
// inverted) of an open file from its position to its end, with the reports
// the file controller expects.

#include <cstddef>
#include <cstdint>

#include "platform/MessageQueue.h"

namespace quenlow {

class PackageFile;
class UnpackMessageHandler;

// Result of FileCrc32Win32Handle when an exception was caught.
inline constexpr uint32_t Crc_Exception = 23;

class CCrc32Static {
  public:
    virtual ~CCrc32Static() = default;

    // Computes the CRC of `file` from its position to its end into `crc`.
    // `size` is what the caller expects to be read, used only for percents;
    // with a null `progressSwitch` no percent is posted. Posts report 17 first,
    // report 1 on each change of the whole percent and the log line
    // "CRC Check completed reading N bytes" (report 16) to `reportThread`.
    // Returns 0, the errno of a file that is not open (crc is then 0), or 23
    // when an exception was caught. The file position is restored in every case.
    // The file is read in large blocks, but percents are checked as if it were
    // read 4096 bytes at a time (after every such piece but the first, and once
    // more at the end), so the reports do not depend on the block size.
    // Percents above `percentCeiling` are posted as the ceiling.
    static uint32_t FileCrc32Win32Handle(PackageFile& file, uint32_t& crc, uint64_t size,
                                         const UnpackMessageHandler* progressSwitch,
                                         const QueueRef& reportThread,
                                         uint32_t percentCeiling = UINT32_MAX);

    // Folds bytes into a running (not yet inverted) CRC value, through ISA-L's
    // crc32_gzip_refl (the same value as the byte-at-a-time table).
    static uint32_t Update(uint32_t running, const void* data, size_t n);
    // The finished CRC-32 of a buffer.
    static uint32_t Compute(const void* data, size_t n) { return ~Update(0xFFFFFFFFu, data, n); }

    // Test seam: while set, Update uses the byte-at-a-time table, the
    // definition ISA-L is checked against. Returns the previous setting.
    static bool ForceTableKernel(bool force);
};

// The whole percent of done against total: done / (total / 100) as the
// progress reports have always computed it, and done * 100 / total when the
// total is below 100 bytes (100 when there is nothing to do).
uint32_t ProgressPercent(uint64_t done, uint64_t total);
// ProgressPercent at most 100: data beyond what a catalogue announced never
// shows as more than done.
uint32_t ClampedPercent(uint64_t done, uint64_t total);

}  // namespace quenlow
