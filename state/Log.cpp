#include "state/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "platform/FileSystem.h"
#include "platform/UserFolders.h"

namespace quenlow {

const char* logCategoryName(LogCategory category) {
    switch (category) {
        case LogCategory_General:
            return "General";
        case LogCategory_Init:
            return "Init";
        case LogCategory_Download:
            return "Download";
        default:
            return "***UNKNOWN***";
    }
}

const char* logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel_Trace:
            return "Trace";
        case LogLevel_Information:
            return "Information";
        case LogLevel_Warning:
            return "Warning";
        case LogLevel_Error:
            return "Error";
        default:
            return "***UNKNOWN***";
    }
}

std::string logTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    auto sinceEpoch = when.time_since_epoch();
    auto secs = floor<seconds>(sinceEpoch);
    auto millis = duration_cast<milliseconds>(sinceEpoch - secs).count();
    std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm tm{};
    gmtime_r(&t, &tm);
    return std::to_string(tm.tm_year + 1900) + "/" + std::to_string(tm.tm_mon + 1) + "/" +
           std::to_string(tm.tm_mday) + " " + std::to_string(tm.tm_hour) + ":" +
           std::to_string(tm.tm_min) + ":" + std::to_string(tm.tm_sec) + ":" +
           std::to_string(millis);
}

std::string composeLogLine(const std::string& message, LogCategory category, LogLevel level) {
    std::string line;
    line.reserve(message.size() + 32);
    line += "[";
    line += logCategoryName(category);
    line += "] [";
    line += logLevelName(level);
    line += "] ";
    for (char c : message) {
        if (c == '\r')
            line += "\\r";
        else if (c == '\n')
            line += "\\n";
        else
            line += c;
    }
    line += "\r\n";
    return line;
}

std::string formatLogMessage(const std::string& format,
                             std::deque<std::pair<std::string, bool>>& arguments) {
    std::string out;
    out.reserve(format.size());
    size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        size_t digits = 0;
        while (i + 1 + digits < format.size() && format[i + 1 + digits] >= '0' &&
               format[i + 1 + digits] <= '9')
            ++digits;
        if (digits >= 1 && digits <= 3) {
            size_t number = static_cast<size_t>(std::stoi(format.substr(i + 1, digits)));
            if (number <= 254 && number < arguments.size()) {
                out += arguments[number].first;
                arguments[number].second = true;
                i += 1 + digits;
                continue;
            }
        }
        // Not a placeholder: the "%" and whatever follows are copied as text.
        out += '%';
        ++i;
    }
    for (auto& [text, used] : arguments)
        if (!used) out += text;
    return out;
}

std::string diagnosticLogPath() {
    if (const char* named = std::getenv("QUENLOW_LOG"); named && *named) return named;
    std::string folder = applicationDataFolder();
    return folder.empty() ? folder : joinPath(folder, "Quenlow.log");
}

namespace {

// The per-user folder may not exist yet on a first run. If it cannot be made,
// the open fails and lines are dropped like those of any unwritable log.
std::string diagnosticLogPathWithFolder() {
    std::string path = diagnosticLogPath();
    if (path.find('/') != std::string::npos) CreateDirectoryTree(path, true);
    return path;
}

}  // namespace

FileLogWriter::FileLogWriter() : FileLogWriter(diagnosticLogPathWithFolder()) {}

FileLogWriter::FileLogWriter(const std::string& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

FileLogWriter::~FileLogWriter() {
    if (fd_ >= 0) ::close(fd_);
}

void FileLogWriter::write(const std::string& message, LogCategory category, LogLevel level) {
    if (fd_ < 0) return;
    const std::string line = composeLogLine(message, category, level);
    std::lock_guard lock(mutex_);
    appendAll(fd_, line.data(), line.size());  // write errors are not reported
}

}  // namespace quenlow
