#include "app/core/DownloadStatusText.h"

#include <algorithm>
#include <cmath>

#include "state/OrderState.h"

namespace quenlow {

namespace {

const char* const Separator = " \xC2\xB7 ";  // " · "

std::string countOf(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Two units of a duration, the second left out when it is zero.
std::string twoUnits(long long big, const char* bigUnit, long long small, const char* smallUnit) {
    std::string text = std::to_string(big) + " " + bigUnit;
    if (small != 0) text += " " + std::to_string(small) + " " + smallUnit;
    return text;
}

}  // namespace

OrderProgress sampleOrder(const OrderState* order, uint64_t generation) {
    OrderProgress progress;
    progress.generation = generation;
    if (!order) return progress;
    progress.files.reserve(order->files.size());
    for (const auto& file : order->files) {
        FileProgressSample s;
        const int state = file->state.load();
        if (state == FileState_Downloading)
            s.activity = FileProgressSample::Activity::Downloading;
        else if (state == FileState_Unpacking)
            s.activity = FileProgressSample::Activity::Unpacking;
        s.downloadedBytes = file->downloadedBytes.load();
        s.fileSize = file->fileSize.load();
        progress.files.push_back(s);
    }
    return progress;
}

DownloadStatusText::DownloadStatusText(Clock now, std::chrono::milliseconds window)
    : now_(std::move(now)), window_(window) {}

int64_t DownloadStatusText::bytesSincePrevious(const OrderProgress& progress) const {
    if (progress.generation != previous_.generation) return 0;
    int64_t bytes = 0;
    const size_t n = std::min(progress.files.size(), previous_.files.size());
    for (size_t i = 0; i < n; ++i) {
        const FileProgressSample& before = previous_.files[i];
        if (before.activity != FileProgressSample::Activity::Downloading) continue;
        // A file that fell back (an error reset it) brought no bytes.
        bytes += std::max<int64_t>(0, progress.files[i].downloadedBytes - before.downloadedBytes);
    }
    return bytes;
}

void DownloadStatusText::sample(const OrderProgress& progress) {
    const SteadyTime now = now_();
    // A new page load's order starts its own measurement.
    if (progress.generation != previous_.generation) points_.clear();
    countedBytes_ += bytesSincePrevious(progress);
    previous_ = progress;

    downloading_ = unpacking_ = 0;
    bytesLeft_ = 0;
    sizeUnknown_ = false;
    for (const FileProgressSample& f : progress.files) {
        if (f.activity == FileProgressSample::Activity::Unpacking) ++unpacking_;
        if (f.activity != FileProgressSample::Activity::Downloading) continue;
        ++downloading_;
        if (f.fileSize <= 0)
            sizeUnknown_ = true;
        else
            bytesLeft_ += std::max<int64_t>(0, f.fileSize - f.downloadedBytes);
    }

    if (downloading_ == 0) {
        // The next download starts measuring afresh, not from an old average.
        points_.clear();
        return;
    }
    points_.push_back({now, countedBytes_});
    while (points_.size() > 2 && now - points_[1].time >= window_) points_.pop_front();
}

double DownloadStatusText::bytesPerSecond() const {
    if (points_.size() < 2) return 0;
    const auto span = std::chrono::duration<double>(points_.back().time - points_.front().time);
    if (span.count() <= 0) return 0;
    return static_cast<double>(points_.back().countedBytes - points_.front().countedBytes) /
           span.count();
}

std::string DownloadStatusText::text() const {
    if (downloading_ == 0) {
        if (unpacking_ > 0) return "Unpacking " + countOf(unpacking_, "file", "files");
        return "Ready";
    }
    std::string text = countOf(downloading_, "file", "files");
    if (points_.size() < 2) return text;  // nothing measured yet
    const double speed = bytesPerSecond();
    text += Separator + formatSpeed(speed);
    if (speed > 0 && !sizeUnknown_) {
        // Rounded up: "0 s left" while bytes are still missing would be wrong.
        const double seconds = std::ceil(static_cast<double>(bytesLeft_) / speed);
        const double capped = std::min(seconds, 1e9);
        text += Separator + formatTimeLeft(std::chrono::seconds(static_cast<long long>(capped))) +
                " left";
    }
    return text;
}

std::string formatSpeed(double bytesPerSecond) {
    if (!(bytesPerSecond > 0)) return "0 B/s";
    if (bytesPerSecond < 1024) return std::to_string(std::llround(bytesPerSecond)) + " B/s";
    static const char* const units[] = {"KB/s", "MB/s", "GB/s", "TB/s"};
    double value = bytesPerSecond / 1024;
    size_t unit = 0;
    // Chosen after rounding, so 1023.96 KB/s reads "1.0 MB/s", not "1024.0 KB/s".
    while (unit + 1 < std::size(units) && std::llround(value * 10) >= 10240) {
        value /= 1024;
        ++unit;
    }
    // Whole tenths by hand: the user's locale must not turn the point into a comma
    // in an otherwise English text.
    const long long tenths = std::llround(value * 10);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + units[unit];
}

std::string formatTimeLeft(std::chrono::seconds left) {
    const long long s = std::max<long long>(0, left.count());
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return twoUnits(s / 60, "min", s % 60, "s");
    if (s < 86400) return twoUnits(s / 3600, "h", s % 3600 / 60, "min");
    return twoUnits(s / 86400, "d", s % 86400 / 3600, "h");
}

}  // namespace quenlow
