#include "app/QtShell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDesktopServices>
#include <QProcess>
#include <QString>
#include <QUrl>

namespace quenlow {

void QtShell::open(const std::string& target, const std::string& workingDir) {
    struct stat st{};
    bool executable = ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(target.c_str(), X_OK) == 0;
    if (executable) {
        QProcess::startDetached(QString::fromStdString(target), {}, QString::fromStdString(workingDir));
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(target)));
}

}  // namespace quenlow
