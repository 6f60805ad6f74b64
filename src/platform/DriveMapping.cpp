#include "platform/DriveMapping.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace {

// The drive folder that createDriveRoot could not make the user's own; it maps nothing.
QString& refusedRoot() {
    static QString root;
    return root;
}

// The drive folder as it was opened, kept for the whole run: every handle starts from this
// descriptor, so re-pointing a link on the way to the drive folder later changes nothing.
struct OpenRoot {
    QString path;
    int fd = -1;
};

OpenRoot& openRoot() {
    static OpenRoot root;
    return root;
}

void keepRoot(const QString& path, int fd) {
    OpenRoot& root = openRoot();
    if (root.fd >= 0)
        ::close(root.fd);
    root = {path, fd};
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

// The same inside an open folder; the name as given when nothing matches.
QByteArray spellingIn(int folder, const QString& name) {
    const QByteArray exact = QFile::encodeName(name);
    struct stat info {};
    if (::fstatat(folder, exact.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return exact;
    // A descriptor of its own, so the listing's position is not shared with the caller's.
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (entries == nullptr) {
        if (listing >= 0)
            ::close(listing);
        return exact;
    }
    QString best;
    while (const dirent* entry = ::readdir(entries)) {
        const QString spelled = QFile::decodeName(entry->d_name);
        if (spelled != QLatin1String(".") && spelled != QLatin1String("..") &&
            spelled.compare(name, Qt::CaseInsensitive) == 0 && (best.isEmpty() || spelled < best))
            best = spelled;
    }
    ::closedir(entries);
    return best.isEmpty() ? exact : QFile::encodeName(best);
}

// The components below the drive folder of "c:\...", or false for a path that maps nothing.
bool driveComponents(const QString& windowsPath, QStringList* parts) {
    if (windowsPath.size() < 2 || windowsPath.at(1) != QLatin1Char(':') ||
        (windowsPath.at(0) != QLatin1Char('c') && windowsPath.at(0) != QLatin1Char('C'))) {
        return false;
    }
    // A NUL would silently cut the name short in every system call.
    if (windowsPath.contains(QChar(0))) {
        return false;
    }
    // "c:name" (relative to the drive's current folder) is read from the root: a process here
    // has no per-drive current folder, and a fresh Windows process starts at the root as well.
    QString rest = windowsPath.mid(2);
    rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
    for (const QString& part : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("..")) {
            return false;
        }
        if (part != QLatin1String(".")) {
            parts->append(part);
        }
    }
    return true;
}

// A component is usable when it is the user's and no one else may write it; one the user owns
// is tightened. Returns 0 or the errno of the refusal.
int makeOwnOnly(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return errno;
    if (info.st_uid != ::geteuid())
        return EPERM;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
        ::fchmod(fd, info.st_mode & 07777 & ~mode_t(S_IWGRP | S_IWOTH)) != 0)
        return errno;
    return 0;
}

// One component below an open folder; never through a link, never outside it.
int openBeneath(int folder, const QByteArray& name, int flags) {
    open_how how{};
    how.flags = quint64(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, folder, name.constData(), &how, sizeof how);
    // A kernel before 5.6: for a single component O_NOFOLLOW keeps the same promise.
    if (fd < 0 && errno == ENOSYS)
        return ::openat(folder, name.constData(), flags | O_NOFOLLOW);
    return int(fd);
}

// The open drive folder, opened and checked on first use when createDriveRoot has not run
// for it; -1 with `error` set when it is refused.
int rootDescriptor(int* error) {
    const QString root = driveRoot();
    if (root == refusedRoot()) {
        *error = EACCES;
        return -1;
    }
    if (openRoot().fd >= 0 && openRoot().path == root)
        return openRoot().fd;
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *error = fd < 0 ? errno : makeOwnOnly(fd);
    if (*error != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    keepRoot(root, fd);
    return fd;
}

DriveHandle walk(const QStringList& parts, DriveAccess access) {
    QString disk = driveRoot();
    int error = 0;
    const int root = rootDescriptor(&error);
    if (root < 0)
        return {-1, error, disk};
    int current = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
    if (current < 0)
        return {-1, errno, disk};
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray name = spellingIn(current, parts.at(i));
        disk += QLatin1Char('/') + QFile::decodeName(name);
        // Non-blocking, so that a FIFO under a program's name cannot hang the caller.
        const int flags = i + 1 < parts.size() || access != DriveAccess::File
                              ? O_RDONLY | O_DIRECTORY | O_CLOEXEC
                              : O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        int next = openBeneath(current, name, flags);
        if (next < 0 && errno == ENOENT && access == DriveAccess::MakeFolders &&
            (::mkdirat(current, name.constData(), 0755) == 0 || errno == EEXIST))
            next = openBeneath(current, name, flags);
        error = next < 0 ? errno : makeOwnOnly(next);
        ::close(current);
        if (error != 0) {
            if (next >= 0)
                ::close(next);
            return {-1, error, disk};
        }
        current = next;
    }
    return {current, 0, disk};
}

} // namespace

DriveHandle::DriveHandle(int fd, int error, QString diskPath)
    : m_fd(fd), m_error(error), m_diskPath(std::move(diskPath)) {}

DriveHandle::DriveHandle(DriveHandle&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_error(other.m_error),
      m_diskPath(std::move(other.m_diskPath)) {}

DriveHandle& DriveHandle::operator=(DriveHandle&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_error = other.m_error;
        m_diskPath = std::move(other.m_diskPath);
    }
    return *this;
}

DriveHandle::~DriveHandle() {
    if (m_fd >= 0)
        ::close(m_fd);
}

int DriveHandle::release() {
    return std::exchange(m_fd, -1);
}

DriveHandle openDrivePath(const QString& windowsPath, DriveAccess access) {
    QStringList parts;
    if (!driveComponents(windowsPath, &parts))
        return {-1, ENOENT, QString()};
    return walk(parts, access);
}

DriveHandle openDriveDiskPath(const QString& diskPath, DriveAccess access) {
    const QString root = driveRoot();
    const QString prefix = root == QLatin1String("/") ? root : root + QLatin1Char('/');
    if (diskPath != root && !diskPath.startsWith(prefix))
        return {-1, EACCES, diskPath};
    const QStringList parts =
        diskPath.mid(prefix.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.contains(QStringLiteral("..")) || parts.contains(QStringLiteral(".")))
        return {-1, EACCES, diskPath};
    return walk(parts, access);
}

QString dataFolder() {
    // The base directory rule: an unset, empty or relative XDG_DATA_HOME means the default.
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || QDir::isRelativePath(dataHome)) {
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    }
    return dataHome + QStringLiteral("/quorvane");
}

QString driveRoot() {
    QString root = qEnvironmentVariable("QUORVANE_DRIVE_C");
    if (root.isEmpty()) {
        root = dataFolder() + QStringLiteral("/c");
    }
    while (root.size() > 1 && root.endsWith(QLatin1Char('/'))) {
        root.chop(1);
    }
    return root;
}

QString mapDrivePath(const QString& windowsPath) {
    QStringList parts;
    if (!driveComponents(windowsPath, &parts)) {
        return {};
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
        if (error == 0)
            keepRoot(driveRoot(), fd);
        else if (fd >= 0)
            ::close(fd);
    }
    refusedRoot() = error == 0 ? QString() : driveRoot();
    if (error == 0)
        return {};
    return QStringLiteral("Creating directory %1 failed: %2.\rClient programs cannot be "
                          "installed, and the server and user name are not remembered.")
        .arg(root, QString::fromLocal8Bit(std::strerror(error)));
}

bool replaceDriveFile(const QString& windowsPath, const QByteArray& data, unsigned mode) {
    QString folderPath = windowsPath;
    folderPath.replace(QLatin1Char('/'), QLatin1Char('\\'));
    const qsizetype slash = folderPath.lastIndexOf(QLatin1Char('\\'));
    if (slash < 2)
        return false;
    // The name as the folder spells it, when the file exists in another letter case.
    const QByteArray name = QFile::encodeName(QFileInfo(mapDrivePath(windowsPath)).fileName());
    folderPath.truncate(slash);
    const DriveHandle folder = openDrivePath(folderPath, DriveAccess::Folder);
    if (!folder.isOpen() || name.isEmpty())
        return false;
    // A name of its own per write: two launchers of one user never write into one file.
    const QByteArray staged = '.' + name + '.' +
                              QByteArray::number(QRandomGenerator::system()->generate64(), 36) +
                              ".new";
    const int fd = ::openat(folder.fd(), staged.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_t(mode));
    if (fd < 0)
        return false;
    const bool written =
        ::write(fd, data.constData(), size_t(data.size())) == data.size() && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (written && closed &&
        ::renameat(folder.fd(), staged.constData(), folder.fd(), name.constData()) == 0)
        return true;
    ::unlinkat(folder.fd(), staged.constData(), 0);
    return false;
}
