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

void openMessageBox(QWidget* owner, const std::string& text, const std::string& caption) {
    if (printedInstead(text, caption)) return;
    auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(caption),
                                QString::fromStdString(text), QMessageBox::Ok, owner);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void startupMessageBox(const std::string& text, const std::string& caption) {
    if (printedInstead(text, caption)) return;
    // Blocking on purpose: no event loop runs yet, so the box's own loop is
    // the only one and nothing else waits on it; the application ends after.
    QMessageBox::information(nullptr, QString::fromStdString(caption), QString::fromStdString(text),
                             QMessageBox::Ok);
}

}  // namespace quenlow
