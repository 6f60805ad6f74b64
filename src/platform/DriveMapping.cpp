#include "platform/DriveMapping.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

QString driveRoot() {
    QString root = qEnvironmentVariable("QUORVANE_DRIVE_C");
    if (root.isEmpty()) {
        // The base directory rule: an unset, empty or relative XDG_DATA_HOME means the default.
        QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
        if (dataHome.isEmpty() || QDir::isRelativePath(dataHome)) {
            dataHome = QDir::homePath() + QStringLiteral("/.local/share");
        }
        root = dataHome + QStringLiteral("/quorvane/c");
    }
    while (root.size() > 1 && root.endsWith(QLatin1Char('/'))) {
        root.chop(1);
    }
    return root;
}

QString mapDrivePath(const QString& windowsPath) {
    if (windowsPath.size() < 2 || windowsPath.at(1) != QLatin1Char(':') ||
        (windowsPath.at(0) != QLatin1Char('c') && windowsPath.at(0) != QLatin1Char('C'))) {
        return {};
    }
    // A NUL would silently cut the name short in every system call.
    if (windowsPath.contains(QChar(0))) {
        return {};
    }
    // "c:name" (relative to the drive's current folder) is read from the root: a process here
    // has no per-drive current folder, and a fresh Windows process starts at the root as well.
    QString rest = windowsPath.mid(2);
    rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QStringList parts;
    for (const QString& part : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("..")) {
            return {};
        }
        if (part != QLatin1String(".")) {
            parts.append(part);
        }
    }
    const QString root = driveRoot();
    if (parts.isEmpty()) {
        return root;
    }
    const QString joined = parts.join(QLatin1Char('/'));
    return root.endsWith(QLatin1Char('/')) ? root + joined : root + QLatin1Char('/') + joined;
}

QString createDriveRoot() {
    const QString root = QDir::cleanPath(driveRoot());
    const QByteArray path = QFile::encodeName(root);
    int error = 0;
    // Level by level from the top, so every folder created here gets the owner-only mode.
    for (qsizetype end = 1; end <= path.size() && error == 0; ++end) {
        if (end < path.size() && path.at(end) != '/')
            continue;
        const QByteArray level = path.left(end);
        struct stat info {};
        if (::stat(level.constData(), &info) == 0)
            error = S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
        else if (::mkdir(level.constData(), 0700) != 0 && errno != EEXIST)
            error = errno;
    }
    if (error == 0)
        return {};
    return QStringLiteral("Creating directory %1 failed: %2.\rClient programs cannot be "
                          "installed, and the server and user name are not remembered.")
        .arg(root, QString::fromLocal8Bit(std::strerror(error)));
}
