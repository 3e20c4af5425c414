#pragma once
// Extraction of a package below an output folder: CRC check, catalogue walk,
// inflate with XOR, stored copy, folders, times and attributes, and the launch
// folder. Reports go to the controller queue as UM_TASK_MESSAGE (16 log line,
// 17/1 from the CRC pass, 18 when extraction starts, 1 percents).
//
// No entry is ever written outside the output folder: names with ".."
// components, names that stay absolute after their leading separator is
// dropped, and paths through symbolic links already inside the output folder
// fail like a file that cannot be created.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/MessageQueue.h"

namespace quenlow {

class PackageCatalogue;
class PackageFile;
class UnpackMessageHandler;

// Results of Unpack.
inline constexpr int Unpack_Done = 1;
inline constexpr int Unpack_NotLoaded = 0;  // package not openable, catalogue not loaded
inline constexpr int Unpack_CrcFailed = -1;
inline constexpr int Unpack_EntryFailed = -2;  // an entry's data could not be read or written

// Recognises data that starts like a program, a script ("#!") or an ELF
// binary ("\x7fELF"), from the bytes of a file fed in order in pieces of any
// size. The format has no execute bit; such files get one on extraction so an
// install command inside a package can be started.
class ExecutableSniffer {
  public:
    void feed(const void* data, size_t n) {
        const size_t take = std::min(n, sizeof(head_) - seen_);
        std::memcpy(head_ + seen_, data, take);
        seen_ += take;
    }
    bool executable() const {
        return (seen_ >= 2 && head_[0] == '#' && head_[1] == '!') ||
               (seen_ >= 4 && std::memcmp(head_,
                                          "\x7f"
                                          "ELF",
                                          4) == 0);
    }

  private:
    uint8_t head_[4] = {};
    size_t seen_ = 0;
};

// Verifies and extracts a versioned (package key of at most 50 characters) or
// sealed (longer key) package. Returns 1 when every entry was extracted; any
// other value is a failure, announced by a log line. `launchFolder` receives
// the package's single top-level folder when there is one. A null
// `relayWindow` means no percent is reported.
int Unpack(PackageCatalogue& catalogue, const std::string& packagePath,
           const std::string& outputFolder, std::string& launchFolder, uint32_t progressMessage,
           const UnpackMessageHandler* relayWindow, bool skipCrc, uint32_t expectedCrc,
           const std::string& packageKey, bool deleteOnCrcFailure, const QueueRef& reportThread);

// Results of InflateEntry.
inline constexpr int Inflate_StreamEnd = 0;
inline constexpr int Inflate_Failed = -1;  // package ran out, data corrupt, output not written
inline constexpr int Inflate_OutOfMemory = -4;
inline constexpr int Inflate_Stopped = -5;  // the catalogue's stop flag was set

// Inflates one entry from the package's position into `output`: raw deflate,
// falling back to a zlib-wrapped stream when the raw decoding fails before
// anything was written; every produced byte is XORed with the low byte of
// `xorValue`. The stop flag is checked before every read of packed data.
// Every byte written is also fed to `head` when given.
int InflateEntry(PackageCatalogue& catalogue, PackageFile& package, PackageFile& output,
                 uint64_t packedSize, int xorValue, uint32_t progressMessage,
                 const UnpackMessageHandler* relayWindow, ExecutableSniffer* head = nullptr);

// Extracted files get mode 0644, or 0755 when their data starts like a
// program (ExecutableSniffer); the read-only attribute then clears the write bits.
//
// Extracts a legacy package (no CRC, no compression). Percents go to
// `progressWindow` as `progressMessage` when they change. False on any failure.
bool UnpackLegacy(PackageCatalogue& catalogue, const std::string& packagePath,
                  const std::string& outputFolder, uint32_t progressMessage,
                  const UnpackMessageHandler* progressWindow);

// The output path of an entry name ("/" separated) below outputFolder. False
// when the entry would land outside it; `path` is then still the plain join,
// for messages.
bool EntryOutputPath(const std::string& outputFolder, const std::string& name, std::string& path);

}  // namespace quenlow
