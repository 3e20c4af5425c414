#include "app/CAboutDlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Quenlow");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(
        "Quenlow\nDownload manager for the Ostrel Inc. web store\nClient version 3160", this));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}
