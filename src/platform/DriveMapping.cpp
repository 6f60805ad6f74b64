#include "platform/DriveMapping.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The drive folder that createDriveRoot could not make the user's own; it maps nothing.
QString& refusedRoot() {
    static QString root;
    return root;
}

// The entry of `folder` that `name` names on Windows: the exact spelling when it exists, else
// the first entry in name order that differs only in letter case; empty when there is none.
QString existingSpelling(const QString& folder, const QString& name) {
    struct stat info {};
    if (::lstat(QFile::encodeName(folder + QLatin1Char('/') + name).constData(), &info) == 0)
        return name;
    const QStringList entries = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& entry : entries)
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return entry;
    return {};
}

QByteArray resolvedPath(const QByteArray& path) {
    char* resolved = ::realpath(path.constData(), nullptr);
    if (resolved == nullptr)
        return {};
    QByteArray result(resolved);
    std::free(resolved);
    return result;
}

bool below(const QByteArray& path, const QByteArray& root) {
    return !root.isEmpty() && !path.isEmpty() &&
           (path == root || root == "/" || path.startsWith(root + '/'));
}

} // namespace

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
    if (root == refusedRoot()) {
        return {};
    }
    QString mapped = root == QLatin1String("/") ? QString() : root;
    // Below the first component that does not exist nothing can, whatever its spelling.
    bool exists = true;
    for (const QString& part : parts) {
        const QString spelled =
            exists ? existingSpelling(mapped.isEmpty() ? QStringLiteral("/") : mapped, part)
                   : QString();
        exists = !spelled.isEmpty();
        mapped += QLatin1Char('/') + (exists ? spelled : part);
    }
    return mapped.isEmpty() ? root : mapped;
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
    // Another account that may write here could plant the programs the user then starts with
    // the password on their command line.
    if (error == 0) {
        const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0)
            error = errno;
        else if (info.st_uid != ::geteuid())
            error = EPERM;
        else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && ::fchmod(fd, 0700) != 0)
            error = errno;
        if (fd >= 0)
            ::close(fd);
    }
    refusedRoot() = error == 0 ? QString() : driveRoot();
    if (error == 0)
        return {};
    return QStringLiteral("Creating directory %1 failed: %2.\rClient programs cannot be "
                          "installed, and the server and user name are not remembered.")
        .arg(root, QString::fromLocal8Bit(std::strerror(error)));
}

bool isInsideDrive(const QString& diskPath) {
    return below(resolvedPath(QFile::encodeName(diskPath)),
                 resolvedPath(QFile::encodeName(driveRoot())));
}

int openDriveFolder(const QString& diskPath) {
    const QByteArray name = QFile::encodeName(diskPath);
    const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // The descriptor must be the folder that the resolved name, inside the drive, is: so a
    // link swapped in on the way after the check leads nowhere else.
    const QByteArray resolved = resolvedPath(name);
    struct stat opened {};
    struct stat checked {};
    if (!below(resolved, resolvedPath(QFile::encodeName(driveRoot()))) ||
        ::fstat(fd, &opened) != 0 || ::stat(resolved.constData(), &checked) != 0 ||
        opened.st_dev != checked.st_dev || opened.st_ino != checked.st_ino) {
        ::close(fd);
        errno = ELOOP;
        return -1;
    }
    return fd;
}
