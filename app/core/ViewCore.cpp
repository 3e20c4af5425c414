#include "app/core/ViewCore.h"

#include <algorithm>
#include <exception>

#include "platform/FileSystem.h"
#include "platform/Messages.h"
#include "platform/Text.h"

namespace quenlow {

namespace {

constexpr const char* InvalidOrderNumberText = "Invalid Order Number found, nothing to do";
constexpr const char* InvalidOrderNumberCaption = "VESK DocumentComplete";

long long signedParam(uintptr_t w) { return static_cast<long long>(static_cast<intptr_t>(w)); }

}  // namespace

size_t characterCount(const std::string& utf8) {
    return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

int filePercent(const File& file) {
    if (file.prelocated || file.state.load() == FileState_Complete) return 100;
    int64_t size = file.fileSize.load();
    if (size == 0) return 0;
    double share = static_cast<double>(static_cast<uint64_t>(file.downloadedBytes.load())) /
                   static_cast<double>(static_cast<uint64_t>(size)) * 100.0;
    if (!(share > 0)) return 0;
    if (share >= 100) return 100;
    return static_cast<int>(share);
}

void ViewCore::PageEventTarget::postViewMessage(Message msg) {
    // The upgrade link ends the application whatever page comes next; every
    // other click belongs to the order shown when it was made.
    bool anyOrder =
        msg.id == UM_PAGE_EVENT && msg.wParam == static_cast<uintptr_t>(Event_UpgradeLink);
    core_.queue_.post(anyOrder ? ViewQueue::AnyGeneration : core_.generation_, std::move(msg));
}

ViewCore::ViewCore(Page& page, ViewHost& host, FileLogWriter& log, Shell* shell, ViewQueue& queue)
    : page_(page),
      host_(host),
      log_(log),
      shell_(shell),
      queue_(queue),
      bridge_(page),
      pageTarget_(*this) {
    events_.view = &pageTarget_;
}

ViewCore::~ViewCore() {
    closeOrder();
    queue_.close();
}

void ViewCore::closeOrder() {
    if (!order_) return;
    // Every controller and task of the order ends before its records go.
    order_->shutdown();
    order_.reset();
    orderTarget_.reset();
}

File* ViewCore::fileByNumber(long long n) const {
    if (!order_) return nullptr;
    long long count =
        std::min<long long>(order_->fileCount, static_cast<long long>(order_->files.size()));
    if (n < 1 || n > count) return nullptr;
    return order_->files[static_cast<size_t>(n - 1)].get();
}

// ---------------------------------------------------------------- page reads

void ViewCore::readThen(const char* step, std::vector<PageRead> reads, Continuation next) {
    // One step at a time: a step begun while another waits (only possible
    // from outside the queue) ends the older one first.
    if (pendingRead_) failStep("another step began");
    queue_.hold();
    const uint64_t serial = ++readSerial_;
    pendingRead_ = serial;
    pendingStep_ = step;
    pendingReads_ = reads;
    pendingNext_ = std::move(next);
    std::weak_ptr<ViewCore*> alive = self_;
    host_.startTimer(pageReadTimeout, [alive, serial] {
        auto self = alive.lock();
        if (!self || (*self)->pendingRead_ != serial) return;
        (*self)->failStep("no answer from the page within " +
                          std::to_string((*self)->pageReadTimeout.count()) + " ms");
    });
    const uint64_t load = pageLoad_;
    page_.readElements(reads, [alive, serial, load](PageAnswer answer) {
        if (auto self = alive.lock()) (*self)->answerRead(serial, load, std::move(answer));
    });
}

void ViewCore::answerRead(uint64_t serial, uint64_t pageLoad, PageAnswer answer) {
    if (serial != pendingRead_) return;  // the step has already failed
    if (pageLoad != pageLoad_) {
        failStep("the page navigated away before it answered");
        return;
    }
    if (!answer || answer->size() != pendingReads_.size()) {
        failStep("the page gave no usable answer");
        return;
    }
    Continuation next = std::move(pendingNext_);
    PageValues values(std::move(pendingReads_), std::move(*answer));
    pendingRead_ = 0;
    try {
        next(values);
    } catch (const PageReadError&) {
        // An element without a value ends the step here.
    } catch (const std::exception& e) {
        Logger<FileLogWriter>(log_, pendingStep_, LogLevel_Error, LogCategory_General,
                              LogLevel_Error)
            << " failed: " << e.what();
    }
    endStep();
}

void ViewCore::failStep(const std::string& reason) {
    Logger<FileLogWriter>(log_, pendingStep_, LogLevel_Error, LogCategory_General, LogLevel_Error)
        << " page read failed: " << reason << "; nothing was done";
    pendingRead_ = 0;
    pendingNext_ = nullptr;
    pendingReads_.clear();
    endStep();
}

void ViewCore::endStep() { queue_.release(); }

// ---------------------------------------------------------------- browser events

void ViewCore::PageNavigating() {
    ++pageLoad_;
    pageTrusted_ = false;
    bridge_.pageGone();
    if (pendingRead_) failStep("the page navigated away before it answered");
}

void ViewCore::pageLoaded(const std::string& url) {
    pageTrusted_ = origins_.trusts(url);
    const uint64_t load = pageLoad_;
    queue_.postTask([this, url, load] {
        // A later navigation has begun: its own completion follows.
        if (load == pageLoad_) DocumentComplete(url);
    });
}

void ViewCore::pageClicked(const std::string& url, const std::vector<ClickedElement>& chain) {
    if (!origins_.trusts(url)) {
        logPageNotTrusted("OnClick", url);
        return;
    }
    // Clicks count from the page's completion on (until then the page is not
    // connected), and never on a page that was not trusted when it completed.
    if (!pageTrusted_) return;
    events_.onClick(chain);
}

void ViewCore::logPageNotTrusted(const char* entry, const std::string& url) {
    std::optional<Origin> origin = originOf(url);
    std::string shown = origin ? origin->text() : url.substr(0, 200);
    Logger<FileLogWriter>(log_, entry, LogLevel_Warning, LogCategory_Init, LogLevel_Warning)
        << " page not trusted: " << shown << "; the page contract does not apply to it";
}

// ---------------------------------------------------------------- page load

void ViewCore::applyClickNames(const PageValues& values, size_t first) {
    hooked_ = true;
    std::string prefix = values.value(first);
    events_.actionButtonPrefix = prefix.empty() ? EventHandler::DefaultActionButtonPrefix : prefix;
    std::string folder = values.value(first + 1);
    events_.folderSelectionName =
        folder.empty() ? EventHandler::DefaultFolderSelectionName : folder;
}

void ViewCore::HookClickEvents() {
    if (hooked_ || pendingRead_) return;
    if (!page_.hasDocument()) return;
    readThen("HookClickEvents",
             {{PageRead::Value, "hfDownloadActionButtonName"},
              {PageRead::Value, "hfFolderSelectionButtonName"}},
             [this](const PageValues& values) { applyClickNames(values, 0); });
}

void ViewCore::DocumentComplete(const std::string& url) {
    if (!origins_.trusts(url)) {
        logPageNotTrusted("DocumentComplete", url);
        return;
    }
    // Every value the page-load steps use, in their order, in one read.
    std::vector<PageRead> reads;
    const bool hook = !hooked_ && page_.hasDocument();
    if (hook) {
        reads.push_back({PageRead::Value, "hfDownloadActionButtonName"});
        reads.push_back({PageRead::Value, "hfFolderSelectionButtonName"});
    }
    const size_t orderAt = reads.size();
    reads.push_back({PageRead::Value, "hfOrderNumber"});
    reads.push_back({PageRead::Value, "hfFileInfo"});
    reads.push_back({PageRead::OrderLabel, ""});
    readThen("DocumentComplete", std::move(reads),
             [this, url, hook, orderAt](const PageValues& values) {
                 if (hook) applyClickNames(values, 0);
                 bridge_.ResolveScriptFunctions();
                 takeOrder(url, values, orderAt);
             });
}

void ViewCore::takeOrder(const std::string& url, const PageValues& values, size_t first) {
    std::string orderNumber = values.value(first);
    size_t length = characterCount(orderNumber);
    if (length != 0 && length != 12) {
        host_.showMessageBox(InvalidOrderNumberText, InvalidOrderNumberCaption);
        return;
    }
    fileInformation_ = values.value(first + 1);

    // The previous order's workers stop here; whatever they already posted
    // carries the old generation and is dropped by the queue.
    closeOrder();
    ++generation_;
    queue_.setCurrentGeneration(generation_);
    orderTarget_ = std::make_unique<GenerationTarget>(queue_, generation_);
    order_ = std::make_unique<OrderState>(orderTarget_.get(), shell_);

    if (orderNumber.empty()) orderNumber = values.text(first + 2);
    order_->orderId = orderNumber;
    size_t at = url.find("&rtarn=1");
    if (at != std::string::npos && at > 0) order_->deleteOnCrcFailure = false;
    order_->traceEnabled = traceEnabled;
    if (characterCount(url) > 10 && url.find("VESKDownloadUpgrade") == std::string::npos) {
        order_->CurrentUrl = url;
        Logger<FileLogWriter>(log_, "DocumentComplete Set m_csCurrentUrl", LogLevel_Error,
                              LogCategory_Init, LogLevel_Information)
            << "The url " << url;
    }
    order_->view = orderTarget_.get();
    if (prepareOrder) prepareOrder(*order_);
    order_->loadOrder(fileInformation_);
    order_->requestSave();
    host_.setMiddleZoom();
}

void ViewCore::handleMessage(Message& msg) {
    // Until a page with an order has loaded, only the upgrade link has
    // anything to do; every other message is dropped (its payload with it).
    bool upgrade =
        msg.id == UM_PAGE_EVENT && msg.wParam == static_cast<uintptr_t>(Event_UpgradeLink);
    if (!order_ && !upgrade) return;
    switch (msg.id) {
        case UM_FILE_STATUS:
            OnStatusMessage(static_cast<int>(msg.wParam), static_cast<int>(msg.lParam));
            break;
        case UM_PAGE_EVENT:
            OnEventMessage(msg);
            break;
        case UM_SAVE_STATE:
            OnSaveStateMessage();
            break;
        case UM_FILE_PROGRESS:
            OnProgressMessage(static_cast<int>(msg.wParam), static_cast<int>(msg.lParam));
            break;
        case UM_FILE_ERROR:
            OnErrorMessage(msg);
            break;
        case UM_WAIT_WIDGET:
            OnWaitWidgetMessage(static_cast<int>(msg.wParam));
            break;
        case UM_ALREADY_COMPLETE:
            OnCompleteStateMessage(static_cast<int>(msg.lParam));
            break;
        case UM_DEBUG_TEXT:
            OnDebugMessage(msg);
            break;
        case UM_LAUNCH_COMPLETE:
            OnLaunchCompleteMessage(static_cast<int>(msg.wParam));
            break;
        default:
            break;  // UM_UNPACK_PERCENT and anything unknown: not handled
    }
}

void ViewCore::fillPage() {
    size_t count =
        std::min(static_cast<size_t>(std::max(order_->fileCount, 0)), order_->files.size());
    for (size_t i = 0; i < count; ++i) {
        const File& file = *order_->files[i];
        int n = static_cast<int>(i) + 1;
        int percent = filePercent(file);
        int state = file.state.load();
        bridge_.setHiddenProgressValue(n, percent, file.outputFolderCopy());
        if (state == FileState_Complete) {
            bridge_.setCompleteDownloadState(n);
        } else if (percent > 0) {
            bridge_.setButtonAction(n, "Download.Resume");
            bridge_.setStatus(n, "Download.Paused");
        } else if (state == FileState_Reconfigured) {
            bridge_.setErrorUsingTextItemKey(n, "Download.FileReconfigurationMessage", "", "");
            bridge_.setStatus(n, "Download.Start");
        }
    }
    bridge_.setFolderSelection(order_->DefaultOutputFolder);
}

void ViewCore::OnStatusMessage(int code, int fileNumber) {
    if (!order_) return;
    if (code == Status_RecordsReady) {
        fillPage();
        return;
    }
    if (!fileByNumber(fileNumber)) return;
    switch (code) {
        case Status_Paused:
            bridge_.setStatus(fileNumber, "Download.Paused");
            break;
        case Status_Resumed:
            bridge_.setStatus(fileNumber, "Download.Downloading");
            break;
        case Status_CrcChecking:
            bridge_.setStatus(fileNumber, "Download.CRCChecking");
            break;
        case Status_Unpacking:
            bridge_.setProgress(fileNumber, 0);
            bridge_.setStatus(fileNumber, "FinishedCRCChecking");
            break;
        case Status_Complete:
        case Status_Unpacked:
            order_->requestSave();
            bridge_.completeDownload(fileNumber);
            break;
        default:
            break;
    }
}

void ViewCore::applyFileFields(File* file, const PageValues& values) {
    // Taken in the page's order: product (a product field without a value ends
    // the step), its download selection, URL, unpack parameter.
    values.value(0);
    if (!values.text(1).empty()) {
        std::string url = values.value(2);
        // Written only when it changes: the controller may be reading it.
        if (!url.empty()) file->setPageInput(file->pageFileUrl, url);
    }
    std::string parameter = values.value(3);
    file->setPageInput(file->unpackParameter, parameter);
}

void ViewCore::clickFile(long long index) {
    std::string n = std::to_string(index + 1);
    std::vector<PageRead> reads = {{PageRead::Value, "productIdx" + n},
                                   {PageRead::OuterHtml, "dlSelect", 0},
                                   {PageRead::Value, "fileUrl" + n},
                                   {PageRead::Value, "edv" + n},
                                   {PageRead::Value, "oiopua" + n}};
    const uint64_t generation = generation_;
    readThen("OnEventMessage", std::move(reads), [this, index, generation](const PageValues& v) {
        File* file = generation == generation_ ? fileByNumber(index + 1) : nullptr;
        if (!file) return;
        applyFileFields(file, v);
        if (v.value(4).empty()) return;
        Logger<FileLogWriter>(log_, "OnEventMessage", LogLevel_Trace, LogCategory_Download,
                              LogLevel_Trace)
            << " FileKey " << index << " " << logTimestamp() << " Event_ActionButton";
        // The order state looks at the file's state again: it may have
        // completed while the page answered.
        order_->requestFileAction(std::to_string(index));
    });
}

void ViewCore::launch(int index) {
    File* file = fileByNumber(index + 1);
    if (!file) return;
    std::string command = file->installCommand;
    std::string folder = file->outputFolderCopy();
    if (!order_->launchFile(index)) {
        Logger<FileLogWriter>(log_, "OnEventMessage", LogLevel_Error, LogCategory_Download,
                              LogLevel_Error)
            << " FileKey " << file->fileKey << " launch refused: install command \"" << command
            << "\" is not inside the output folder " << folder;
    }
}

void ViewCore::chooseFolder() {
    const uint64_t generation = generation_;
    std::weak_ptr<ViewCore*> alive = self_;
    host_.browseForFolder([alive, generation](std::optional<std::string> folder) {
        auto self = alive.lock();
        if (!self) return;
        ViewCore& core = **self;
        // A page load while the browser was open replaced the order it was for.
        if (!core.order_ || generation != core.generation_ || !folder || folder->empty()) return;
        if (*folder != core.order_->DefaultOutputFolder) {
            core.order_->DefaultOutputFolder = *folder;
            core.bridge_.setFolderSelection(*folder);
        }
    });
}

void ViewCore::OnEventMessage(Message& msg) {
    switch (static_cast<int>(msg.wParam)) {
        case Event_ActionButton: {
            if (!order_) return;
            long long index = msg.lParam;
            File* file = fileByNumber(index + 1);
            if (!file) {
                // No record to read: the order state answers with its range error.
                order_->requestFileAction(std::to_string(index));
                return;
            }
            int state = file->state.load();
            if (state == FileState_Unpacking) return;
            if (state == FileState_Complete) {
                launch(static_cast<int>(index));
                return;
            }
            clickFile(index);
            break;
        }
        case Event_FolderButton:
            // The element's outer HTML (the payload) is not used; it goes with msg.
            if (order_) chooseFolder();
            break;
        case Event_UpgradeLink:
            host_.quitAfter(pacing().upgradeQuitDelay);
            break;
        default:
            break;
    }
}

void ViewCore::OnSaveStateMessage() {
    if (order_) order_->requestSave();
}

void ViewCore::OnProgressMessage(int fileNumber, int percent) {
    File* file = fileByNumber(fileNumber);
    if (!file) return;
    bridge_.setProgress(fileNumber, percent);
    int state = file->state.load();
    if (state == FileState_Unpacking)
        bridge_.setStatus(fileNumber, "Download.Unpacking");
    else if (state == FileState_Downloading)
        bridge_.setStatus(fileNumber, "Download.Downloading");
    bridge_.setFileOutputFolderText(fileNumber, file->outputFolderCopy());
}

void ViewCore::OnErrorMessage(Message& msg) {
    long long number = signedParam(msg.wParam);
    int n = static_cast<int>(std::clamp<long long>(number, INT32_MIN, INT32_MAX));
    if (const std::string* text = msg.text()) {
        // The order state's range error: a text, and a number that names no file.
        bridge_.setErrorUsingTextItemKey(n, "Download.Error", *text, "");
        bridge_.hideWaitWidget();
        return;
    }
    int code = static_cast<int>(msg.lParam);
    std::string message, detail;
    if (File* file = fileByNumber(number)) {
        if (code == Error_Unpack) {
            file->fileSize = 0;
            file->downloadedBytes = 0;
            // Never with an empty folder (that would name a file at the root)
            // nor with a name that reaches outside the folder.
            const std::string folder = file->outputFolderCopy();
            if (!folder.empty() && isPlainFileName(file->fileName))
                fileSystem().remove(joinPath(folder, file->fileName));
        } else if (code != Error_CreateFile && code != Error_DiskSpace && code != Error_DiskWrite) {
            if (!file->parts.empty() && file->parts[0]) {
                message = file->parts[0]->errorUrl;
                detail = file->parts[0]->errorText;
            }
            if (!message.empty()) {
                Logger<FileLogWriter>(log_, "OnErrorMessage", LogLevel_Error, LogCategory_Download,
                                      LogLevel_Error)
                    << " FileKey " << file->fileKey << " " << message;
                Logger<FileLogWriter>(log_, "OnErrorMessage", LogLevel_Error, LogCategory_Download,
                                      LogLevel_Error)
                    << " FileKey " << file->fileKey << " " << detail;
            }
        }
    }
    bridge_.setErrorUsingTextItemKey(n, errorTextKey(code), message, detail);
    bridge_.hideWaitWidget();
}

void ViewCore::OnWaitWidgetMessage(int code) {
    if (code == WaitWidget_Show)
        bridge_.showWaitWidget();
    else
        bridge_.hideWaitWidget();
}

void ViewCore::OnCompleteStateMessage(int fileNumber) {
    bridge_.setCompleteDownloadState(fileNumber);
}

void ViewCore::OnDebugMessage(Message& msg) {
    const std::string* text = msg.text();
    if (!text || text->empty() || !order_) return;
    long long number = signedParam(msg.wParam);
    File* file = fileByNumber(number);
    std::string key = file ? file->fileKey : std::to_string(number);
    Logger<FileLogWriter>(log_, "OnDebugMessage", LogLevel_Trace, LogCategory_Download,
                          LogLevel_Trace)
        << " FileKey " << key << " " << logTimestamp() << " " << *text;
}

void ViewCore::OnLaunchCompleteMessage(int index) { bridge_.fileLaunchComplete(index + 1); }

}  // namespace quenlow
