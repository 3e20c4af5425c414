#include "app/QtShell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QUrl>

namespace quenlow {

void QtShell::open(const std::string& target, const std::string& workingDir) {
    struct stat st {};
    bool executable = ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                      ::access(target.c_str(), X_OK) == 0;
    if (executable) {
        // An install command runs in its own folder (it may sit in a sub-folder
        // of the launch directory).
        QString program = QString::fromStdString(target);
        QString folder = QFileInfo(program).absolutePath();
        if (folder.isEmpty()) folder = QString::fromStdString(workingDir);
        QProcess::startDetached(program, {}, folder);
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(target)));
}

}  // namespace quenlow
