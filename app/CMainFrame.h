#pragma once
// The main frame: caption "Quenlow", no menu bar, a status bar with a text
// pane and the CAP, NUM and SCRL indicators; the view fills the client area.
// The text pane shows the running downloads (count, speed, time left).

#include <QMainWindow>
#include <QPointer>

#include "app/core/DownloadStatusText.h"

class CAboutDlg;
class QLabel;

class CMainFrame : public QMainWindow {
    Q_OBJECT
  public:
    explicit CMainFrame(QWidget* parent = nullptr);
    // Creates the status bar; false when it could not be made.
    bool OnCreate();
    // Opens the About box, or brings the open one to the front; returns at once.
    void OnAppAbout();

  private:
    // Samples the current order's files and puts the status text in the pane.
    void showDownloadStatus();

    QLabel* textPane_ = nullptr;
    QPointer<CAboutDlg> about_;
    quenlow::DownloadStatusText downloadStatus_;
};
