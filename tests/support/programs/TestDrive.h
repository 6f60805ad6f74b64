#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Where a test finds on disk what the code under test names as "c:\..." in the drive folder
// `root` (the test's QUORVANE_DRIVE_C). Written out by hand, so a fault in the drive mapping
// cannot hide by agreeing with itself.
namespace TestDrive {

inline QString diskPath(const QString& root, const QString& windowsPath) {
    QString rest = windowsPath.mid(3);
    rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return root + QLatin1Char('/') + rest;
}

// A file's bytes, or "<missing>" when it cannot be read.
inline QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace TestDrive
