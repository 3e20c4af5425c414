#pragma once
// Everything CQuenlowView does that needs no display: the page-load steps,
// the click sink hook-up, the user actions and the worker-message handlers.
// The Qt view supplies the page (PageBridge's Page), the host services below
// and the queue wake-up; tests drive it with a fake page.
//
// The user-interface thread never waits for the page. A step that needs page
// values (the page load, a click on a file, the click control names) asks for
// all of them in one read and goes on in its answer; meanwhile the view's
// queue is held, so steps still run one at a time and in order. A read that
// is not answered in time, or whose page went away, fails its step: logged,
// and nothing is started, saved or changed.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/core/EventHandler.h"
#include "app/core/PageBridge.h"
#include "app/core/TrustedOrigins.h"
#include "app/core/ViewQueue.h"
#include "platform/Pacing.h"
#include "state/Log.h"
#include "state/OrderState.h"

namespace quenlow {

// Services of the window around the page. None of them waits.
class ViewHost {
  public:
    virtual ~ViewHost() = default;
    // A message box with one OK button, owned by the view.
    virtual void showMessageBox(const std::string& text, const std::string& caption) = 0;
    // Opens the folder browser; done gets the folder, or nullopt when the
    // user cancelled.
    virtual void browseForFolder(std::function<void(std::optional<std::string>)> done) = 0;
    // Ends the application after delay (the message loop quits).
    virtual void quitAfter(Millis delay) = 0;
    // Puts the page's text size on the middle of its five steps.
    virtual void setMiddleZoom() = 0;
    // Calls fire once after delay, on the user-interface thread.
    virtual void startTimer(Millis delay, std::function<void()> fire) = 0;
};

class ViewCore {
  public:
    ViewCore(Page& page, ViewHost& host, FileLogWriter& log, Shell* shell, ViewQueue& queue);
    ~ViewCore();  // stops and joins every controller of the current order

    ViewCore(const ViewCore&) = delete;
    ViewCore& operator=(const ViewCore&) = delete;

    // --- the browser's events ---
    // The top-level page starts to go away (a navigation began).
    void PageNavigating();
    // The top-level page loaded successfully: queues its page-load steps.
    void pageLoaded(const std::string& url);
    // A click on the page shown at url (the click sink's element chain).
    void pageClicked(const std::string& url, const std::vector<ClickedElement>& chain);

    // The page-load steps of the page at url (run from the queue).
    void DocumentComplete(const std::string& url);
    // The view's message map: one window message from the queue.
    void handleMessage(Message& msg);
    // Reads the page's click control names, once a document exists.
    void HookClickEvents();
    bool clickEventsHooked() const { return hooked_; }

    // Handlers (all return 0 in the message map; nothing to return here).
    void OnStatusMessage(int code, int fileNumber);
    void OnEventMessage(Message& msg);
    void OnSaveStateMessage();
    void OnProgressMessage(int fileNumber, int percent);
    void OnErrorMessage(Message& msg);
    void OnWaitWidgetMessage(int code);
    void OnCompleteStateMessage(int fileNumber);
    void OnDebugMessage(Message& msg);
    void OnLaunchCompleteMessage(int index);

    OrderState* orderState() const { return order_.get(); }
    EventHandler& eventHandler() { return events_; }
    PageBridge& bridge() { return bridge_; }
    // Where the click sink posts: tagged with the order shown when clicked.
    ViewTarget& pageEventTarget() { return pageTarget_; }
    uint64_t generation() const { return generation_; }
    const std::string& fileInformation() const { return fileInformation_; }
    // True while a step waits for its page read.
    bool stepWaiting() const { return pendingRead_ != 0; }

    // Set by the application: the store host and QUENLOW_STORE_ORIGINS.
    // Without it only loopback pages are trusted.
    void setTrustedOrigins(TrustedOrigins origins) { origins_ = std::move(origins); }
    // Set from the environment by the application (QUENLOW_TRACE).
    bool traceEnabled = true;
    // How long a step waits for its page read.
    Millis pageReadTimeout{5000};
    // Called on every new order state before its records are built (tests
    // keep the controllers from starting this way).
    std::function<void(OrderState&)> prepareOrder;

    // Stops and frees the current order (at teardown).
    void closeOrder();

  private:
    class PageEventTarget : public ViewTarget {
      public:
        explicit PageEventTarget(ViewCore& core) : core_(core) {}
        void postViewMessage(Message msg) override;

      private:
        ViewCore& core_;
    };
    using Continuation = std::function<void(const PageValues&)>;

    // Reads the values of one step and goes on in next; the queue is held
    // until the step has ended.
    void readThen(const char* step, std::vector<PageRead> reads, Continuation next);
    void answerRead(uint64_t serial, uint64_t pageLoad, PageAnswer answer);
    void failStep(const std::string& reason);
    void endStep();

    void applyClickNames(const PageValues& values, size_t first);
    void takeOrder(const std::string& url, const PageValues& values, size_t first);
    void clickFile(long long index);
    void applyFileFields(File* file, const PageValues& values);
    void chooseFolder();
    void launch(int index);
    void logPageNotTrusted(const char* entry, const std::string& url);

    // The file with 1-based number n in the current order, or nullptr.
    File* fileByNumber(long long n) const;
    void fillPage();

    Page& page_;
    ViewHost& host_;
    FileLogWriter& log_;
    Shell* shell_;
    ViewQueue& queue_;
    PageBridge bridge_;
    EventHandler events_;
    PageEventTarget pageTarget_;
    TrustedOrigins origins_;
    bool hooked_ = false;
    bool pageTrusted_ = false;
    std::string fileInformation_;
    uint64_t generation_ = 0;
    // Counts top-level navigations: an answer for an earlier page is no answer.
    uint64_t pageLoad_ = 0;
    // The read a step waits for (0: none), its step's name and continuation.
    uint64_t pendingRead_ = 0;
    uint64_t readSerial_ = 0;
    std::string pendingStep_;
    std::vector<PageRead> pendingReads_;
    Continuation pendingNext_;
    std::unique_ptr<GenerationTarget> orderTarget_;
    std::unique_ptr<OrderState> order_;
    // Answers and timers that arrive after the core is gone find this expired.
    std::shared_ptr<ViewCore*> self_ = std::make_shared<ViewCore*>(this);
};

// Percent of a file as the page shows it: 100 for a prelocated or complete
// file, 0 when the size is unknown, else the truncated share, never above 100.
int filePercent(const File& file);

// Number of characters (code points) of UTF-8 text.
size_t characterCount(const std::string& utf8);

}  // namespace quenlow
