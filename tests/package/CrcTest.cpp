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

TEST(Crc32, MatchesTheStandardCheckValueAndZlibAtEveryAlignment) {
    EXPECT_EQ(CCrc32Static::Compute("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(CCrc32Static::Compute("", 0), 0u);
    std::mt19937 rng(7);
    std::string data(5000, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    // Lengths and offsets around the 16-byte step exercise the tail loop.
    for (size_t offset : {0, 1, 3, 15}) {
        for (size_t length : {0, 1, 15, 16, 17, 31, 4096, 4999 - 15}) {
            uint32_t expected = static_cast<uint32_t>(
                crc32(0, reinterpret_cast<const Bytef*>(data.data() + offset), static_cast<uInt>(length)));
            EXPECT_EQ(CCrc32Static::Compute(data.data() + offset, length), expected)
                << "offset " << offset << " length " << length;
        }
    }
}

TEST(Crc32, ProgressPercentIsDefinedForSmallTotals) {
    struct Case { uint64_t done, total; uint32_t percent; };
    for (auto c : std::vector<Case>{{0, 0, 100}, {5, 0, 100}, {25, 50, 50}, {50, 50, 100},
                                     {1, 99, 1}, {150, 200, 75}, {250, 200, 125}}) {
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
              std::vector<std::string>{"CCrc32Static::FileCrc32Win32Handle Exception = I/O error: disk gone"});
}

}  // namespace
}  // namespace quenlow::test
