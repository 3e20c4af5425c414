#pragma once
// The main frame: caption "Quenlow", no menu bar, a status bar with a text
// pane and the CAP, NUM and SCRL indicators; the view fills the client area.

#include <QMainWindow>

class QLabel;

class CMainFrame : public QMainWindow {
    Q_OBJECT
  public:
    explicit CMainFrame(QWidget* parent = nullptr);
    // Creates the status bar; false when it could not be made.
    bool OnCreate();
    void OnAppAbout();

  private:
    QLabel* textPane_ = nullptr;
};
