#include <Poco/Exception.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "PackageTestUtil.h"
#include "package/Crc32Static.h"
#include "package/PackageFile.h"
#include "package/UnpackMessageHandler.h"
#include "platform/FileSystem.h"

namespace quenlow::test {
namespace {

// The byte-at-a-time definition, one bit per step, as the reference.
uint32_t referenceStep(uint32_t crc, uint8_t byte) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    return crc;
}

uint32_t referenceCrc(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    while (n--) crc = referenceStep(crc, *p++);
    return ~crc;
}

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Runs the checks once with the default kernel (the folding one where the
// processor has it) and once with the table forced.
class Crc32Kernels : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { saved_ = CCrc32Static::ForceTableKernel(GetParam()); }
    void TearDown() override { CCrc32Static::ForceTableKernel(saved_); }

  private:
    bool saved_ = false;
};

TEST_P(Crc32Kernels, MatchesTheByteWiseDefinitionForEveryLengthAndAlignment) {
    EXPECT_EQ(CCrc32Static::Compute("123456789", 9), 0xCBF43926u);
    const std::vector<uint8_t> data = randomBytes(1100, 7);
    for (size_t offset : {0, 1, 3, 8, 15}) {
        uint32_t running = 0xFFFFFFFFu;  // the reference, grown one byte per length
        for (size_t length = 0; length <= 1000; ++length) {
            if (length > 0) running = referenceStep(running, data[offset + length - 1]);
            ASSERT_EQ(CCrc32Static::Compute(data.data() + offset, length), ~running)
                << "offset " << offset << " length " << length;
        }
    }
}

TEST_P(Crc32Kernels, LargeBuffersMatchTheDefinitionAndZlib) {
    const std::vector<uint8_t> data = randomBytes((1u << 20) + 77, 11);
    for (size_t length : {size_t{4096}, size_t{65536 + 63}, size_t{1} << 20, data.size()}) {
        const uint32_t expected = referenceCrc(data.data(), length);
        EXPECT_EQ(CCrc32Static::Compute(data.data(), length), expected) << length;
        EXPECT_EQ(static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(length))), expected)
            << length;
    }
    // All zeros and all ones are where a wrong reduction constant shows least randomly.
    for (uint8_t fill : {0x00, 0xFF}) {
        const std::vector<uint8_t> flat(100000, fill);
        EXPECT_EQ(CCrc32Static::Compute(flat.data(), flat.size()),
                  referenceCrc(flat.data(), flat.size()))
            << int(fill);
    }
}

TEST_P(Crc32Kernels, UpdatesInPiecesGiveTheWholeBuffersCrc) {
    const std::vector<uint8_t> data = randomBytes(3000, 5);
    const uint32_t expected = referenceCrc(data.data(), data.size());
    auto inPieces = [&](std::vector<size_t> cuts) {
        cuts.push_back(data.size());
        uint32_t running = 0xFFFFFFFFu;
        size_t at = 0;
        for (size_t cut : cuts) {
            running = CCrc32Static::Update(running, data.data() + at, cut - at);
            at = cut;
        }
        return ~running;
    };
    for (size_t cut : {0, 1, 3, 15, 16, 17, 63, 64, 65, 127, 128, 1000, 2936, 2999, 3000})
        EXPECT_EQ(inPieces({cut}), expected) << "cut at " << cut;
    for (auto cuts : std::vector<std::vector<size_t>>{
             {1, 2, 3}, {5, 69, 133}, {64, 128, 192, 256}, {100, 100, 1100}, {7, 2000, 2063}}) {
        EXPECT_EQ(inPieces(cuts), expected) << ::testing::PrintToString(cuts);
    }
    // Many small pieces, each below the folding threshold, then one large one.
    std::vector<size_t> cuts;
    for (size_t at = 0; at < 600; at += 37) cuts.push_back(at);
    EXPECT_EQ(inPieces(cuts), expected);
}

INSTANTIATE_TEST_SUITE_P(DefaultAndTable, Crc32Kernels, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "TableForced" : "Default"; });

TEST(Crc32, ProgressPercentIsDefinedForSmallTotals) {
    struct Case {
        uint64_t done, total;
        uint32_t percent;
    };
    for (auto c : std::vector<Case>{{0, 0, 100},
                                    {5, 0, 100},
                                    {25, 50, 50},
                                    {50, 50, 100},
                                    {1, 99, 1},
                                    {150, 200, 75},
                                    {250, 200, 125}}) {
        EXPECT_EQ(ProgressPercent(c.done, c.total), c.percent) << c.done << "/" << c.total;
    }
}

class FileCrcTest : public ::testing::Test {
  protected:
    FastPacing fast;
    ScratchDir dir;
    QueueRef reports = std::make_shared<MessageQueue>();
    UnpackMessageHandler relay;  // only its address matters: it switches percents on

    std::string makeFile(size_t size) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + 7);
        writeFile(dir / "data.bin", bytes);
        return bytes;
    }
};

TEST_F(FileCrcTest, ChecksFromThePositionAndRestoresIt) {
    const std::string bytes = makeFile(10000);
    PackageFile file;
    ASSERT_TRUE(file.open(dir / "data.bin", O_RDONLY));
    file.seek(1000);
    uint32_t crc = 1;
    EXPECT_EQ(CCrc32Static::FileCrc32Win32Handle(file, crc, 9000, &relay, reports), 0u);
    EXPECT_EQ(crc, CCrc32Static::Compute(bytes.data() + 1000, 9000));
    EXPECT_EQ(file.position(), 1000);
    auto r = drain(reports);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.front().code, DownloadTaskState_CrcStarted);
    EXPECT_EQ(logTexts(r), std::vector<std::string>{"CRC Check completed reading 9000 bytes"});
    // A percent follows each read after the first: 8192 then 9000 bytes read.
    EXPECT_EQ(percents(r), (std::vector<int>{91, 100}));
}

// The percents a pass that reads 4096 bytes at a time posts: one check after
// every read but the first, the last check after the read that finds the end.
std::vector<int> percentsOf4096ByteReads(uint64_t fileBytes, uint64_t size) {
    std::vector<int> out;
    uint64_t read = std::min<uint64_t>(4096, fileBytes);
    uint32_t last = 0;
    for (uint64_t got = read; got > 0;) {
        got = std::min<uint64_t>(4096, fileBytes - read);
        read += got;
        const uint32_t percent =
            size == 0 ? 100 : static_cast<uint32_t>(double(read) / double(size) * 100.0);
        if (percent != last) out.push_back(static_cast<int>(last = percent));
    }
    return out;
}

TEST_F(FileCrcTest, PercentsAreThoseOfReadsOf4096BytesWhateverTheBlockSize) {
    struct Case {
        size_t fileBytes;
        uint64_t size;
    };
    const std::vector<Case> cases = {
        {1, 1},
        {4096, 4096},
        {4097, 4097},
        {9000, 9000},
        {8192, 100000},
        {300001, 300001},
        {262144, 262144},
        {524288 + 4096, 524288 + 4096},
        {1100000, 1100000},
        {1100000, 400000},
        {1100000, 0},
        {700000, 9000000},
    };
    for (const auto& c : cases) {
        const std::string bytes = makeFile(c.fileBytes);
        PackageFile file;
        ASSERT_TRUE(file.open(dir / "data.bin", O_RDONLY));
        uint32_t crc = 0;
        EXPECT_EQ(CCrc32Static::FileCrc32Win32Handle(file, crc, c.size, &relay, reports), 0u);
        EXPECT_EQ(crc, referenceCrc(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        auto r = drain(reports);
        EXPECT_EQ(percents(r), percentsOf4096ByteReads(c.fileBytes, c.size))
            << c.fileBytes << " bytes, size " << c.size;
        EXPECT_EQ(logTexts(r), std::vector<std::string>{"CRC Check completed reading " +
                                                        std::to_string(c.fileBytes) + " bytes"});
    }
}

TEST_F(FileCrcTest, FileAtItsEndGivesZeroAndCountsNoBytes) {
    makeFile(300);
    PackageFile file;
    ASSERT_TRUE(file.open(dir / "data.bin", O_RDONLY));
    file.seek(300);
    uint32_t crc = 1;
    EXPECT_EQ(CCrc32Static::FileCrc32Win32Handle(file, crc, 0, &relay, reports), 0u);
    EXPECT_EQ(crc, 0u);
    auto r = drain(reports);
    EXPECT_EQ(logTexts(r), std::vector<std::string>{"CRC Check completed reading 0 bytes"});
    EXPECT_TRUE(percents(r).empty());
}

TEST_F(FileCrcTest, SizeBelowTheDataPostsPercentsAboveHundredAndZeroSizeIsComplete) {
    makeFile(8192);
    PackageFile file;
    ASSERT_TRUE(file.open(dir / "data.bin", O_RDONLY));
    uint32_t crc = 0;
    CCrc32Static::FileCrc32Win32Handle(file, crc, 4096, &relay, reports);
    EXPECT_EQ(percents(drain(reports)), (std::vector<int>{200}));
    CCrc32Static::FileCrc32Win32Handle(file, crc, 0, &relay, reports);
    EXPECT_EQ(percents(drain(reports)), (std::vector<int>{100}));
    // Without the progress switch no percent at all.
    CCrc32Static::FileCrc32Win32Handle(file, crc, 4096, nullptr, reports);
    EXPECT_TRUE(percents(drain(reports)).empty());
}

TEST_F(FileCrcTest, ClosedFileGivesItsErrorAndNoCompletionLine) {
    PackageFile file;
    EXPECT_FALSE(file.open(dir / "missing.bin", O_RDONLY));
    uint32_t crc = 1;
    EXPECT_EQ(CCrc32Static::FileCrc32Win32Handle(file, crc, 10, &relay, reports),
              static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(crc, 0u);
    auto r = drain(reports);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, DownloadTaskState_CrcStarted);
}

// Reads throw after the first one.
class ThrowingFileSystem : public PosixFileSystem {
  public:
    int reads = 0;
    ssize_t pread(int fd, void* data, size_t n, off_t offset) override {
        if (++reads > 1) throw Poco::IOException("disk gone");
        return PosixFileSystem::pread(fd, data, n, offset);
    }
};

TEST_F(FileCrcTest, ExceptionGives23AndALogLineAndRestoresThePosition) {
    makeFile(10000);
    PackageFile file;
    ASSERT_TRUE(file.open(dir / "data.bin", O_RDONLY));
    file.seek(10);
    ThrowingFileSystem throwing;
    setFileSystem(&throwing);
    uint32_t crc = 0;
    uint32_t result = CCrc32Static::FileCrc32Win32Handle(file, crc, 9990, &relay, reports);
    setFileSystem(nullptr);
    EXPECT_EQ(result, 23u);
    EXPECT_EQ(file.position(), 10);
    EXPECT_EQ(logTexts(drain(reports)),
              std::vector<std::string>{
                  "CCrc32Static::FileCrc32Win32Handle Exception = I/O error: disk gone"});
}

}  // namespace
}  // namespace quenlow::test
