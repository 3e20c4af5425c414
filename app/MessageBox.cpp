#include "app/MessageBox.h"

#include <QMessageBox>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quenlow {

void messageBox(QWidget* owner, const std::string& text, const std::string& caption) {
    const char* toStderr = std::getenv("QUENLOW_MESSAGEBOX_STDERR");
    if (toStderr && std::strcmp(toStderr, "1") == 0) {
        std::fprintf(stderr, "QUENLOW_MESSAGEBOX [%s] %s\n", caption.c_str(), text.c_str());
        std::fflush(stderr);
        return;
    }
    QMessageBox::information(owner, QString::fromStdString(caption), QString::fromStdString(text),
                             QMessageBox::Ok);
}

}  // namespace quenlow
