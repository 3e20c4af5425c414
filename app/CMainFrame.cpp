#include "app/CMainFrame.h"

#include <QAction>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>

#include "app/CAboutDlg.h"
#include "app/CQuenlowView.h"

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    // The caption stays fixed whatever the document is called.
    setWindowTitle("Quenlow");
    // No menu bar: none is ever created.
    auto* about = new QAction(this);
    about->setShortcut(QKeySequence::HelpContents);
    connect(about, &QAction::triggered, this, &CMainFrame::OnAppAbout);
    addAction(about);
}

bool CMainFrame::OnCreate() {
    QStatusBar* bar = statusBar();
    if (!bar) return false;
    textPane_ = new QLabel(QStringLiteral("Ready"), this);
    textPane_->setObjectName(QStringLiteral("statusText"));
    bar->addWidget(textPane_, 1);
    for (const char* indicator : {"CAP", "NUM", "SCRL"}) {
        auto* pane = new QLabel(indicator, this);
        pane->setObjectName(indicator);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        bar->addPermanentWidget(pane);
    }
    bar->setVisible(true);

    auto* sampler = new QTimer(this);
    sampler->setInterval(quenlow::StatusSampleInterval);
    connect(sampler, &QTimer::timeout, this, &CMainFrame::showDownloadStatus);
    sampler->start();
    return true;
}

void CMainFrame::showDownloadStatus() {
    auto* view = qobject_cast<CQuenlowView*>(centralWidget());
    if (!view) return;
    quenlow::ViewCore& core = view->core();
    downloadStatus_.sample(quenlow::sampleOrder(core.orderState(), core.generation()));
    const QString text = QString::fromStdString(downloadStatus_.text());
    if (textPane_->text() != text) textPane_->setText(text);
}

void CMainFrame::OnAppAbout() {
    if (about_) {
        about_->raise();
        about_->activateWindow();
        return;
    }
    // Opened, not run: the dialog's own event loop would hold up the page and
    // the downloads until it closed.
    about_ = new CAboutDlg(this);
    about_->setAttribute(Qt::WA_DeleteOnClose);
    about_->open();
}
