// InflateEntry: one compressed entry from the package into its output file,
// through ISA-L's inflate, with the XOR byte and the percent reports.

#include <isa-l/igzip_lib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "package/Crc32Static.h"
#include "package/PackageCatalogue.h"
#include "package/PackageExtraction.h"
#include "package/PackageFile.h"
#include "package/UnpackMessageHandler.h"
#include "platform/Messages.h"
#include "platform/Pacing.h"

namespace quenlow {

constexpr size_t kInflateChunk = 262144;

struct InflateScratch {
    std::vector<uint8_t> in = std::vector<uint8_t>(kInflateChunk);
    std::vector<uint8_t> out = std::vector<uint8_t>(kInflateChunk);
    inflate_state state;  // 85 KiB: set up once, not once per entry
};

namespace {

// XORs every byte with key, a word at a time (the compiler widens this loop
// where it can).
void xorWords(uint8_t* data, size_t n, uint8_t key) {
    const uint64_t wide = 0x0101010101010101ull * key;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, data + i, 8);
        w ^= wide;
        std::memcpy(data + i, &w, 8);
    }
    for (; i < n; ++i) data[i] ^= key;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("avx2"))) void xorAvx2(uint8_t* data, size_t n, uint8_t key) {
    const __m256i k = _mm256_set1_epi8(static_cast<char>(key));
    size_t i = 0;
    for (; i + 128 <= n; i += 128) {
        auto* p = reinterpret_cast<__m256i*>(data + i);
        const __m256i a = _mm256_xor_si256(_mm256_loadu_si256(p), k);
        const __m256i b = _mm256_xor_si256(_mm256_loadu_si256(p + 1), k);
        const __m256i c = _mm256_xor_si256(_mm256_loadu_si256(p + 2), k);
        const __m256i d = _mm256_xor_si256(_mm256_loadu_si256(p + 3), k);
        _mm256_storeu_si256(p, a);
        _mm256_storeu_si256(p + 1, b);
        _mm256_storeu_si256(p + 2, c);
        _mm256_storeu_si256(p + 3, d);
    }
    for (; i + 32 <= n; i += 32) {
        auto* p = reinterpret_cast<__m256i*>(data + i);
        _mm256_storeu_si256(p, _mm256_xor_si256(_mm256_loadu_si256(p), k));
    }
    xorWords(data + i, n - i, key);
}

// XORs every byte with key: 128 bytes a step where the processor has AVX2.
void xorBuffer(uint8_t* data, size_t n, uint8_t key) {
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    if (avx2)
        xorAvx2(data, n, key);
    else
        xorWords(data, n, key);
}
#else
void xorBuffer(uint8_t* data, size_t n, uint8_t key) { xorWords(data, n, key); }
#endif

// The state of one entry's inflate: where its data starts, how much of it was
// read, and the output gathered but not yet written.
struct EntryStream {
    PackageCatalogue& catalogue;
    PackageFile& package;
    PackageFile& output;
    uint64_t packedSize;
    uint8_t key;
    uint32_t progressMessage;
    const UnpackMessageHandler* relayWindow;
    ExecutableSniffer* head;

    uint8_t* in = nullptr;
    uint8_t* out = nullptr;
    inflate_state* state = nullptr;
    int64_t entryStart = 0;
    uint64_t readIndex = 0;
    uint64_t entryRead = 0;
    bool wrapped = false;  // decoding the zlib-wrapped fallback
    bool wroteAny = false;
    size_t pending = 0;  // inflated bytes at the start of `out` not yet written
};

enum class ChunkResult { NeedMore, StreamEnd, Corrupt, WriteFailed, Stopped };

bool allocateScratch(EntryStream& s) {
    auto& scratch = s.catalogue.inflateScratch;
    try {
        if (!scratch) scratch = std::make_shared<InflateScratch>();
    } catch (const std::bad_alloc&) {
        return false;
    }
    s.in = scratch->in.data();
    s.out = scratch->out.data();
    s.state = &scratch->state;
    return true;
}

void startStream(EntryStream& s, uint32_t wrapper) {
    isal_inflate_init(s.state);
    s.state->crc_flag = wrapper;
}

void reportPercent(EntryStream& s) {
    PackageCatalogue& c = s.catalogue;
    const uint32_t percent = ClampedPercent(c.totalPackedRead, c.progressTotal);
    if (!s.relayWindow || static_cast<int32_t>(percent - c.lastPercent) <= 0) return;
    s.relayWindow->handleMessage(Message(s.progressMessage, 0, static_cast<intptr_t>(percent)));
    c.lastPercent = percent;
    sleepFor(pacing().inflatePercentDelay);
}

// Reads the next piece of packed data: whole chunks while the packed size
// lasts, then remainder-sized pieces of whatever follows.
size_t readChunk(EntryStream& s) {
    const uint64_t fullChunks = static_cast<uint32_t>(s.packedSize / kInflateChunk);
    const size_t remainder = static_cast<size_t>(s.packedSize % kInflateChunk);
    const size_t want = s.readIndex < fullChunks ? kInflateChunk : remainder;
    ++s.readIndex;
    const ssize_t got = want ? s.package.read(s.in, want) : 0;
    const size_t n = got > 0 ? static_cast<size_t>(got) : 0;
    s.entryRead += n;
    s.catalogue.totalPackedRead += n;
    reportPercent(s);
    return n;
}

// Writes the gathered output a whole buffer at a time: fewer, page-aligned writes.
bool flushOutput(EntryStream& s) {
    if (s.pending == 0) return true;
    if (s.key != 0) xorBuffer(s.out, s.pending, s.key);
    if (s.head) s.head->feed(s.out, s.pending);
    const bool written = s.output.write(s.out, s.pending);
    s.pending = 0;
    return written;
}

bool rejected(int rc) { return rc < 0 || rc == ISAL_NEED_DICT; }

int inflateInto(EntryStream& s, uint8_t* at, size_t room) {
    s.state->next_out = at;
    s.state->avail_out = static_cast<uint32_t>(room);
    return isal_inflate(s.state);
}

// Not raw deflate: the chunk again as a zlib-wrapped stream. Only before any
// output exists; later, or when the wrapped stream fails too, the data is corrupt.
bool retryWrapped(EntryStream& s, size_t n) {
    if (s.wrapped || s.wroteAny) return false;
    s.wrapped = true;
    startStream(s, ISAL_ZLIB);
    s.state->next_in = s.in;
    s.state->avail_in = static_cast<uint32_t>(n);
    return !rejected(inflateInto(s, s.out, kInflateChunk));  // nothing is pending yet
}

ChunkResult inflateChunk(EntryStream& s, size_t n) {
    s.state->next_in = s.in;
    s.state->avail_in = static_cast<uint32_t>(n);
    bool finished = false;
    do {
        const int rc = inflateInto(s, s.out + s.pending, kInflateChunk - s.pending);
        if (rejected(rc) && !retryWrapped(s, n)) {
            flushOutput(s);  // what came before the failing call is kept
            return ChunkResult::Corrupt;
        }
        const size_t produced = kInflateChunk - s.pending - s.state->avail_out;
        if (produced > 0) s.wroteAny = true;
        s.pending += produced;
        finished = s.state->block_state == ISAL_BLOCK_FINISH;
        if (s.pending == kInflateChunk || finished) {
            if (!flushOutput(s)) return ChunkResult::WriteFailed;
            // One chunk of packed data may inflate to many buffers.
            if (!finished && s.catalogue.stopRequested()) return ChunkResult::Stopped;
        }
    } while (s.state->avail_out == 0 && !finished);
    return finished ? ChunkResult::StreamEnd : ChunkResult::NeedMore;
}

}  // namespace

int InflateEntry(PackageCatalogue& catalogue, PackageFile& package, PackageFile& output,
                 uint64_t packedSize, int xorValue, uint32_t progressMessage,
                 const UnpackMessageHandler* relayWindow, ExecutableSniffer* head) {
    EntryStream s{catalogue,       package,     output, packedSize, static_cast<uint8_t>(xorValue),
                  progressMessage, relayWindow, head};
    if (!allocateScratch(s)) return Inflate_OutOfMemory;
    startStream(s, ISAL_DEFLATE);
    s.entryStart = package.position();
    for (;;) {
        if (catalogue.stopRequested()) return Inflate_Stopped;
        const size_t n = readChunk(s);
        if (n == 0) {
            flushOutput(s);
            return Inflate_Failed;
        }
        switch (inflateChunk(s, n)) {
            case ChunkResult::NeedMore:
                break;
            case ChunkResult::StreamEnd:
                // A stream that ends early must not shift where the next entry starts.
                if (s.entryRead < packedSize)
                    package.seek(s.entryStart + static_cast<int64_t>(packedSize));
                return Inflate_StreamEnd;
            case ChunkResult::Corrupt:
            case ChunkResult::WriteFailed:
                return Inflate_Failed;
            case ChunkResult::Stopped:
                return Inflate_Stopped;
        }
    }
}

}  // namespace quenlow
