#include "app/CQuenlowDoc.h"

#include <QFile>

bool CQuenlowDoc::OnOpenDocument(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    pathName_ = path;
    return true;
}
