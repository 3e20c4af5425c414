#pragma once
// The records of one order's files and parts. A File is also its download
// controller: a worker thread with its own queue. The controller's behaviour
// lives in download/; the records are filled by OrderState (state/).

#include <Poco/Mutex.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Messages.h"
#include "platform/Pacing.h"
#include "platform/ViewTarget.h"
#include "platform/WorkerThread.h"

namespace quenlow {

class File;
class DownloadTask;

// When the controller flushes the output file and saves positions. The
// bound is a fraction of the file, capped: a crash re-fetches at most that
// much, and a flush costs the same on a fast disk whatever it covers.
struct CheckpointPolicy {
    int64_t capBytes = 32ll << 20;
    int64_t fileFraction = 16;         // the bound is fileSize / fileFraction ...
    int64_t floorBytes = 256ll << 10;  // ... but at least this
    Millis maxAge{250};                // unflushed bytes never wait longer (while chunks come)
};
// The process-wide policy; tests shrink it before starting threads.
CheckpointPolicy& checkpointPolicy();
class UnpackTask;

// One byte range of a file.
struct FilePart {
    std::string fileId;  // FileID
    std::string url;     // FileURL
    // Set by the part task with PartState_Error, under the owner's counters
    // lock and never once the controller has aborted the part: the view reads
    // them after the file's error report, which follows that abort.
    std::string errorUrl;
    std::string errorText;
    File* file = nullptr;             // the owner
    int index = 0;                    // FilePartKey - 1
    std::atomic<int64_t> length{-1};  // -1 until the server tells
    int32_t downloadKB = 0;
    int32_t extractedKB = 0;
    // The saved pair: what the save-state file holds and a restart resumes
    // from. It moves only at a checkpoint, after the flush that put its bytes
    // on disk, under the owner's counters lock (atomic so single reads from
    // task threads are well defined).
    std::atomic<int64_t> readPosition{0};
    std::atomic<int64_t> writePosition{0};
    // The written pair: where the next request starts and the next chunk
    // goes. The controller moves it as soon as a chunk is written.
    std::atomic<int64_t> nextReadPosition{0};
    std::atomic<int64_t> nextWritePosition{0};
    std::atomic<int> state{PartState_Start};
};

// Threads and locks, once for the whole class:
// - The controller thread (startController) handles the view's commands and
//   the task reports, one message at a time; it alone writes chunks and
//   closes the output file during a run.
// - A checkpoint's flush runs on a short-lived thread of its own (flush_):
//   it calls fdatasync on the descriptor and posts DownloadTaskState_Flushed;
//   the controller joins it before the descriptor is closed.
// - Part task threads call layoutStep, which opens the output file; they read
//   outputIsOpen() and take countersLock to set their part's error texts.
// - The view's thread fills the record fields before the controller starts,
//   then changes only the page inputs (setPageInput) and reads the records,
//   taking countersLock for the position pairs and the shared texts; it calls
//   shutdown at exit.
// Lock order: layoutLock_, then writeLock_, then countersLock; tasksLock_ is
// never held together with another of them. All are Poco::FastMutex.
class File : public WorkerThread {
  public:
    File();
    ~File() override;

    // --- record fields (filled by OrderState before the controller starts) ---
    int fileTypeId = 0;
    std::string fileKey;
    std::string fileName;
    std::string installCommand;
    // Written off the view's thread under countersLock (a failed opening
    // clears outputFolder, an unpack stores launchFolder): read them there
    // through outputFolderCopy() / launchFolderCopy().
    std::string outputFolder;
    std::string outputPath;  // outputFolder + "/", or the folder a prelocated package was found in
    std::string launchFolder;
    std::atomic<int64_t> fileSize{0};
    std::atomic<int64_t> downloadedBytes{0};
    std::atomic<int> state{FileState_Initial};
    std::vector<std::unique_ptr<FilePart>> parts;
    int partCount = 0;
    bool isPackage = false;
    bool prelocated = false;
    bool traceEnabled = false;
    bool deleteOnCrcFailure = true;
    ViewTarget* viewWindow = nullptr;

    // The decimal value of fileKey: the file number in view messages.
    int fileNumber() const;

    std::string outputFolderCopy() const { return lockedCopy(outputFolder); }
    std::string launchFolderCopy() const { return lockedCopy(launchFolder); }

    // Set by the view from the page while the controller may be reading them:
    // change and read them across threads through the accessors below.
    std::string pageFileUrl;
    std::string unpackParameter;
    void setPageInput(std::string& field, const std::string& value) {
        Poco::FastMutex::ScopedLock lock(countersLock);
        if (field != value) field = value;
    }
    std::string pageFileUrlCopy() const { return lockedCopy(pageFileUrl); }
    std::string unpackParameterCopy() const { return lockedCopy(unpackParameter); }
    // A text field shared with another thread, read under countersLock.
    std::string lockedCopy(const std::string& field) const {
        Poco::FastMutex::ScopedLock lock(countersLock);
        return field;
    }

    // Each part's saved readPosition / writePosition pair; also outputFolder,
    // launchFolder, the page inputs and the parts' error texts while the
    // controller runs. The save-state writer takes it for every file it saves.
    mutable Poco::FastMutex countersLock;

    // Starts the controller thread (idle until a command arrives). False, with
    // the file failed and the view told, when no thread could be started.
    bool startController();
    // Stops the tasks, the unpack task and the controller thread, and joins them all.
    void shutdown();

    // Called by a part task once its part's length is known or the part is
    // complete: lays the parts out and opens the output file when every
    // length is known, at most once per opening.
    void layoutStep();

    // Creates one idle task per part (a start also runs them); chunks can
    // then be handed over and acknowledged without any thread running.
    void createTasks();
    size_t taskCount() const;
    DownloadTask& task(size_t index);
    bool outputIsOpen() const { return outputOpen_.load(); }
    // The last unpack run has ended (its thread has finished).
    bool unpackFinished() const;

  private:
    void handle(Message& msg);
    int downloadPercent() const;

    // Commands from the view.
    void OnCommandMessage(int command);
    void startFile();
    void startTasks();
    // Starts the threads not yet running; a thread that cannot be started
    // fails the file.
    bool startTaskThreads();
    // The part error text the view shows for a thread that could not start.
    void noteThreadStartFailure(const std::system_error& e);
    void restartTasks();
    void resumeParts();
    void pauseParts();
    // Every part complete but the file is not (an unpack failed and the view
    // deleted the package): the next start fetches the whole file again.
    void resetForNewDownload();

    // Reports from the part tasks, the unpack task and the controller itself.
    void OnTaskMessage(int code, Message& msg);
    void onChunk(Message& msg);
    void onPartFailed();
    void onPartPaused();
    void onPartCompleted();
    void relayLog(Message& msg);
    void onUnpackProgress(int percent);
    void onUnpacked(Message& msg);
    // Tells the view the file failed with code, after its parts are aborted
    // (the view then reads error texts no task changes any more); once per run.
    void failFile(int code);

    // The output file.
    // Writes one chunk at its part's nextWritePosition and moves the written
    // pair; the saved pair waits for the next checkpoint.
    bool writeChunk(int index, const char* buffer, size_t n);
    // Starts a checkpoint when the unflushed bytes reach their bound or have
    // waited too long; its flush runs in the background.
    void checkpointIfDue();
    // Takes each part's written pair and flushes on a thread of its own, so
    // chunks are written meanwhile; the positions are saved when it ends.
    // Without a thread it checkpoints in line: false when that flush failed.
    bool beginBackgroundCheckpoint();  // writeLock_ held
    // Every part's written pair, in part order.
    std::vector<std::pair<int64_t, int64_t>> writtenPositions() const;
    // The background flush numbered `number` ended: saves its positions, or
    // fails the file when it failed.
    void onFlushed(intptr_t number);
    // Waits for the background flush in flight, if any, and saves its
    // positions; false when it failed (everything unflushed is rolled back).
    bool finishBackgroundCheckpointLocked();  // writeLock_ held
    void publishSavedPositions(const std::vector<std::pair<int64_t, int64_t>>& written);
    // Flushes the output file, then makes every part's written pair its
    // saved pair and asks the view to save. False when the flush failed: the
    // written pairs go back to the saved ones, so those bytes are fetched again.
    bool takeCheckpoint();
    bool checkpointLocked();  // writeLock_ held
    void rollBackUnflushed();
    void reportProgress();
    // Before a run starts, the written pairs start from the saved ones.
    void resumeFromSavedPositions();
    enum class Layout { NotReady, Ready, TooBig };
    Layout layParts();
    void openOutputFile();
    // The first part's figures and the whole file must fit; false when fewer
    // bytes are free.
    bool enoughFreeSpace(const std::string& path);
    static std::string existingAncestor(std::string folder);
    bool holdsSavedBytes() const;
    // Opens the output file without following a link; a link, a file with
    // other names or a non-file is replaced for a new download and refused
    // (-EEXIST) for one that resumes into it.
    int openWithoutLinks(const std::string& path, bool& created);
    void forgetOutputFolder();
    void abortFileParts();
    // Takes a checkpoint, then closes; false when the checkpoint failed.
    bool closeOutputFile();
    void startUnpack();

    bool allPartsIn(int partState) const;
    // The controller has aborted this run (a failed opening, an error).
    bool runAborted() const;
    void setPartState(FilePart& part, int partState);
    void acknowledge(int index);
    // Sleeps, ending early when the controller is being shut down.
    void rest(Millis d);
    void yieldAfterPost();
    void postView(uint32_t id, uintptr_t wParam, intptr_t lParam);
    void postViewText(uint32_t id, uintptr_t wParam, std::string text);

    std::vector<std::unique_ptr<DownloadTask>> tasks_;  // walked by shutdown under tasksLock_
    std::unique_ptr<UnpackTask> unpackTask_;            // replaced under tasksLock_
    int outputFile_ = -1;                               // descriptor, -1 when closed
    std::atomic<bool> outputOpen_{false};
    int32_t lastPercent_ = 0;
    int32_t lastUnpackPercent_ = 0;
    int pausedReports_ = 0;  // tasks that reported "paused" since the last pause command

    // Bytes written since the last checkpoint, and when the first of them
    // was; guarded by writeLock_ with the descriptor they were written to.
    int64_t unflushedBytes_ = 0;
    std::chrono::steady_clock::time_point unflushedSince_;

    // The background checkpoint in flight; its fields are the controller's
    // (or shutdown's, once the controller has stopped), under writeLock_.
    struct BackgroundFlush {
        std::thread thread;
        std::vector<std::pair<int64_t, int64_t>> written;  // each part's written pair at its start
        int64_t bytes = 0;                                 // the unflushed bytes it covers
        intptr_t number = 0;
        std::atomic<int> result{0};
    } flush_;

    Poco::FastMutex layoutLock_;         // layoutStep runs at most once per opening
    Poco::FastMutex writeLock_;          // the output descriptor: write, flush, close
    mutable Poco::FastMutex tasksLock_;  // tasks_ and unpackTask_ against shutdown's walk
};

}  // namespace quenlow
