#pragma once
// The store page host: a QWebEngineView showing the store's page, with the
// page bridge (element reads and script calls over runJavaScript), the click
// sink (a script in an isolated world reporting clicks over QWebChannel), the
// key filter, and the window queue the engine posts to. The logic lives in
// ViewCore; this class adapts it to Qt.

#include <QObject>
#include <QVariant>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/QtShell.h"
#include "app/core/ViewCore.h"

class QWebEngineView;
class QWebEngineProfile;
class QWebChannel;
class QSocketNotifier;
class QTimer;

// The object the page's click script talks to.
class ClickSink : public QObject {
    Q_OBJECT
  public:
    explicit ClickSink(quenlow::ViewCore& core, QObject* parent = nullptr)
        : QObject(parent), core_(core) {}
    // url: the clicked document's address; chain: [{id, html}, ...] from the
    // clicked element outwards.
    Q_INVOKABLE void click(const QString& url, const QVariantList& chain);

  private:
    quenlow::ViewCore& core_;
};

class CQuenlowView : public QWidget, public quenlow::Page, public quenlow::ViewHost {
    Q_OBJECT
  public:
    explicit CQuenlowView(QWidget* parent = nullptr);
    ~CQuenlowView() override;

    // Chooses and opens the first URL (argumentFile: the command-line file, if any).
    void OnInitialUpdate(const std::optional<std::string>& argumentFile);

    // Page
    bool hasDocument() override;
    void readElements(const std::vector<quenlow::PageRead>& reads,
                      std::function<void(quenlow::PageAnswer)> done) override;
    void callFunctions(const std::vector<quenlow::ScriptCall>& calls,
                       std::function<void()> done) override;

    // ViewHost
    void showMessageBox(const std::string& text, const std::string& caption) override;
    void browseForFolder(std::function<void(std::optional<std::string>)> done) override;
    void quitAfter(quenlow::Millis delay) override;
    void setMiddleZoom() override;
    void startTimer(quenlow::Millis delay, std::function<void()> fire) override;

    quenlow::ViewCore& core() { return *core_; }
    // Writes the window's picture to path (PNG).
    bool saveScreenshot(const QString& path);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private slots:
    void drainQueue();
    void onLoadStarted();
    void onLoadFinished(bool ok);
    void pressTestKeys(int rounds);
    void onScreenshotSignal();

  private:
    // The key filter: true when the event is consumed before the browser sees it.
    bool PreTranslateMessage(QObject* watched, QEvent* event);
    void installClickScript();
    void setUpTrustedOrigins();
    void setUpScreenshots();
    // QUENLOW_HEARTBEAT=1: logs the longest stall of the user-interface thread once a second.
    void setUpHeartbeat();

    quenlow::FileLogWriter log_;
    quenlow::QtShell shell_;
    quenlow::ViewQueue queue_;
    QWebEngineProfile* profile_ = nullptr;
    QWebEngineView* browser_ = nullptr;
    QWebChannel* channel_ = nullptr;
    std::unique_ptr<quenlow::ViewCore> core_;
    ClickSink* sink_ = nullptr;
    bool loadedOnce_ = false;
    QString screenshotPath_;
    QSocketNotifier* screenshotNotifier_ = nullptr;
    QTimer* heartbeat_ = nullptr;
};
