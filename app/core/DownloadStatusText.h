#pragma once
// The text pane of the status bar: while downloads run, how many files are
// downloading, their combined speed and the time left, e.g.
// "2 files · 34.2 MB/s · 1 min 10 s left"; "Ready" when nothing runs. The
// speed is averaged over a short sliding window of samples, so the text does
// not jump with every chunk that arrives.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace quenlow {

class OrderState;

using SteadyTime = std::chrono::steady_clock::time_point;

// How often the main frame samples the files, and how far back the speed looks.
inline constexpr std::chrono::milliseconds StatusSampleInterval{500};
inline constexpr std::chrono::milliseconds StatusSpeedWindow{3000};

// One file of the order at a sampling moment.
struct FileProgressSample {
    enum class Activity { Idle, Downloading, Unpacking };
    Activity activity = Activity::Idle;
    int64_t downloadedBytes = 0;
    int64_t fileSize = 0;  // 0 while the server has not told every part's length
};

// The order's files at a sampling moment. generation tells orders apart: a new
// page load's order is never compared with the one before it.
struct OrderProgress {
    uint64_t generation = 0;
    std::vector<FileProgressSample> files;
};

// Reads the files' counters (atomics; safe while their controllers run).
// An absent order yields no files.
OrderProgress sampleOrder(const OrderState* order, uint64_t generation);

class DownloadStatusText {
  public:
    using Clock = std::function<SteadyTime()>;

    explicit DownloadStatusText(Clock now = std::chrono::steady_clock::now,
                                std::chrono::milliseconds window = StatusSpeedWindow);

    // Takes one sample of the order at the clock's current time.
    void sample(const OrderProgress& progress);
    // The pane's text after the latest sample.
    std::string text() const;
    // Bytes per second over the window; 0 until two samples span some time.
    double bytesPerSecond() const;

  private:
    struct Point {
        SteadyTime time;
        int64_t countedBytes;  // running total of the bytes seen arriving
    };

    // Bytes that arrived since the previous sample, over files that were
    // downloading then (a file that just started has no baseline yet).
    int64_t bytesSincePrevious(const OrderProgress& progress) const;

    Clock now_;
    std::chrono::milliseconds window_;
    std::deque<Point> points_;
    OrderProgress previous_;
    int64_t countedBytes_ = 0;
    int downloading_ = 0;
    int unpacking_ = 0;
    int64_t bytesLeft_ = 0;
    bool sizeUnknown_ = false;
};

// "512 B/s", "3.4 KB/s", "34.2 MB/s", "1.1 GB/s" (multiples of 1024).
std::string formatSpeed(double bytesPerSecond);
// "45 s", "1 min 10 s", "2 h 5 min", "3 d 4 h"; a zero second part is left out.
std::string formatTimeLeft(std::chrono::seconds left);

}  // namespace quenlow
