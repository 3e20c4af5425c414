#include "app/CQuenlowView.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
#include <memory>

#include "app/MessageBox.h"
#include "app/core/StartUrl.h"

using namespace quenlow;

namespace {

const quint32 kReadWorld = QWebEngineScript::ApplicationWorld;
const quint32 kPageWorld = QWebEngineScript::MainWorld;

// Script text for one value, safely quoted.
QString jsValue(const QJsonValue& v) {
    QJsonArray wrap{v};
    QString text = QString::fromUtf8(QJsonDocument(wrap).toJson(QJsonDocument::Compact));
    return text.mid(1, text.size() - 2);
}

QString qs(const std::string& s) { return QString::fromStdString(s); }

// Every read of one step in one script, in order. An element is the first in
// document order whose id or name matches (as the platform's element
// collection returns it). Answers: {k:0} missing, {k:1} no value, {k:2,t}.
const char* kReadScript = R"JS(
(function (reads) {
  function find(n) {
    if (!document || !document.documentElement) return null;
    var q = CSS.escape(n);
    return document.querySelector('[id="' + q + '"],[name="' + q + '"]');
  }
  function label() {
    var s = document.getElementsByTagName('span');
    for (var i = 0; i < s.length; i++)
      if ((s[i].id || '').indexOf('lblOrderNumber') >= 0) return String(s[i].innerText);
    return '';
  }
  function value(e) {
    if (e.value !== undefined && e.value !== null) return {k: 2, t: String(e.value)};
    for (var i = 0; i < e.attributes.length; i++)
      if (e.attributes[i].name.toLowerCase() === 'value') return {k: 2, t: e.attributes[i].value};
    return {k: 1};
  }
  var out = [];
  reads.forEach(function (r) {
    if (r.k === 2) { out.push({k: 2, t: document ? label() : ''}); return; }
    var name = r.n;
    if (r.s >= 0 && out[r.s] && out[r.s].k === 2) name += out[r.s].t;
    var e = find(name);
    if (!e) out.push({k: 0});
    else if (r.k === 1) out.push({k: 2, t: String(e.outerHTML)});
    else out.push(value(e));
  });
  return out;
})(%1)
)JS";

// The script calls of one batch, in order; a missing or failing function has no effect.
const char* kCallScript = R"JS(
(function (calls) {
  calls.forEach(function (c) {
    var f = window[c[0]];
    if (typeof f === 'function') { try { f.apply(window, c[1]); } catch (e) {} }
  });
  return true;
})(%1)
)JS";

// Reports every click on the page (capture phase, never cancelled) as the
// ancestor chain of the clicked element; the application does the matching.
const char* kClickScript = R"JS(
(function () {
  if (window.__quenlowClickHook) return;
  window.__quenlowClickHook = true;
  var sink = null, pending = [];
  new QWebChannel(qt.webChannelTransport, function (channel) {
    sink = channel.objects.quenlowClickSink;
    pending.forEach(function (c) { sink.click(c.url, c.chain); });
    pending = [];
  });
  document.addEventListener('click', function (ev) {
    var chain = [];
    for (var e = ev.target; e && e.nodeType === 1; e = e.parentElement) {
      var id = (typeof e.id === 'string') ? e.id : '';
      chain.push({id: id, html: id ? e.outerHTML : ''});
    }
    if (sink) sink.click(location.href, chain);
    else pending.push({url: location.href, chain: chain});
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

void ClickSink::click(const QString& url, const QVariantList& chain) {
    std::vector<ClickedElement> elements;
    elements.reserve(static_cast<size_t>(chain.size()));
    for (const QVariant& level : chain) {
        QVariantMap m = level.toMap();
        elements.push_back(
            {m.value("id").toString().toStdString(), m.value("html").toString().toStdString()});
    }
    core_.pageClicked(url.toStdString(), elements);
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
    setUpTrustedOrigins();
    sink_ = new ClickSink(*core_, this);
    channel_->registerObject(QStringLiteral("quenlowClickSink"), sink_);
    page->setWebChannel(channel_, QWebEngineScript::ApplicationWorld);
    installClickScript();

    connect(page, &QWebEnginePage::loadStarted, this, &CQuenlowView::onLoadStarted);
    connect(page, &QWebEnginePage::loadFinished, this, &CQuenlowView::onLoadFinished);
    qApp->installEventFilter(this);
    setUpScreenshots();
    setUpHeartbeat();
}

void CQuenlowView::setUpTrustedOrigins() {
    const char* listed = std::getenv("QUENLOW_STORE_ORIGINS");
    TrustedOrigins origins(QUENLOW_STORE_HOST, listed ? listed : "");
    for (const std::string& refused : origins.refused())
        Logger<FileLogWriter>(log_, "QUENLOW_STORE_ORIGINS", LogLevel_Warning, LogCategory_Init,
                              LogLevel_Warning)
            << " not trusted: " << refused;
    core_->setTrustedOrigins(std::move(origins));
}

void CQuenlowView::setUpHeartbeat() {
    const char* flag = std::getenv("QUENLOW_HEARTBEAT");
    if (!flag || std::strcmp(flag, "1") != 0) return;
    struct Beat {
        QElapsedTimer clock;
        qint64 lastTick = 0;
        qint64 windowStart = 0;
        qint64 largest = 0;
    };
    auto beat = std::make_shared<Beat>();
    beat->clock.start();
    heartbeat_ = new QTimer(this);
    heartbeat_->setTimerType(Qt::PreciseTimer);
    heartbeat_->setInterval(10);
    connect(heartbeat_, &QTimer::timeout, this, [this, beat] {
        qint64 now = beat->clock.elapsed();
        beat->largest = std::max(beat->largest, now - beat->lastTick);
        beat->lastTick = now;
        if (now - beat->windowStart < 1000) return;
        Logger<FileLogWriter>(log_, "Heartbeat", LogLevel_Information, LogCategory_General,
                              LogLevel_Information)
            << " largest gap " << static_cast<long long>(beat->largest) << " ms";
        beat->largest = 0;
        beat->windowStart = now;
    });
    heartbeat_->start();
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

void CQuenlowView::onLoadStarted() { core_->PageNavigating(); }

void CQuenlowView::onLoadFinished(bool ok) {
    // A failed load is not a document completion: the browser's error page
    // shows and nothing is read or saved.
    if (!ok) return;
    loadedOnce_ = true;
    std::string url = browser_->url().toString(QUrl::FullyEncoded).toStdString();
    core_->pageLoaded(url);
    queue_.postTask([this] {
        if (const char* f5 = std::getenv("QUENLOW_TEST_PRESS_F5"); f5 && std::strcmp(f5, "1") == 0)
            pressTestKeys(20);
    });
    if (!screenshotPath_.isEmpty()) {
        QTimer::singleShot(1500, this, [this] { saveScreenshot(screenshotPath_); });
    }
}

void CQuenlowView::pressTestKeys(int rounds) {
    // Test seam: the key presses a user would make, through the key filter.
    // F6 follows F5 so a page can tell that F5 has gone by. A renderer that
    // is not ready for input yet drops them, so the pair comes again.
    QWidget* target = browser_->focusProxy() ? browser_->focusProxy() : browser_;
    target->setFocus();
    for (int key : {Qt::Key_F5, Qt::Key_F6}) {
        QApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
        QApplication::postEvent(target, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier));
    }
    if (rounds > 1) QTimer::singleShot(500, this, [this, rounds] { pressTestKeys(rounds - 1); });
}

void CQuenlowView::drainQueue() {
    if (!core_) return;
    queue_.drain([this](Message& msg) {
        QElapsedTimer took;
        took.start();
        uint32_t id = msg.id;
        core_->handleMessage(msg);
        // The window stands still while a handler runs: a slow one is worth knowing.
        if (took.elapsed() >= 100)
            Logger<FileLogWriter>(log_, "drainQueue", LogLevel_Warning, LogCategory_General,
                                  LogLevel_Warning)
                << " message 0x" << QString::number(id, 16).toStdString() << " took "
                << static_cast<long long>(took.elapsed()) << " ms";
    });
}

bool CQuenlowView::hasDocument() { return loadedOnce_; }

void CQuenlowView::readElements(const std::vector<PageRead>& reads,
                                std::function<void(PageAnswer)> done) {
    QJsonArray list;
    for (const PageRead& r : reads)
        list.append(
            QJsonObject{{"k", static_cast<int>(r.kind)}, {"n", qs(r.name)}, {"s", r.suffixFrom}});
    QString script = QString::fromUtf8(kReadScript).arg(jsValue(list));
    // The answer comes back through the event loop; nothing waits for it here.
    browser_->page()->runJavaScript(script, kReadWorld, [done](const QVariant& result) {
        if (result.typeId() != QMetaType::QVariantList) {
            done(std::nullopt);
            return;
        }
        std::vector<ElementValue> values;
        for (const QVariant& item : result.toList()) {
            QVariantMap m = item.toMap();
            ElementValue v;
            int kind = m.value("k", -1).toInt();
            if (kind == 2) {
                v.kind = ElementValue::Value;
                v.text = m.value("t").toString().toStdString();
            } else if (kind == 1) {
                v.kind = ElementValue::NoValue;
            } else if (kind != 0) {
                done(std::nullopt);
                return;
            }
            values.push_back(std::move(v));
        }
        done(std::move(values));
    });
}

void CQuenlowView::callFunctions(const std::vector<ScriptCall>& calls, std::function<void()> done) {
    QJsonArray list;
    for (const ScriptCall& c : calls) {
        QJsonArray args;
        for (const auto& a : c.args) args.append(qs(a));
        list.append(QJsonArray{QString::fromUtf8(scriptFunctionName(c.fn)), args});
    }
    QString script = QString::fromUtf8(kCallScript).arg(jsValue(list));
    browser_->page()->runJavaScript(script, kPageWorld, [done](const QVariant&) { done(); });
}

void CQuenlowView::showMessageBox(const std::string& text, const std::string& caption) {
    openMessageBox(this, text, caption);
}

void CQuenlowView::browseForFolder(std::function<void(std::optional<std::string>)> done) {
    // Opened, not run: the dialog's own event loop would stop everything else.
    auto* dialog = new QFileDialog(this);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto answer =
        std::make_shared<std::function<void(std::optional<std::string>)>>(std::move(done));
    connect(dialog, &QFileDialog::fileSelected, this, [answer](const QString& folder) {
        if (!*answer) return;
        auto once = std::move(*answer);
        *answer = nullptr;
        once(folder.isEmpty() ? std::nullopt : std::optional<std::string>(folder.toStdString()));
    });
    connect(dialog, &QFileDialog::rejected, this, [answer] {
        if (!*answer) return;
        auto once = std::move(*answer);
        *answer = nullptr;
        once(std::nullopt);
    });
    dialog->open();
}

void CQuenlowView::startTimer(Millis delay, std::function<void()> fire) {
    QTimer::singleShot(delay, this, std::move(fire));
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
