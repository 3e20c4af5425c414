#include "app/CMainFrame.h"

#include <QAction>
#include <QLabel>
#include <QStatusBar>

#include "app/CAboutDlg.h"

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
    textPane_ = new QLabel(this);
    bar->addWidget(textPane_, 1);
    for (const char* indicator : {"CAP", "NUM", "SCRL"}) {
        auto* pane = new QLabel(indicator, this);
        pane->setObjectName(indicator);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        bar->addPermanentWidget(pane);
    }
    bar->setVisible(true);
    return true;
}

void CMainFrame::OnAppAbout() {
    CAboutDlg dialog(this);
    dialog.exec();
}
