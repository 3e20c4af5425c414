#include "app/CQuenlowApp.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QSettings>
#include <cstdlib>
#include <cstring>

#include "app/CMainFrame.h"
#include "app/CQuenlowView.h"
#include "app/MessageBox.h"
#include "app/SingleInstance.h"
#include "platform/Pacing.h"

using namespace quenlow;

namespace {

// Unattended test runs shrink the engine's waits (the upgrade delay stays:
// it is what the user sees).
void applyTestPacing() {
    const char* flag = std::getenv("QUENLOW_TEST_PACING");
    if (!flag || std::strcmp(flag, "1") != 0) return;
    Pacing& p = pacing();
    p.attemptDelay = Millis(0);
    p.waitFilePoll = Millis(5);
    p.reconnectDelay = Millis(100);
    p.abortSettle = Millis(0);
    p.unpackedSettle = Millis(0);
}

}  // namespace

CQuenlowApp::CQuenlowApp(int& argc, char** argv) : QApplication(argc, argv) {}

CQuenlowApp::~CQuenlowApp() {
    // The frame (and with it the view and every worker) goes before the application object.
    frame_.reset();
}

bool CQuenlowApp::InitInstance() {
    // A second instance ends at once, showing nothing.
    if (singleInstanceGuard().anotherInstanceRuns()) return false;

    QCoreApplication::setOrganizationName(QStringLiteral("Ostrel Inc."));
    QCoreApplication::setApplicationName(QStringLiteral("Quenlow"));
    // Lets the desktop match the window to its desktop entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUENLOW_APP_ID));
    applyTestPacing();

    // Command line: none, or one file whose first line is the start URL. A
    // leading "--" lets a file whose name starts with "--" be opened.
    std::optional<std::string> argumentFile;
    QStringList args = arguments();
    if (args.size() > 1 && args.at(1) == QStringLiteral("--")) args.removeAt(1);
    if (args.size() > 1) {
        if (!document_.OnOpenDocument(args.at(1))) {
            // Before the event loop starts: the only box allowed to wait for its click.
            startupMessageBox(args.at(1).toStdString() + "\nFailed to open document.", "Quenlow");
            return false;
        }
        argumentFile = args.at(1).toStdString();
    } else {
        document_.OnNewDocument();
    }

    frame_ = std::make_unique<CMainFrame>();
    if (!frame_->OnCreate()) return false;
    auto* view = new CQuenlowView(frame_.get());
    frame_->setCentralWidget(view);
    view->OnInitialUpdate(argumentFile);
    // The platform's default size can be tiny on a headless screen.
    frame_->resize(1024, 768);
    frame_->show();
    return true;
}
