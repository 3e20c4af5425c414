#pragma once
// The diagnostic log: FileLogWriter appends finished lines to "Quenlow.log"
// beside the save-state file (or to the file QUENLOW_LOG names); a Logger
// collects one statement (a format text plus arguments) and hands the finished
// message to the writer when it goes out of scope.
//
//   Logger<FileLogWriter>(writer, "OnEventMessage", LogLevel_Trace, LogCategory_Download,
//                         LogLevel_Trace) << " FileKey " << index << " " << logTimestamp();

#include <chrono>
#include <concepts>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace quenlow {

using LogCategory = int;
using LogLevel = int;

inline constexpr LogCategory LogCategory_General = 0;
inline constexpr LogCategory LogCategory_Init = 1;
inline constexpr LogCategory LogCategory_Download = 2;

inline constexpr LogLevel LogLevel_Trace = 0;
inline constexpr LogLevel LogLevel_Information = 1;
inline constexpr LogLevel LogLevel_Warning = 2;
inline constexpr LogLevel LogLevel_Error = 3;

// Names written into a line; "***UNKNOWN***" for any value outside the tables.
const char* logCategoryName(LogCategory category);
const char* logLevelName(LogLevel level);

// The UTC time as the log statements show it: "year/month/day hour:minute:second:milliseconds",
// every number without leading zeros (e.g. "2024/3/9 14:5:7:31").
std::string logTimestamp(
    std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

// Composes one log line: "[" category "] [" level "] " message, then CR LF.
// Line breaks inside the message are written as the two characters \r and \n,
// so a text from a server or a page can never forge further lines.
std::string composeLogLine(const std::string& message, LogCategory category, LogLevel level);

// Where the diagnostic log goes: the file $QUENLOW_LOG names, else "Quenlow.log"
// in applicationDataFolder(), beside the save-state file, whatever the current
// directory is (a program started from a menu runs in the home folder, where
// a log does not belong). Empty when there is no per-user data folder.
std::string diagnosticLogPath();

// Owns the open log file. Every line goes out with one write and is on disk
// before write() returns, so nothing is lost when the process ends. When the
// file cannot be opened, lines are silently dropped.
class FileLogWriter {
  public:
    // The diagnostic log at diagnosticLogPath(); its folder is created when missing.
    FileLogWriter();
    explicit FileLogWriter(const std::string& path);
    ~FileLogWriter();
    FileLogWriter(const FileLogWriter&) = delete;
    FileLogWriter& operator=(const FileLogWriter&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    void write(const std::string& message, LogCategory category, LogLevel level);

  private:
    int fd_ = -1;
    std::mutex mutex_;  // the view is the only writer; this only keeps lines whole if that changes
};

// Replaces "%N" placeholders (N: one to three digits, at most 254 and below the
// number of arguments) by argument N, then appends every argument no
// placeholder used, in order and without separators. Any other "%" stays as it is.
std::string formatLogMessage(const std::string& format,
                             std::deque<std::pair<std::string, bool>>& arguments);

// One log statement; the line is written when the object is destroyed.
template <class Writer>
class Logger {
  public:
    Logger(Writer& writer, std::string format, LogLevel threshold, LogCategory category,
           LogLevel level)
        : format_(std::move(format)),
          writer_(writer),
          threshold_(threshold),
          category_(category),
          level_(level) {}

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    virtual ~Logger() {
        if (level_ < threshold_) return;
        try {
            writer_.write(formatLogMessage(format_, arguments_), category_, level_);
        } catch (...) {
            // A log statement never takes the program down.
        }
    }

    Logger& operator<<(const char* text) { return push(text ? std::string(text) : std::string()); }
    Logger& operator<<(const std::string& text) { return push(text); }
    // Integers in plain decimal. Every width is taken as itself, so a size_t
    // is never squeezed into 16 bits on the way in.
    template <class T>
    requires std::signed_integral<T> &&(!std::same_as<T, char>)Logger& operator<<(T value) {
        return push(std::to_string(static_cast<long long>(value)));
    }
    template <class T>
    requires std::unsigned_integral<T> &&(!std::same_as<T, char>)&&(!std::same_as<T, bool>)Logger&
    operator<<(T value) {
        return push(std::to_string(static_cast<unsigned long long>(value)));
    }

  private:
    Logger& push(std::string text) {
        arguments_.emplace_back(std::move(text), false);
        return *this;
    }

    std::string format_;
    std::deque<std::pair<std::string, bool>> arguments_;  // (text, used)
    Writer& writer_;
    LogLevel threshold_;
    LogCategory category_;
    LogLevel level_;
};

}  // namespace quenlow
