#include "app/MessageBox.h"

#include <QMessageBox>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quenlow {

namespace {

// Unattended runs (QUENLOW_MESSAGEBOX_STDERR=1) print the box instead of showing it.
bool printedInstead(const std::string& text, const std::string& caption) {
    const char* toStderr = std::getenv("QUENLOW_MESSAGEBOX_STDERR");
    if (!toStderr || std::strcmp(toStderr, "1") != 0) return false;
    std::fprintf(stderr, "QUENLOW_MESSAGEBOX [%s] %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return true;
}

}  // namespace

void messageBox(QWidget* owner, const std::string& text, const std::string& caption) {
    if (printedInstead(text, caption)) return;
    QMessageBox::information(owner, QString::fromStdString(caption), QString::fromStdString(text),
                             QMessageBox::Ok);
}

void openMessageBox(QWidget* owner, const std::string& text, const std::string& caption) {
    if (printedInstead(text, caption)) return;
    auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(caption),
                                QString::fromStdString(text), QMessageBox::Ok, owner);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

}  // namespace quenlow
