#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "state/Log.h"
#include "support/ScratchDir.h"

namespace quenlow {
namespace {

// Collects what a Logger hands over, so formatting is checked apart from the file.
struct RecordingWriter {
    struct Line {
        std::string message;
        LogCategory category;
        LogLevel level;
    };
    std::vector<Line> lines;
    void write(const std::string& message, LogCategory category, LogLevel level) {
        lines.push_back({message, category, level});
    }
};

struct PlaceholderCase {
    const char* name;
    const char* format;
    std::vector<std::string> args;
    const char* expected;
};

void PrintTo(const PlaceholderCase& c, std::ostream* os) { *os << c.name; }

class PlaceholderTest : public ::testing::TestWithParam<PlaceholderCase> {};

TEST_P(PlaceholderTest, FormatsMessage) {
    const auto& c = GetParam();
    RecordingWriter writer;
    {
        Logger<RecordingWriter> log(writer, c.format, LogLevel_Trace, LogCategory_Download,
                                    LogLevel_Trace);
        for (const auto& a : c.args) log << a;
    }
    ASSERT_EQ(writer.lines.size(), 1u);
    EXPECT_EQ(writer.lines[0].message, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Log, PlaceholderTest,
    ::testing::Values(
        PlaceholderCase{"NoPlaceholderAppendsAll", "format", {"a", "1", "b"}, "formata1b"},
        PlaceholderCase{"UsedOneFilledOtherAppended", "x%1y", {"p", "q"}, "xqyp"},
        PlaceholderCase{"OutOfRangeStays", "%5", {"a", "b"}, "%5ab"},
        PlaceholderCase{"FourDigitsStay", "%0001", {"a", "b"}, "%0001ab"},
        PlaceholderCase{"LeadingZerosWithinThreeDigits", "%01-%001", {"a", "b"}, "b-ba"},
        PlaceholderCase{"ReusedArgument", "%0 and %0", {"a"}, "a and a"},
        PlaceholderCase{"BarePercentKept", "%%1 100%", {"a", "b"}, "%b 100%a"},
        PlaceholderCase{"PercentAtTheVeryEnd", "%", {}, "%"},
        PlaceholderCase{"AboveTheArgumentCount", "%254|%255", {"a"}, "%254|%255a"},
        PlaceholderCase{"AdjacentPlaceholders", "%1%0", {"x", "y"}, "yx"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Logger, ArgumentTypesUseDefaultDecimalFormatting) {
    RecordingWriter writer;
    const char* none = nullptr;
    {
        Logger<RecordingWriter> log(writer, "", LogLevel_Trace, LogCategory_General,
                                    LogLevel_Trace);
        log << "c|" << std::string("s|") << -42 << "|" << static_cast<int64_t>(-9000000000LL) << "|"
            << static_cast<uint16_t>(65535) << "|" << static_cast<short>(-7) << "|" << none
            << static_cast<size_t>(70000) << "|"
            << "end";
    }
    ASSERT_EQ(writer.lines.size(), 1u);
    EXPECT_EQ(writer.lines[0].message, "c|s|-42|-9000000000|65535|-7|70000|end");
}

TEST(Logger, WritesOnlyAtOrAboveThresholdAndPassesCategoryAndLevel) {
    RecordingWriter writer;
    {
        Logger<RecordingWriter>(writer, "below", LogLevel_Error, LogCategory_Init,
                                LogLevel_Information)
            << "x";
    }
    EXPECT_TRUE(writer.lines.empty());
    {
        Logger<RecordingWriter>(writer, "equal", LogLevel_Error, LogCategory_Init, LogLevel_Error)
            << "x";
    }
    ASSERT_EQ(writer.lines.size(), 1u);
    EXPECT_EQ(writer.lines[0].message, "equalx");
    EXPECT_EQ(writer.lines[0].category, LogCategory_Init);
    EXPECT_EQ(writer.lines[0].level, LogLevel_Error);
}

TEST(LogLine, CategoryAndLevelNames) {
    struct Case {
        LogCategory category;
        LogLevel level;
        const char* prefix;
    };
    for (const Case& c : {Case{0, 0, "[General] [Trace] "}, Case{1, 1, "[Init] [Information] "},
                          Case{2, 2, "[Download] [Warning] "}, Case{2, 3, "[Download] [Error] "},
                          Case{3, 7, "[***UNKNOWN***] [***UNKNOWN***] "},
                          Case{-1, -1, "[***UNKNOWN***] [***UNKNOWN***] "}}) {
        EXPECT_EQ(composeLogLine("m", c.category, c.level), std::string(c.prefix) + "m\r\n")
            << c.category << "/" << c.level;
    }
}

TEST(LogLine, LineBreaksInsideAMessageCannotStartANewLine) {
    EXPECT_EQ(composeLogLine("a\r\n[General] [Error] forged", 2, 0),
              "[Download] [Trace] a\\r\\n[General] [Error] forged\r\n");
}

TEST(LogTimestamp, UtcWithoutLeadingZeros) {
    using namespace std::chrono;
    // 2024-03-09 14:05:07.031 UTC
    sys_time<milliseconds> t =
        sys_days{year{2024} / 3 / 9} + hours{14} + minutes{5} + seconds{7} + milliseconds{31};
    EXPECT_EQ(logTimestamp(t), "2024/3/9 14:5:7:31");
    sys_time<milliseconds> t2 =
        sys_days{year{1999} / 12 / 31} + hours{23} + minutes{59} + seconds{59} + milliseconds{999};
    EXPECT_EQ(logTimestamp(t2), "1999/12/31 23:59:59:999");
    sys_time<milliseconds> t3 = sys_days{year{2025} / 1 / 1};
    EXPECT_EQ(logTimestamp(t3), "2025/1/1 0:0:0:0");
}

class FileLogWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = scratch.path();
        path = dir + "/Quenlow.log";
    }
    std::string contents() const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    test::ScratchDir scratch{"log"};
    std::string dir, path;
};

TEST_F(FileLogWriterTest, StatementBecomesOneCrLfLineAndRunsAppend) {
    using namespace std::chrono;
    {
        FileLogWriter writer(path);
        ASSERT_TRUE(writer.isOpen());
        sys_time<milliseconds> t =
            sys_days{year{2024} / 3 / 9} + hours{14} + minutes{5} + seconds{7} + milliseconds{31};
        Logger<FileLogWriter>(writer, "OnEventMessage", LogLevel_Trace, LogCategory_Download,
                              LogLevel_Trace)
            << " FileKey " << 2 << " " << logTimestamp(t) << " Event_ActionButton";
        // Below its threshold: leaves the file unchanged.
        Logger<FileLogWriter>(writer, "DocumentComplete Set m_csCurrentUrl", LogLevel_Error,
                              LogCategory_Init, LogLevel_Information)
            << "The url "
            << "http://x";
    }
    const std::string first =
        "[Download] [Trace] OnEventMessage FileKey 2 2024/3/9 14:5:7:31 Event_ActionButton\r\n";
    EXPECT_EQ(contents(), first);
    {
        // A second run appends; the first run's line stays.
        FileLogWriter writer(path);
        Logger<FileLogWriter>(writer, "OnErrorMessage", LogLevel_Error, LogCategory_Download,
                              LogLevel_Error)
            << " FileKey " << std::string("1") << " "
            << "boom";
    }
    EXPECT_EQ(contents(), first + "[Download] [Error] OnErrorMessage FileKey 1 boom\r\n");
}

TEST_F(FileLogWriterTest, UnopenableFileDropsLinesQuietly) {
    FileLogWriter writer(dir + "/missing-folder/Quenlow.log");
    EXPECT_FALSE(writer.isOpen());
    Logger<FileLogWriter>(writer, "x", LogLevel_Trace, LogCategory_General, LogLevel_Error) << 1;
    EXPECT_FALSE(std::filesystem::exists(dir + "/missing-folder"));
}

}  // namespace
}  // namespace quenlow
