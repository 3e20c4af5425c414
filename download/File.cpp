#include "download/File.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "download/DownloadTask.h"
#include "package/UnpackTask.h"
#include "platform/FileSystem.h"
#include "platform/Pacing.h"
#include "platform/Text.h"

namespace quenlow {

CheckpointPolicy& checkpointPolicy() {
    static CheckpointPolicy policy;
    return policy;
}

File::File() = default;

File::~File() { shutdown(); }

int File::fileNumber() const { return parseInt(fileKey); }

bool File::startController() {
    try {
        startThread([this](Message& m) { handle(m); });
        return true;
    } catch (const std::system_error& e) {
        // Without its controller the file can do nothing: it fails, the order goes on.
        noteThreadStartFailure(e);
        postView(UM_FILE_ERROR, fileNumber(), Error_Download);
        state.store(FileState_Error);
        return false;
    }
}

void File::noteThreadStartFailure(const std::system_error& e) {
    if (parts.empty()) return;
    Poco::FastMutex::ScopedLock lock(countersLock);
    parts[0]->errorUrl = parts[0]->url;
    parts[0]->errorText = std::string("Unable to start a download thread: ") + e.what();
}

void File::shutdown() {
    // Wake every task first (reads, acknowledgement and pause waits), then let
    // the controller finish its current message before the tasks are joined:
    // a chunk being written still points into its task's buffer.
    {
        Poco::FastMutex::ScopedLock lock(tasksLock_);
        for (auto& t : tasks_) t->requestStop();
    }
    stopAndJoin();
    for (auto& t : tasks_) t->stopAndJoin();
    if (unpackTask_) unpackTask_->stopAndJoin();
    closeOutputFile();
}

void File::createTasks() {
    const std::string url = pageFileUrlCopy();
    Poco::FastMutex::ScopedLock lock(tasksLock_);
    for (auto& p : parts) tasks_.push_back(std::make_unique<DownloadTask>(threadId(), *p, url));
}

size_t File::taskCount() const {
    Poco::FastMutex::ScopedLock lock(tasksLock_);
    return tasks_.size();
}

DownloadTask& File::task(size_t index) {
    Poco::FastMutex::ScopedLock lock(tasksLock_);
    return *tasks_.at(index);
}

bool File::unpackFinished() const {
    Poco::FastMutex::ScopedLock lock(tasksLock_);
    return unpackTask_ && unpackTask_->finished();
}

void File::rest(Millis d) {
    auto until = std::chrono::steady_clock::now() + d;
    while (!stopRequested()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= until) break;
        sleepFor(std::min<Millis>(Millis(10),
                                  std::chrono::duration_cast<Millis>(until - now) + Millis(1)));
    }
}

void File::yieldAfterPost() { sleepFor(pacing().yieldAfterPost); }

void File::handle(Message& msg) {
    if (msg.id == UM_FILE_COMMAND)
        OnCommandMessage(static_cast<int>(msg.lParam));
    else if (msg.id == UM_TASK_MESSAGE)
        OnTaskMessage(static_cast<int>(msg.wParam), msg);
}

void File::postView(uint32_t id, uintptr_t wParam, intptr_t lParam) {
    if (viewWindow) viewWindow->postViewMessage(Message(id, wParam, lParam));
}

void File::postViewText(uint32_t id, uintptr_t wParam, std::string text) {
    if (viewWindow) viewWindow->postViewMessage(textMessage(id, wParam, std::move(text)));
}

void File::setPartState(FilePart& part, int partState) {
    part.state.store(partState);
    part.state.notify_all();
}

bool File::runAborted() const {
    return std::any_of(parts.begin(), parts.end(),
                       [](const auto& p) { return p->state.load() == PartState_Abort; });
}

bool File::allPartsIn(int partState) const {
    return std::all_of(parts.begin(), parts.end(),
                       [&](const auto& p) { return p->state.load() == partState; });
}

int File::downloadPercent() const {
    uint64_t size = static_cast<uint64_t>(fileSize.load());
    if (size == 0) return 0;
    double pct = static_cast<double>(static_cast<uint64_t>(downloadedBytes.load())) /
                 static_cast<double>(size) * 100.0;
    return static_cast<int>(std::min(pct, 100.0));
}

// ---------------------------------------------------------------- commands

void File::OnCommandMessage(int command) {
    // A pause or resume click can cross the file's completion or the start of
    // its unpack: the file is done with its parts, and changing its state now
    // would save a complete file as unfinished.
    const int current = state.load();
    if ((command == FileState_Downloading || command == FileState_Paused) && !prelocated &&
        (current == FileState_Complete || current == FileState_Unpacking))
        return;
    switch (command) {
        case FileState_Initial:
            startFile();
            break;
        case FileState_Downloading:
            if (prelocated)
                threadId()->post(Message(UM_TASK_MESSAGE, DownloadTaskState_StartUnpack, 0));
            else
                resumeParts();
            break;
        case FileState_Paused:
            pauseParts();
            break;
        default:
            break;
    }
}

void File::startFile() {
    if (state.load() == FileState_Complete) {
        postView(UM_ALREADY_COMPLETE, 0, fileNumber());
        return;
    }
    if (!parts.empty() && allPartsIn(PartState_Completed)) resetForNewDownload();
    if (lastPercent_ == 0 && downloadPercent() == 0) {
        postView(UM_WAIT_WIDGET, WaitWidget_Show, 0);
        yieldAfterPost();
    }
    if (taskCount() == 0) {
        startTasks();
        return;
    }
    postViewText(UM_DEBUG_TEXT, fileNumber(),
                 "OnCommandMessage::FileState_Initial call closeOutputFile");
    closeOutputFile();
    restartTasks();
}

void File::resetForNewDownload() {
    {
        Poco::FastMutex::ScopedLock lock(countersLock);
        for (auto& p : parts) {
            p->readPosition.store(0);
            p->writePosition.store(0);
            p->nextReadPosition.store(0);
            p->nextWritePosition.store(0);
            p->length.store(-1);
            setPartState(*p, PartState_Start);
        }
        fileSize.store(0);
        downloadedBytes.store(0);
    }
    lastPercent_ = 0;  // the percent starts over with the bytes
}

void File::resumeFromSavedPositions() {
    Poco::FastMutex::ScopedLock lock(countersLock);
    for (auto& p : parts) {
        if (p->state.load() == PartState_Completed) continue;
        p->nextReadPosition.store(p->readPosition.load());
        p->nextWritePosition.store(p->writePosition.load());
    }
}

void File::startTasks() {
    for (auto& p : parts) setPartState(*p, PartState_Start);
    resumeFromSavedPositions();
    createTasks();
    if (!startTaskThreads()) return;
    for (auto& t : tasks_) {
        yieldAfterPost();
        t->post(Message(UM_TASK_COMMAND, UM_TASK_COMMAND, TaskCommand_Start));
    }
}

bool File::startTaskThreads() {
    try {
        for (auto& t : tasks_) t->startTask();  // a running one is left as it is
        return true;
    } catch (const std::system_error& e) {
        // Out of threads (or memory for one): this file fails, the process goes on.
        noteThreadStartFailure(e);
        failFile(Error_Download);
        return false;
    }
}

void File::restartTasks() {
    for (auto& p : parts)
        if (p->state.load() != PartState_Completed) setPartState(*p, PartState_Start);
    resumeFromSavedPositions();
    if (!startTaskThreads()) return;
    for (size_t i = 0; i < tasks_.size(); ++i) {
        tasks_[i]->setPageFileUrl(pageFileUrlCopy());
        sleepFor(pacing().restartGap);
        tasks_[i]->post(Message(UM_TASK_COMMAND, UM_TASK_COMMAND, TaskCommand_Start));
    }
}

void File::resumeParts() {
    int previous = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        FilePart& p = *parts[i];
        previous = p.state.load();
        if (previous != PartState_Completed) setPartState(p, PartState_Go);
        if (i < tasks_.size()) tasks_[i]->setPageFileUrl(pageFileUrlCopy());
    }
    if (previous == PartState_Start)
        for (auto& t : tasks_)
            t->post(Message(UM_TASK_COMMAND, UM_TASK_COMMAND, TaskCommand_Resume));
    state.store(FileState_Downloading);
    postView(UM_FILE_STATUS, Status_Resumed, fileNumber());
}

void File::pauseParts() {
    pausedReports_ = 0;
    for (auto& p : parts)
        if (p->state.load() != PartState_Completed) setPartState(*p, PartState_Pause);
    state.store(FileState_Paused);
}

// ---------------------------------------------------------------- task reports

void File::acknowledge(int index) {
    if (index < 0 || static_cast<size_t>(index) >= tasks_.size()) return;
    DownloadTask& t = *tasks_[static_cast<size_t>(index)];
    t.acknowledged.store(true);
    t.acknowledged.notify_all();
}

void File::OnTaskMessage(int code, Message& msg) {
    switch (code) {
        case DownloadTaskState_Data:
            onChunk(msg);
            break;
        case DownloadTaskState_Flushed:
            onFlushed(msg.lParam);
            break;
        case DownloadTaskState_Error:
            onPartFailed();
            break;
        case DownloadTaskState_Paused:
            onPartPaused();
            break;
        case DownloadTaskState_Completed:
            onPartCompleted();
            break;
        case DownloadTaskState_Log:
            relayLog(msg);
            break;
        // The unpack hand-off.
        case DownloadTaskState_StartUnpack:
            lastUnpackPercent_ = 0;
            startUnpack();
            break;
        case DownloadTaskState_Progress:
            onUnpackProgress(static_cast<int>(msg.lParam));
            break;
        case DownloadTaskState_UnpackFailed:
            // A full disk is told as such: the user can free space and retry.
            postView(UM_FILE_ERROR, fileNumber(),
                     msg.lParam == Error_DiskSpace ? Error_DiskSpace : Error_Unpack);
            state.store(FileState_Error);
            break;
        case DownloadTaskState_Unpacked:
            onUnpacked(msg);
            break;
        case DownloadTaskState_CrcStarted:
            postView(UM_FILE_STATUS, Status_CrcChecking, fileNumber());
            break;
        case DownloadTaskState_CrcFinished:
            lastUnpackPercent_ = 0;
            postView(UM_FILE_STATUS, Status_Unpacking, fileNumber());
            break;
        default:
            break;
    }
}

void File::onChunk(Message& msg) {
    auto* chunk = msg.payloadAs<ChunkList>();
    if (!chunk || !chunk->indexText || !chunk->countText) return;
    size_t n = parseUnsigned(*chunk->countText);
    int index = parseInt(*chunk->indexText);
    if (lastPercent_ == 0) {
        postView(UM_WAIT_WIDGET, WaitWidget_Hide, 0);
        yieldAfterPost();
    }
    bool written = writeChunk(index, chunk->buffer, n);
    msg.payload.reset();
    // The task reads on while the disk catches up; also after a failure, so
    // that no task waits forever.
    acknowledge(index);
    if (!written) {
        failFile(Error_DiskWrite);
        return;
    }
    reportProgress();
    checkpointIfDue();
}

void File::failFile(int code) {
    // Once per run, however many of its parts, chunks or flushes fail with
    // it: the first failure aborted the run, and a chunk still on its way
    // then finds the file closed.
    if (runAborted()) return;
    abortFileParts();
    postView(UM_FILE_ERROR, fileNumber(), code);
    state.store(FileState_Error);
}

void File::onPartFailed() { failFile(Error_Download); }

void File::onPartPaused() {
    // Tell the view once, when the last task has stopped, and only once what
    // was written is saved: a paused download may be the last thing it does.
    if (++pausedReports_ != static_cast<int>(parts.size()) || !allPartsIn(PartState_Pause)) return;
    if (!takeCheckpoint()) {
        failFile(Error_DiskWrite);
        return;
    }
    state.store(FileState_Paused);
    postView(UM_FILE_STATUS, Status_Paused, fileNumber());
}

void File::onPartCompleted() {
    postView(UM_WAIT_WIDGET, WaitWidget_Hide, 0);
    int s = state.load();
    // Completions that arrive together must finish the file only once.
    if (s == FileState_Unpacking || s == FileState_Complete) return;
    if (!prelocated && !allPartsIn(PartState_Completed)) return;
    postViewText(UM_DEBUG_TEXT, fileNumber(),
                 "OnTaskMessage::DownloadTaskState_Completed call closeOutputFile");
    // Never complete, or unpack, a file whose bytes are not all on disk.
    if (!closeOutputFile()) {
        failFile(Error_DiskWrite);
        return;
    }
    if (isPackage) {
        lastUnpackPercent_ = 0;
        startUnpack();
        return;
    }
    state.store(FileState_Complete);
    postView(UM_FILE_STATUS, Status_Complete, fileNumber());
    yieldAfterPost();
}

void File::relayLog(Message& msg) {
    if (viewWindow && msg.payload)
        viewWindow->postViewMessage(Message(UM_DEBUG_TEXT, static_cast<uintptr_t>(fileNumber()), 0,
                                            std::move(msg.payload)));
}

void File::onUnpackProgress(int percent) {
    if (percent <= lastUnpackPercent_) return;
    postView(UM_FILE_PROGRESS, fileNumber(), percent);
    yieldAfterPost();
    lastUnpackPercent_ = percent;
}

void File::onUnpacked(Message& msg) {
    if (const std::string* text = msg.text()) {
        Poco::FastMutex::ScopedLock lock(countersLock);  // a save may be reading it
        launchFolder = *text;
    }
    msg.payload.reset();
    rest(pacing().unpackedSettle);
    state.store(FileState_Complete);
    if (!prelocated) fileSystem().remove(joinPath(outputFolder, fileName));
    {
        Poco::FastMutex::ScopedLock lock(tasksLock_);
        if (unpackTask_) unpackTask_->post(Message(WM_QUIT, 0, 0));
    }
    postView(UM_FILE_STATUS, Status_Unpacked, fileNumber());
    yieldAfterPost();
}

// ---------------------------------------------------------------- output file

bool File::writeChunk(int index, const char* buffer, size_t n) {
    Poco::FastMutex::ScopedLock writeGuard(writeLock_);
    const char* failure = nullptr;
    FileSystem& fs = fileSystem();
    if (index < 0 || static_cast<size_t>(index) >= parts.size() || !buffer) {
        failure = "Set file pointer failed.";
    } else {
        FilePart& p = *parts[static_cast<size_t>(index)];
        int64_t offset = p.nextWritePosition.load();
        // Bytes past the part's length belong to the next part's stretch: drop them.
        int64_t length = p.length.load();
        if (length != -1)
            n = static_cast<size_t>(std::clamp<int64_t>(length - p.nextReadPosition.load(), 0,
                                                        static_cast<int64_t>(n)));
        if (!outputOpen_.load() || outputFile_ < 0 || offset < 0) {
            failure = "Set file pointer failed.";
        } else if (n > 0 && writeAll(fs, outputFile_, buffer, n, static_cast<off_t>(offset)) < 0) {
            failure = "Write file failed";
        } else {
            if (n == 0) return true;
            if (unflushedBytes_ == 0) unflushedSince_ = std::chrono::steady_clock::now();
            unflushedBytes_ += static_cast<int64_t>(n);
            p.nextWritePosition.fetch_add(static_cast<int64_t>(n));
            p.nextReadPosition.fetch_add(static_cast<int64_t>(n));
            downloadedBytes.fetch_add(static_cast<int64_t>(n));
            return true;
        }
    }
    postViewText(UM_DEBUG_TEXT, fileNumber(), failure);
    return false;
}

void File::checkpointIfDue() {
    const CheckpointPolicy& policy = checkpointPolicy();
    int64_t bound = std::clamp(fileSize.load() / std::max<int64_t>(policy.fileFraction, 1),
                               policy.floorBytes, std::max(policy.capBytes, policy.floorBytes));
    bool failed = false;
    {
        Poco::FastMutex::ScopedLock writeGuard(writeLock_);
        // One flush at a time: bytes written meanwhile wait for the next one.
        if (flush_.thread.joinable()) return;
        if (unflushedBytes_ >= bound ||
            (unflushedBytes_ > 0 &&
             std::chrono::steady_clock::now() - unflushedSince_ >= policy.maxAge))
            failed = !beginBackgroundCheckpoint();
    }
    if (failed) failFile(Error_DiskWrite);
}

bool File::beginBackgroundCheckpoint() {
    if (!outputOpen_.load() || outputFile_ < 0) return true;
    const intptr_t number = ++flush_.number;
    try {
        flush_.thread = launchThread([this, fd = outputFile_, queue = threadId(), number] {
            flush_.result.store(fileSystem().fdatasync(fd));
            queue->post(Message(UM_TASK_MESSAGE, DownloadTaskState_Flushed, number));
        });
    } catch (const std::system_error&) {
        // No thread for it: this checkpoint is taken in line, slower but as safe.
        return checkpointLocked();
    }
    // Only this thread writes chunks, and writeLock_ keeps it from writing
    // yet: everything written so far was written before the flush began, so
    // the flush covers it whatever is written while it runs.
    flush_.written = writtenPositions();
    flush_.bytes = std::exchange(unflushedBytes_, 0);
    return true;
}

std::vector<std::pair<int64_t, int64_t>> File::writtenPositions() const {
    std::vector<std::pair<int64_t, int64_t>> written;
    written.reserve(parts.size());
    for (auto& p : parts)
        written.emplace_back(p->nextReadPosition.load(), p->nextWritePosition.load());
    return written;
}

void File::onFlushed(intptr_t number) {
    bool failed = false;
    {
        Poco::FastMutex::ScopedLock writeGuard(writeLock_);
        // A checkpoint taken in line may have finished this flush already.
        if (number != flush_.number || !flush_.thread.joinable()) return;
        failed = !finishBackgroundCheckpointLocked();
    }
    if (failed) failFile(Error_DiskWrite);
}

bool File::finishBackgroundCheckpointLocked() {
    if (!flush_.thread.joinable()) return true;
    flush_.thread.join();
    if (flush_.result.load() < 0) {
        // Nothing after the last good checkpoint counts, in flight or not.
        unflushedBytes_ += flush_.bytes;
        flush_.bytes = 0;
        rollBackUnflushed();
        postViewText(UM_DEBUG_TEXT, fileNumber(), "Flush file buffer failed.");
        return false;
    }
    flush_.bytes = 0;
    publishSavedPositions(flush_.written);
    postView(UM_SAVE_STATE, 0, 0);
    return true;
}

void File::publishSavedPositions(const std::vector<std::pair<int64_t, int64_t>>& written) {
    // The bytes are on disk: only now may a saved position cover them.
    Poco::FastMutex::ScopedLock counters(countersLock);
    for (size_t i = 0; i < parts.size() && i < written.size(); ++i) {
        parts[i]->readPosition.store(written[i].first);
        parts[i]->writePosition.store(written[i].second);
    }
}

bool File::takeCheckpoint() {
    Poco::FastMutex::ScopedLock writeGuard(writeLock_);
    return checkpointLocked();
}

bool File::checkpointLocked() {
    if (!finishBackgroundCheckpointLocked()) return false;
    if (unflushedBytes_ == 0) return true;
    if (!outputOpen_.load() || outputFile_ < 0 || fileSystem().fdatasync(outputFile_) < 0) {
        // After a failed flush the kernel may report the next one clean: these
        // bytes never count, whatever a later flush says.
        rollBackUnflushed();
        postViewText(UM_DEBUG_TEXT, fileNumber(), "Flush file buffer failed.");
        return false;
    }
    publishSavedPositions(writtenPositions());
    unflushedBytes_ = 0;
    postView(UM_SAVE_STATE, 0, 0);
    return true;
}

void File::rollBackUnflushed() {
    Poco::FastMutex::ScopedLock counters(countersLock);
    downloadedBytes.fetch_sub(unflushedBytes_);
    for (auto& p : parts) {
        // A part whose last bytes were lost is not complete any more.
        if (p->nextReadPosition.load() != p->readPosition.load() &&
            p->state.load() == PartState_Completed)
            setPartState(*p, PartState_Start);
        p->nextReadPosition.store(p->readPosition.load());
        p->nextWritePosition.store(p->writePosition.load());
    }
    unflushedBytes_ = 0;
}

void File::reportProgress() {
    // The bar follows the written bytes; saves follow the checkpoints.
    int pct = downloadPercent();
    if (pct <= lastPercent_) return;
    postView(UM_FILE_PROGRESS, fileNumber(), pct);
    lastPercent_ = pct;
}

File::Layout File::layParts() {
    for (auto& p : parts) {
        if (p->state.load() == PartState_Error) return Layout::NotReady;
        if (p->length.load() == -1) return Layout::NotReady;
    }
    if (fileSize.load() != 0) return Layout::Ready;
    // First layout: the parts follow each other in index order. A part that
    // already holds bytes keeps them at its stretch's start.
    Poco::FastMutex::ScopedLock lock(countersLock);
    int64_t base = 0;
    for (auto& p : parts) {
        int64_t end = 0;
        // Lengths come from servers: a sum no file can have is refused.
        if (p->length.load() < 0 || __builtin_add_overflow(base, p->length.load(), &end))
            return Layout::TooBig;
        base = end;
    }
    base = 0;
    for (auto& p : parts) {
        p->writePosition.store(base + p->readPosition.load());
        p->nextWritePosition.store(base + p->nextReadPosition.load());
        base += p->length.load();
    }
    fileSize.store(base);
    return Layout::Ready;
}

void File::layoutStep() {
    Poco::FastMutex::ScopedLock lock(layoutLock_);
    if (outputOpen_.load()) return;
    // A run the controller has aborted (a failed opening, an error) never opens
    // the file again: a task still finishing that run must not undo the failure.
    if (runAborted()) return;
    Layout layout = layParts();
    if (layout == Layout::NotReady) return;
    if (layout == Layout::TooBig)
        failFile(Error_DiskSpace);
    else
        openOutputFile();
    bool opened = outputOpen_.load();
    for (auto& p : parts) {
        int s = p->state.load();
        if (s == PartState_Completed) continue;
        if (!opened) {
            setPartState(*p, PartState_Abort);
            continue;
        }
        // A pause asked for before the file opened stays a pause.
        if ((s == PartState_Start || s == PartState_WaitFile) &&
            p->state.compare_exchange_strong(s, PartState_Go))
            p->state.notify_all();
    }
    if (opened) {
        Poco::FastMutex::ScopedLock tasksGuard(tasksLock_);
        for (auto& t : tasks_) t->fileOpened();
    }
}

bool File::enoughFreeSpace(const std::string& path) {
    int64_t requiredKB = 0;
    if (!parts.empty()) {
        requiredKB = parts[0]->downloadKB;
        if (fileTypeId == 1 || fileTypeId == 2) requiredKB += parts[0]->extractedKB;
    }
    uint64_t required = static_cast<uint64_t>(std::max<int64_t>(requiredKB, 0)) * 1024u;
    // The whole file must fit before it is reserved; what an existing file
    // already holds is not needed again.
    struct stat st {};
    int64_t held = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
    required = std::max<uint64_t>(
        required, static_cast<uint64_t>(std::max<int64_t>(fileSize.load() - held, 0)));
    auto freeBytes = fileSystem().freeSpace(outputFolder);
    if (!freeBytes) freeBytes = fileSystem().freeSpace(existingAncestor(outputFolder));
    return !freeBytes || *freeBytes >= required;  // no answer, no check
}

std::string File::existingAncestor(std::string folder) {
    // The output folder may not exist yet: its volume is its nearest existing ancestor's.
    while (!folder.empty() && !fileSystem().isDirectory(folder)) {
        auto slash = folder.find_last_of('/');
        if (slash == std::string::npos || slash == 0) return "/";
        folder.resize(slash);
    }
    return folder.empty() ? "/" : folder;
}

void File::forgetOutputFolder() {
    // Runs on a part task's thread while a save may read the folder.
    Poco::FastMutex::ScopedLock lock(countersLock);
    outputFolder.clear();
}

bool File::holdsSavedBytes() const {
    Poco::FastMutex::ScopedLock lock(countersLock);
    return std::any_of(parts.begin(), parts.end(),
                       [](const auto& p) { return p->readPosition.load() > 0; });
}

int File::openWithoutLinks(const std::string& path, bool& created) {
    FileSystem& fs = fileSystem();
    created = !fs.exists(path);
    int fd = fs.open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    struct stat st {};
    bool plain = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
    if (plain || (fd < 0 && fd != -ELOOP)) return fd;
    // A link, another name of a file elsewhere, or no file at all: never
    // written into. A download that holds no bytes in it replaces it.
    if (fd >= 0) fs.close(fd);
    if (holdsSavedBytes() || fs.isDirectory(path)) return -EEXIST;
    fs.remove(path);
    created = true;
    return fs.open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

void File::openOutputFile() {
    FileSystem& fs = fileSystem();
    std::string path = joinPath(outputFolder, fileName);
    if (!enoughFreeSpace(path)) {
        failFile(Error_DiskSpace);
        return;
    }
    if (!isPlainFileName(fileName) || !CreateDirectoryTree(outputFolder, false)) {
        forgetOutputFolder();
        failFile(Error_CreateFile);
        return;
    }
    bool created = false;
    int fd = openWithoutLinks(path, created);
    if (fd < 0) {
        if (fd != -ENOSPC) forgetOutputFolder();
        failFile(fd == -ENOSPC ? Error_DiskSpace : Error_CreateFile);
        return;
    }
    // A power loss must not drop the entry that the saved positions point into.
    if (created) fs.syncFolder(outputFolder);
    // Reserved before the descriptor is published: once it is, the controller
    // may close it at any moment (an abort), and its number may then name
    // another file.
    if (fs.allocate(fd, static_cast<off_t>(fileSize.load())) == -ENOSPC) {
        fs.close(fd);
        // Only a file this run created goes: an existing one holds bytes
        // that the saved positions still count on. Removed before the failure
        // is reported, so whoever sees the error sees the file gone.
        if (created) fs.remove(path);
        failFile(Error_DiskSpace);
        return;
    }
    Poco::FastMutex::ScopedLock w(writeLock_);
    // Aborted meanwhile: that run's close may have passed, and no other closes it.
    if (runAborted()) {
        fs.close(fd);
        return;
    }
    outputFile_ = fd;
    outputOpen_.store(true);
}

void File::abortFileParts() {
    {
        // After this no task changes its error texts (see DownloadTask::recordFailure).
        Poco::FastMutex::ScopedLock lock(countersLock);
        for (auto& p : parts)
            if (p->state.load() != PartState_Completed) setPartState(*p, PartState_Abort);
    }
    {
        Poco::FastMutex::ScopedLock lock(tasksLock_);
        for (auto& t : tasks_) t->abortRun();
    }
    state.store(FileState_Paused);
    rest(pacing().abortSettle);
    postViewText(UM_DEBUG_TEXT, fileNumber(), "File::abortFileParts call closeOutputFile");
    closeOutputFile();
}

bool File::closeOutputFile() {
    Poco::FastMutex::ScopedLock w(writeLock_);
    bool saved = checkpointLocked();
    if (outputFile_ >= 0) fileSystem().close(outputFile_);
    outputFile_ = -1;
    outputOpen_.store(false);
    return saved;
}

// ---------------------------------------------------------------- unpack hand-off

void File::startUnpack() {
    std::string folder = outputPath.empty() ? outputFolder : outputPath;
    std::string packagePath =
        !folder.empty() && folder.back() == '/' ? folder + fileName : joinPath(folder, fileName);
    auto task = std::make_unique<UnpackTask>(packagePath, outputFolder, unpackParameterCopy(),
                                             deleteOnCrcFailure, threadId());
    UnpackTask& started = *task;
    {
        // The previous run's thread is joined here, outside the lock.
        std::unique_ptr<UnpackTask> previous;
        Poco::FastMutex::ScopedLock lock(tasksLock_);
        previous = std::move(unpackTask_);
        unpackTask_ = std::move(task);
    }
    try {
        started.startTask();
    } catch (const std::system_error&) {
        postView(UM_FILE_ERROR, fileNumber(), Error_Unpack);
        state.store(FileState_Error);
        return;
    }
    yieldAfterPost();
    started.post(Message(UM_TASK_COMMAND, UM_TASK_COMMAND, TaskCommand_Unpack));
    state.store(FileState_Unpacking);
    postView(UM_FILE_STATUS, Status_CrcChecking, fileNumber());
    yieldAfterPost();
}

}  // namespace quenlow
