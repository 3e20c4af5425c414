#pragma once
// The document: holds no data. Opening a document file only checks that the
// file can be opened; the view reads the start URL from it itself.

#include <QString>

class CQuenlowDoc {
  public:
    bool OnNewDocument() { return true; }
    bool OnOpenDocument(const QString& path);
    const QString& pathName() const { return pathName_; }

  private:
    QString pathName_;
};
