#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "state/Log.h"
#include "state/OrderState.h"
#include "support/ScopedEnvironment.h"
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

// Where the diagnostic log goes, from the environment of a run. Paths are
// relative to a fresh temporary root; the process runs in root/cwd.
struct LogPlaceCase {
    const char* name;
    const char* appData;
    const char* xdgDataHome;
    const char* home;
    const char* quenlowLog;
    const char* expected;  // where the line lands; nullptr: nowhere
};

void PrintTo(const LogPlaceCase& c, std::ostream* os) { *os << c.name; }

class LogPlaceTest : public ::testing::TestWithParam<LogPlaceCase> {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root + "/cwd");
        for (const char* name : {"APPDATA", "XDG_DATA_HOME", "HOME", "QUENLOW_LOG"})
            env.remember(name);
        savedCwd = std::filesystem::current_path();
        std::filesystem::current_path(root + "/cwd");
    }
    void TearDown() override { std::filesystem::current_path(savedCwd); }
    // Sets name to root + "/" + value ("" stays empty, nullptr unsets).
    void setUnderRoot(const char* name, const char* value, bool relative = false) {
        if (!value)
            env.set(name, std::nullopt);
        else if (!*value || relative)
            env.set(name, std::string(value));
        else
            env.set(name, root + "/" + value);
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    test::ScratchDir scratch{"logplace"};
    const std::string root = scratch.path();
    test::ScopedEnvironment env;
    std::filesystem::path savedCwd;
};

TEST_P(LogPlaceTest, LinesLandInThePerUserFolderOrTheNamedFileAndAppend) {
    const LogPlaceCase& c = GetParam();
    setUnderRoot("APPDATA", c.appData);
    setUnderRoot("XDG_DATA_HOME", c.xdgDataHome);
    setUnderRoot("HOME", c.home);
    const bool relativeLog = c.quenlowLog && *c.quenlowLog && c.quenlowLog[0] == '.';
    setUnderRoot("QUENLOW_LOG", c.quenlowLog, relativeLog);

    for (const char* text : {"first run", "second run"}) {
        FileLogWriter writer;  // a run of the application opens the log anew
        Logger<FileLogWriter>(writer, "OnDebugMessage", LogLevel_Trace, LogCategory_Download,
                              LogLevel_Trace)
            << " " << text;
    }

    const std::string lines =
        "[Download] [Trace] OnDebugMessage first run\r\n"
        "[Download] [Trace] OnDebugMessage second run\r\n";
    if (c.expected) {
        EXPECT_EQ(read(root + "/" + c.expected), lines);
    } else {
        EXPECT_EQ(diagnosticLogPath(), "");
    }
    // Never into the current folder unless the log was named there.
    if (!relativeLog) {
        EXPECT_TRUE(std::filesystem::is_empty(root + "/cwd"));
    }
    // The default log sits beside the save-state file.
    if (!c.quenlowLog || !*c.quenlowLog) {
        EXPECT_EQ(std::filesystem::path(diagnosticLogPath()).parent_path(),
                  std::filesystem::path(saveStateFilePath()).parent_path());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Environments, LogPlaceTest,
    ::testing::Values(LogPlaceCase{"AppData", "appdata", "xdg", "home", nullptr,
                                   "appdata/Ostrel Inc/Quenlow/Quenlow.log"},
                      LogPlaceCase{"XdgDataHome", nullptr, "xdg", "home", nullptr,
                                   "xdg/Ostrel Inc/Quenlow/Quenlow.log"},
                      LogPlaceCase{"HomeOnly", nullptr, nullptr, "home", nullptr,
                                   "home/.local/share/Ostrel Inc/Quenlow/Quenlow.log"},
                      LogPlaceCase{"EmptyQuenlowLogIsUnset", "appdata", nullptr, "home", "",
                                   "appdata/Ostrel Inc/Quenlow/Quenlow.log"},
                      LogPlaceCase{"QuenlowLogNamesAFile", "appdata", nullptr, "home",
                                   "elsewhere/deep/my.log", "elsewhere/deep/my.log"},
                      LogPlaceCase{"QuenlowLogRelativeToTheCurrentFolder", "appdata", nullptr,
                                   "home", "./mine.log", "cwd/mine.log"},
                      LogPlaceCase{"NoUserFolderNoLog", nullptr, nullptr, nullptr, nullptr,
                                   nullptr}),
    [](const ::testing::TestParamInfo<LogPlaceCase>& info) { return info.param.name; });

TEST_F(LogPlaceTest, AFileWhereTheFolderShouldBeLeavesTheLogUnopened) {
    setenv("APPDATA", (root + "/appdata").c_str(), 1);
    unsetenv("QUENLOW_LOG");
    std::filesystem::create_directories(root + "/appdata");
    std::ofstream(root + "/appdata/Ostrel Inc") << "not a folder";
    FileLogWriter writer;
    EXPECT_FALSE(writer.isOpen());
    Logger<FileLogWriter>(writer, "x", LogLevel_Trace, LogCategory_General, LogLevel_Error) << 1;
    EXPECT_EQ(read(root + "/appdata/Ostrel Inc"), "not a folder");
    EXPECT_TRUE(std::filesystem::is_empty(root + "/cwd"));
}

}  // namespace
}  // namespace quenlow
