#include "package/Crc32Static.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "package/PackageFile.h"
#include "platform/Messages.h"
#include "platform/Pacing.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quenlow {

namespace {

// Percents are checked per piece of this size, the reads themselves are larger.
constexpr size_t kReportStep = 4096;
constexpr size_t kReadSize = 64 * kReportStep;

// Table 0 is the classic byte-at-a-time table; tables 1..15 let the loop fold
// 16 bytes per step with identical results.
using CrcTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr uint32_t kPolynomial = 0xEDB88320u;

constexpr CrcTables makeTables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? kPolynomial ^ (c >> 1) : c >> 1;
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

uint32_t updateTable(uint32_t crc, const uint8_t* p, size_t n) {
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

std::atomic<bool> forceTable{false};

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUENLOW_CRC_FOLDING 1

// Carry-less multiplication folding. In the bit-reflected order of this CRC,
// bit k of a 128-bit block stands for x^(127-k) of the message polynomial
// (little-endian loads give exactly that), and a 64-bit half as a value v
// stands for sum v_i x^(63-i). PCLMULQDQ of two such halves yields their
// product times x as a 128-bit block. A block followed by D more message bits
// is therefore moved D bits on by multiplying its low half (which stands for
// x^64 times its value) by x^(D+63) mod P and its high half by x^(D-1) mod P;
// the products land inside a block at the new place and are XORed into it.
// What is left at the end is a 16-byte block whose CRC from zero is the CRC.

// x^e mod P in the reflected 32-bit form (bit i stands for x^(31-i)):
// multiplying by x is the table's one-bit step.
constexpr uint32_t xPowerModP(unsigned e) {
    uint32_t r = 0x80000000u;  // x^0
    while (e--) r = (r & 1) ? (r >> 1) ^ kPolynomial : r >> 1;
    return r;
}

// x^e mod P as a 64-bit half (coefficient of x^j at bit 63-j).
constexpr long long foldFactor(unsigned e) {
    return static_cast<long long>(static_cast<uint64_t>(xPowerModP(e)) << 32);
}

static_assert(xPowerModP(32) == kPolynomial, "x^32 mod P is P without its top term");

#define QUENLOW_FOLDING_TARGET __attribute__((target("pclmul,sse4.1")))

QUENLOW_FOLDING_TARGET inline __m128i foldBlock(__m128i block, __m128i factors) {
    return _mm_xor_si128(_mm_clmulepi64_si128(block, factors, 0x00),
                         _mm_clmulepi64_si128(block, factors, 0x11));
}

QUENLOW_FOLDING_TARGET inline __m128i load128(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

constexpr size_t kFoldMinimum = 64;

// n >= kFoldMinimum.
QUENLOW_FOLDING_TARGET uint32_t updateFolding(uint32_t crc, const uint8_t* p, size_t n) {
    // High half's factor first: _mm_set_epi64x takes (high, low).
    const __m128i by512 = _mm_set_epi64x(foldFactor(512 - 1), foldFactor(512 + 63));
    const __m128i by128 = _mm_set_epi64x(foldFactor(128 - 1), foldFactor(128 + 63));

    // Four blocks in flight hide the multiplier's latency.
    __m128i x0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = load128(p + 16);
    __m128i x2 = load128(p + 32);
    __m128i x3 = load128(p + 48);
    p += 64;
    n -= 64;
    while (n >= 64) {
        x0 = _mm_xor_si128(foldBlock(x0, by512), load128(p));
        x1 = _mm_xor_si128(foldBlock(x1, by512), load128(p + 16));
        x2 = _mm_xor_si128(foldBlock(x2, by512), load128(p + 32));
        x3 = _mm_xor_si128(foldBlock(x3, by512), load128(p + 48));
        p += 64;
        n -= 64;
    }
    x1 = _mm_xor_si128(foldBlock(x0, by128), x1);
    x2 = _mm_xor_si128(foldBlock(x1, by128), x2);
    x3 = _mm_xor_si128(foldBlock(x2, by128), x3);
    while (n >= 16) {
        x3 = _mm_xor_si128(foldBlock(x3, by128), load128(p));
        p += 16;
        n -= 16;
    }
    alignas(16) uint8_t last[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(last), x3);
    return updateTable(updateTable(0, last, 16), p, n);
}

bool foldingSupported() {
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    }();
    return supported;
}
#else
bool foldingSupported() { return false; }
#endif

void post(const QueueRef& to, int code, intptr_t lParam) {
    if (to) to->post(Message(UM_TASK_MESSAGE, static_cast<uintptr_t>(code), lParam));
}

void postLog(const QueueRef& to, std::string text) {
    if (to) to->post(textMessage(UM_TASK_MESSAGE, DownloadTaskState_Log, std::move(text)));
}

}  // namespace

bool CCrc32Static::FoldingSupported() { return foldingSupported(); }

bool CCrc32Static::ForceTableKernel(bool force) { return forceTable.exchange(force); }

uint32_t CCrc32Static::Update(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
#ifdef QUENLOW_CRC_FOLDING
    if (n >= kFoldMinimum && foldingSupported() && !forceTable.load(std::memory_order_relaxed))
        return updateFolding(crc, p, n);
#endif
    return updateTable(crc, p, n);
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
            const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReadSize]);
            uint64_t bytesRead = 0;
            uint32_t lastPercent = 0;
            bool firstPiece = true;
            auto check = [&] {
                // A size of 0 counts as complete rather than dividing by it;
                // far more data than announced saturates instead of overflowing.
                const double exact =
                    size == 0 ? 100.0
                              : static_cast<double>(bytesRead) / static_cast<double>(size) * 100.0;
                const uint32_t percent =
                    exact >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(exact);
                if (percent != lastPercent) {
                    lastPercent = percent;
                    sleepFor(pacing().crcPercentDelay);
                    post(reportThread, DownloadTaskState_Progress, percent);
                    sleepFor(pacing().yieldAfterPost);
                }
            };
            // A read error ends the pass like the end of the file.
            for (ssize_t got; (got = file.read(buffer.get(), kReadSize)) > 0;) {
                const size_t n = static_cast<size_t>(got);
                running = Update(running, buffer.get(), n);
                for (size_t at = 0; at < n; at += kReportStep) {
                    bytesRead += std::min(kReportStep, n - at);
                    if (firstPiece)
                        firstPiece = false;
                    else if (progressSwitch)
                        check();
                }
            }
            // The read that finds the end is followed by a check too.
            if (progressSwitch && bytesRead > 0) check();
            postLog(reportThread,
                    "CRC Check completed reading " + std::to_string(bytesRead) + " bytes");
        } catch (const Poco::Exception& e) {
            postLog(reportThread,
                    "CCrc32Static::FileCrc32Win32Handle Exception = " + e.displayText());
            result = 23;
        } catch (const std::exception& e) {
            postLog(reportThread,
                    std::string("CCrc32Static::FileCrc32Win32Handle Exception = ") + e.what());
            result = 23;
        }
    }
    crc = ~running;
    file.seek(start);
    return result;
}

}  // namespace quenlow
