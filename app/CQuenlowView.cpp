#include "app/CQuenlowView.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>
#include <cstdlib>
#include <cstring>

#include "app/MessageBox.h"
#include "app/core/StartUrl.h"

using namespace quenlow;

namespace {

// A page read that gets no answer (the page went away) gives up after this.
constexpr int kScriptTimeoutMs = 10000;

const quint32 kReadWorld = QWebEngineScript::ApplicationWorld;
const quint32 kPageWorld = QWebEngineScript::MainWorld;

// Script text for one value, safely quoted.
QString jsValue(const QJsonValue& v) {
    QJsonArray wrap{v};
    QString text = QString::fromUtf8(QJsonDocument(wrap).toJson(QJsonDocument::Compact));
    return text.mid(1, text.size() - 2);
}

QString qs(const std::string& s) { return QString::fromStdString(s); }

// The element the platform's element collection returns for a name: the first
// in document order whose id or name matches.
const char* kFindElement =
    "function quenlowFind(n){"
    " if(!document || !document.documentElement) return null;"
    " var q=CSS.escape(n);"
    " return document.querySelector('[id=\"'+q+'\"],[name=\"'+q+'\"]');"
    "}";

// Reports every click on the page (capture phase, never cancelled) as the
// ancestor chain of the clicked element; the application does the matching.
const char* kClickScript = R"JS(
(function () {
  if (window.__quenlowClickHook) return;
  window.__quenlowClickHook = true;
  var sink = null, pending = [];
  new QWebChannel(qt.webChannelTransport, function (channel) {
    sink = channel.objects.quenlowClickSink;
    pending.forEach(function (c) { sink.click(c); });
    pending = [];
  });
  document.addEventListener('click', function (ev) {
    var chain = [];
    for (var e = ev.target; e && e.nodeType === 1; e = e.parentElement) {
      var id = (typeof e.id === 'string') ? e.id : '';
      chain.push({id: id, html: id ? e.outerHTML : ''});
    }
    if (sink) sink.click(chain); else pending.push(chain);
  }, true);
})();
)JS";

int screenshotPipe[2] = {-1, -1};

void onSigusr1(int) {
    char c = 1;
    if (screenshotPipe[1] >= 0) {
        ssize_t ignored = ::write(screenshotPipe[1], &c, 1);
        (void)ignored;
    }
}

}  // namespace

void ClickSink::click(const QVariantList& chain) {
    std::vector<ClickedElement> elements;
    elements.reserve(static_cast<size_t>(chain.size()));
    for (const QVariant& level : chain) {
        QVariantMap m = level.toMap();
        elements.push_back(
            {m.value("id").toString().toStdString(), m.value("html").toString().toStdString()});
    }
    handler_.onClick(elements);
}

CQuenlowView::CQuenlowView(QWidget* parent)
    : QWidget(parent), queue_([this] {
          QMetaObject::invokeMethod(this, &CQuenlowView::drainQueue, Qt::QueuedConnection);
      }) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    browser_ = new QWebEngineView(this);
    profile_ = new QWebEngineProfile(QStringLiteral("Quenlow"), this);
    // The store page is always fetched fresh; cookies persist like a browser's.
    profile_->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    auto* page = new QWebEnginePage(profile_, browser_);
    browser_->setPage(page);
    browser_->setContextMenuPolicy(Qt::NoContextMenu);
    layout->addWidget(browser_);

    core_ = std::make_unique<ViewCore>(*this, *this, log_, &shell_, queue_);
    const char* trace = std::getenv("QUENLOW_TRACE");
    core_->traceEnabled = !(trace && std::strcmp(trace, "0") == 0);

    channel_ = new QWebChannel(this);
    sink_ = new ClickSink(core_->eventHandler(), this);
    channel_->registerObject(QStringLiteral("quenlowClickSink"), sink_);
    page->setWebChannel(channel_, QWebEngineScript::ApplicationWorld);
    installClickScript();

    connect(page, &QWebEnginePage::loadFinished, this, &CQuenlowView::onLoadFinished);
    qApp->installEventFilter(this);
    setUpScreenshots();
}

CQuenlowView::~CQuenlowView() {
    qApp->removeEventFilter(this);
    delete channel_;
    channel_ = nullptr;
    delete sink_;
    sink_ = nullptr;
    // Every controller of the order is stopped and joined; the state is not saved.
    core_.reset();
    // The page goes before its profile.
    delete browser_;
    browser_ = nullptr;
    delete profile_;
    profile_ = nullptr;
}

void CQuenlowView::installClickScript() {
    QString source;
    QFile channelJs(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    if (channelJs.open(QIODevice::ReadOnly)) source = QString::fromUtf8(channelJs.readAll());
    source += QString::fromUtf8(kClickScript);
    QWebEngineScript script;
    script.setName(QStringLiteral("quenlow-click-sink"));
    script.setSourceCode(source);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::ApplicationWorld);
    script.setRunsOnSubFrames(false);
    browser_->page()->scripts().insert(script);
}

void CQuenlowView::OnInitialUpdate(const std::optional<std::string>& argumentFile) {
    std::string url = chooseStartUrl(
        argumentFile,
        [] {
            OrderState saved;
            saved.loadSaveState();
            return saved.CurrentUrl;
        },
        QUENLOW_STORE_HOST);
    browser_->load(QUrl(qs(url)));
}

void CQuenlowView::onLoadFinished(bool ok) {
    // A failed load is not a document completion: the browser's error page
    // shows and nothing is read or saved.
    if (!ok) return;
    loadedOnce_ = true;
    std::string url = browser_->url().toString(QUrl::FullyEncoded).toStdString();
    queue_.postTask([this, url] {
        core_->DocumentComplete(url);
        if (const char* f5 = std::getenv("QUENLOW_TEST_PRESS_F5");
            f5 && std::strcmp(f5, "1") == 0) {
            // Test seam: the key presses a user would make, through the key
            // filter. F6 follows F5 so a page can tell that F5 has gone by.
            QWidget* target = browser_->focusProxy() ? browser_->focusProxy() : browser_;
            for (int key : {Qt::Key_F5, Qt::Key_F6}) {
                QApplication::postEvent(target,
                                        new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
                QApplication::postEvent(target,
                                        new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier));
            }
        }
    });
    if (!screenshotPath_.isEmpty()) {
        QTimer::singleShot(1500, this, [this] { saveScreenshot(screenshotPath_); });
    }
}

void CQuenlowView::drainQueue() {
    if (!core_) return;
    queue_.drain([this](Message& msg) { core_->handleMessage(msg); });
}

QVariant CQuenlowView::runSync(const QString& script, bool mainWorld) {
    struct Call {
        QVariant result;
        bool done = false;
        QEventLoop* loop = nullptr;
    };
    auto call = std::make_shared<Call>();
    QEventLoop loop;
    call->loop = &loop;
    browser_->page()->runJavaScript(script, mainWorld ? kPageWorld : kReadWorld,
                                    [call](const QVariant& v) {
                                        call->result = v;
                                        call->done = true;
                                        if (call->loop) call->loop->quit();
                                    });
    if (!call->done) {
        QTimer timeout;
        timeout.setSingleShot(true);
        connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        timeout.start(kScriptTimeoutMs);
        // Clicks and keys wait until the read is answered.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    call->loop = nullptr;
    return call->result;
}

bool CQuenlowView::hasDocument() { return loadedOnce_; }

ElementValue CQuenlowView::elementValue(const std::string& name) {
    QString script =
        QString::fromUtf8(kFindElement) +
        QStringLiteral(
            "(function(n){var e=quenlowFind(n); if(!e) return {k:0};"
            " if(e.value!==undefined && e.value!==null) return {k:2,t:String(e.value)};"
            " for(var i=0;i<e.attributes.length;i++)"
            "  if(e.attributes[i].name.toLowerCase()==='value') return "
            "{k:2,t:e.attributes[i].value};"
            " return {k:1};})(%1)")
            .arg(jsValue(qs(name)));
    QVariantMap m = runSync(script, false).toMap();
    ElementValue v;
    int kind = m.value("k", 0).toInt();
    if (kind == 2) {
        v.kind = ElementValue::Value;
        v.text = m.value("t").toString().toStdString();
    } else if (kind == 1) {
        v.kind = ElementValue::NoValue;
    }
    return v;
}

std::string CQuenlowView::elementOuterHtml(const std::string& name) {
    QString script =
        QString::fromUtf8(kFindElement) +
        QStringLiteral(
            "(function(n){var e=quenlowFind(n); return e ? String(e.outerHTML) : '';})(%1)")
            .arg(jsValue(qs(name)));
    return runSync(script, false).toString().toStdString();
}

std::string CQuenlowView::orderNumberLabel() {
    const QString script = QStringLiteral(
        "(function(){ if(!document) return '';"
        " var s=document.getElementsByTagName('span');"
        " for(var i=0;i<s.length;i++){ var id=s[i].id||'';"
        "  if(id.indexOf('lblOrderNumber')>=0) return String(s[i].innerText); }"
        " return ''; })()");
    return runSync(script, false).toString().toStdString();
}

std::vector<bool> CQuenlowView::definedFunctions(const std::vector<std::string>& names) {
    QJsonArray list;
    for (const auto& n : names) list.append(qs(n));
    QString script = QStringLiteral(
                         "(function(ns){return ns.map(function(n){return typeof "
                         "window[n]==='function';});})(%1)")
                         .arg(jsValue(list));
    QVariantList found = runSync(script, true).toList();
    std::vector<bool> out;
    for (const QVariant& v : found) out.push_back(v.toBool());
    return out;
}

void CQuenlowView::callFunction(const std::string& name, const std::vector<std::string>& args) {
    QJsonArray list;
    for (const auto& a : args) list.append(qs(a));
    // Calls run in posting order in the page; the result is not needed, so
    // nothing waits for it.
    QString script = QStringLiteral(
                         "(function(n,a){var f=window[n]; if(typeof f==='function'){"
                         " try{f.apply(window,a);}catch(e){}}})(%1,%2)")
                         .arg(jsValue(qs(name)), jsValue(list));
    browser_->page()->runJavaScript(script, kPageWorld);
}

void CQuenlowView::showMessageBox(const std::string& text, const std::string& caption) {
    messageBox(this, text, caption);
}

std::optional<std::string> CQuenlowView::browseForFolder() {
    QString folder = QFileDialog::getExistingDirectory(this);
    if (folder.isEmpty()) return std::nullopt;
    return folder.toStdString();
}

void CQuenlowView::quitAfter(Millis delay) {
    QTimer::singleShot(delay, qApp, &QCoreApplication::quit);
}

void CQuenlowView::setMiddleZoom() { browser_->setZoomFactor(1.0); }

bool CQuenlowView::eventFilter(QObject* watched, QEvent* event) {
    if (PreTranslateMessage(watched, event)) return true;
    return QWidget::eventFilter(watched, event);
}

bool CQuenlowView::PreTranslateMessage(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || !browser_ || (widget != browser_ && !browser_->isAncestorOf(widget)))
        return false;
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::ShortcutOverride:
            // F5 never reloads the page.
            return static_cast<QKeyEvent*>(event)->key() == Qt::Key_F5;
        case QEvent::MouseButtonRelease:
            // The page's context menu never opens.
            return static_cast<QMouseEvent*>(event)->button() == Qt::RightButton;
        case QEvent::ContextMenu:
            return true;
        default:
            return false;
    }
}

void CQuenlowView::setUpScreenshots() {
    const char* path = std::getenv("QUENLOW_SCREENSHOT");
    if (!path || !*path) return;
    screenshotPath_ = QString::fromLocal8Bit(path);
    if (screenshotPipe[0] < 0 && ::pipe2(screenshotPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = onSigusr1;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGUSR1, &sa, nullptr);
    screenshotNotifier_ = new QSocketNotifier(screenshotPipe[0], QSocketNotifier::Read, this);
    connect(screenshotNotifier_, &QSocketNotifier::activated, this,
            &CQuenlowView::onScreenshotSignal);
}

void CQuenlowView::onScreenshotSignal() {
    char buffer[64];
    while (::read(screenshotPipe[0], buffer, sizeof buffer) > 0) {
    }
    saveScreenshot(screenshotPath_);
}

bool CQuenlowView::saveScreenshot(const QString& path) {
    QWidget* top = window();
    QPixmap picture = top->grab();
    QString temp = path + QStringLiteral(".part.png");
    if (!picture.save(temp, "PNG")) return false;
    // Replaced in one step so a reader never sees half a picture.
    return ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) == 0;
}
