#include "platform/WinePrefix.h"

#include "platform/DriveMapping.h"
#include "platform/Exception.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where the drive folder's open descriptor is on disk now, whatever link led to it.
QString driveOnDisk() {
    const DriveHandle drive = openDrivePath(QStringLiteral("c:\\"), DriveAccess::Folder);
    if (!drive.isOpen())
        return {};
    return QFileInfo(QStringLiteral("/proc/self/fd/") + QString::number(drive.fd()))
        .symLinkTarget();
}

// Points the link `name` at `target`, replacing whatever stands there in one step.
bool pointLink(const QString& name, const QString& target) {
    if (QFile::symLinkTarget(name) == target)
        return true;
    const QByteArray staged = QFile::encodeName(name + QStringLiteral(".new"));
    ::unlink(staged.constData());
    return ::symlink(QFile::encodeName(target).constData(), staged.constData()) == 0 &&
           ::rename(staged.constData(), QFile::encodeName(name).constData()) == 0;
}

[[noreturn]] void cannotMake(const QString& prefix, const QString& why) {
    throw Exception(QStringLiteral("Cannot prepare the wine prefix %1 for Windows programs: %2")
                        .arg(prefix, why));
}

} // namespace

QByteArray WinePrefix::wineProgram() {
    QByteArray wine = qgetenv("QUORVANE_WINE");
    if (!wine.startsWith('/'))
        wine = QByteArrayLiteral("/usr/bin/wine");
    struct stat info {};
    return ::stat(wine.constData(), &info) == 0 && S_ISREG(info.st_mode) ? wine : QByteArray();
}

QString WinePrefix::ownPrefix() {
    return dataFolder() + QStringLiteral("/wine");
}

QString WinePrefix::prepare() {
    const QString drive = driveOnDisk();
    const QString named = qEnvironmentVariable("WINEPREFIX");
    if (!named.isEmpty()) {
        const QString c = QFileInfo(named + QStringLiteral("/dosdevices/c:")).canonicalFilePath();
        if (drive.isEmpty() || c != drive)
            throw Exception(
                QStringLiteral("The wine prefix %1 (WINEPREFIX) does not have the drive folder "
                               "%2 as its drive c:, so Windows programs would not find their "
                               "files.\rLink %1/dosdevices/c: to %2, or start the launcher "
                               "without WINEPREFIX.")
                    .arg(named, driveRoot()));
        return named;
    }
    const QString prefix = ownPrefix();
    if (drive.isEmpty())
        cannotMake(prefix, QStringLiteral("the drive folder %1 is not usable").arg(driveRoot()));
    if (!QDir().mkpath(prefix + QStringLiteral("/dosdevices")))
        cannotMake(prefix, QString::fromLocal8Bit(std::strerror(errno)));
    // Never shared: its registry and settings steer every Windows program the user starts.
    struct stat info {};
    if (::lstat(QFile::encodeName(prefix).constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || ::chmod(QFile::encodeName(prefix).constData(), 0700) != 0)
        cannotMake(prefix, QStringLiteral("it is not a folder of your own"));
    // Wine makes its own c: only in a prefix without dosdevices; this one's c: is the drive
    // folder, and z: the file system root, so the current folder stays reachable.
    if (!pointLink(prefix + QStringLiteral("/dosdevices/c:"), drive) ||
        !pointLink(prefix + QStringLiteral("/dosdevices/z:"), QStringLiteral("/")))
        cannotMake(prefix, QString::fromLocal8Bit(std::strerror(errno)));
    return prefix;
}

bool WinePrefix::preparing() {
    if (!qEnvironmentVariableIsEmpty("WINEPREFIX"))
        return false;
    const QString prefix = ownPrefix();
    // Wine saves the registry once the prefix is filled and the program is taken.
    return QFileInfo(prefix + QStringLiteral("/dosdevices")).isDir() &&
           !QFileInfo::exists(prefix + QStringLiteral("/system.reg"));
}
