#pragma once
// Everything CQuenlowView does that needs no display: the page-load steps,
// the click sink hook-up, the user actions and the worker-message handlers.
// The Qt view supplies the page (PageBridge's Page), the host services below
// and the queue wake-up; tests drive it with a fake page.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/core/EventHandler.h"
#include "app/core/PageBridge.h"
#include "app/core/ViewQueue.h"
#include "platform/Pacing.h"
#include "state/Log.h"
#include "state/OrderState.h"

namespace quenlow {

// Services of the window around the page.
class ViewHost {
  public:
    virtual ~ViewHost() = default;
    // A modal message box with one OK button, owned by the view.
    virtual void showMessageBox(const std::string& text, const std::string& caption) = 0;
    // The folder browser; nullopt when the user cancelled.
    virtual std::optional<std::string> browseForFolder() = 0;
    // Ends the application after delay (the message loop quits).
    virtual void quitAfter(Millis delay) = 0;
    // Puts the page's text size on the middle of its five steps.
    virtual void setMiddleZoom() = 0;
};

class ViewCore {
  public:
    ViewCore(Page& page, ViewHost& host, FileLogWriter& log, Shell* shell, ViewQueue& queue);
    ~ViewCore();  // stops and joins every controller of the current order

    ViewCore(const ViewCore&) = delete;
    ViewCore& operator=(const ViewCore&) = delete;

    // Document complete of the top-level page that loaded successfully.
    void DocumentComplete(const std::string& url);
    // The view's message map: one window message from the queue.
    void handleMessage(Message& msg);
    // Connects the click sink and reads the page's control names, once.
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

    // The user actions on file N (1-based, as text).
    void ApplyPageFileUrl(const std::string& n);
    void ApplyPageUnpackParameter(const std::string& n);

    OrderState* orderState() const { return order_.get(); }
    EventHandler& eventHandler() { return events_; }
    PageBridge& bridge() { return bridge_; }
    // Where the click sink posts: tagged with the order shown when clicked.
    ViewTarget& pageEventTarget() { return pageTarget_; }
    uint64_t generation() const { return generation_; }
    const std::string& fileInformation() const { return fileInformation_; }

    // Set from the environment by the application (QUENLOW_TRACE).
    bool traceEnabled = true;
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
    bool hooked_ = false;
    std::string fileInformation_;
    uint64_t generation_ = 0;
    std::unique_ptr<GenerationTarget> orderTarget_;
    std::unique_ptr<OrderState> order_;
};

// Percent of a file as the page shows it: 100 for a prelocated or complete
// file, 0 when the size is unknown, else the truncated share, never above 100.
int filePercent(const File& file);

// Number of characters (code points) of UTF-8 text.
size_t characterCount(const std::string& utf8);

}  // namespace quenlow
