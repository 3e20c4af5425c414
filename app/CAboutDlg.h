#pragma once
// The About box: a window-modal dialog with no behaviour of its own.

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
