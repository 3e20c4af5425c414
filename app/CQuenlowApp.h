#pragma once
// The application object: start-up in InitInstance, then the message loop.

#include <QApplication>
#include <memory>

#include "app/CQuenlowDoc.h"

class CMainFrame;
class CQuenlowView;

class CQuenlowApp : public QApplication {
    Q_OBJECT
  public:
    CQuenlowApp(int& argc, char** argv);
    ~CQuenlowApp() override;

    // False ends the process without a message loop.
    bool InitInstance();

    CMainFrame* mainFrame() const { return frame_.get(); }

  private:
    CQuenlowDoc document_;
    std::unique_ptr<CMainFrame> frame_;
};
