#include "upgrade/ProgramReplacement.h"

#include "platform/DriveMapping.h"
#include "platform/Exception.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString PartEnd = QStringLiteral(".part");

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The launcher that wrote a part file: ".NAME.PID.RANDOM.part", or ".NAME.PID.part" as
// earlier versions named it; 0 for a name of neither form.
qint64 writerOf(const QString& partName) {
    const QStringList fields = partName.chopped(PartEnd.size()).split(QLatin1Char('.'));
    for (qsizetype back : {2, 1}) {
        bool ok = false;
        const qint64 pid =
            fields.size() > back + 1 ? fields.at(fields.size() - back).toLongLong(&ok) : 0;
        if (ok && pid > 0)
            return pid;
    }
    return 0;
}

} // namespace

ProgramReplacement::ProgramReplacement(QString localPath) : m_localPath(std::move(localPath)) {
    const QFileInfo info(m_localPath);
    // Per process and unpredictable: two running launchers never write into the same part
    // file, and nobody can plant a link under the name beforehand.
    m_partName = QLatin1Char('.') + info.fileName() + QLatin1Char('.') +
                 QString::number(QCoreApplication::applicationPid()) + QLatin1Char('.') +
                 QString::number(QRandomGenerator::system()->generate64(), 36) + PartEnd;
    m_partPath = info.path() + QLatin1Char('/') + m_partName;
}

ProgramReplacement::~ProgramReplacement() {
    discard();
}

bool ProgramReplacement::blocked() const {
    const QFileInfo file(m_localPath);
    if (!file.exists())
        return false;
    // The owner's write bit stands for the read-only mark, which holds even for root.
    const bool readOnly = !file.permissions().testFlag(QFileDevice::WriteOwner);
    return readOnly || !file.isWritable() || !QFileInfo(file.path()).isWritable();
}

int ProgramReplacement::createPart() {
    discard();
    m_folder = openDriveDiskPath(QFileInfo(m_localPath).path(), DriveAccess::Folder).release();
    if (m_folder >= 0)
        m_part = ::openat(m_folder, QFile::encodeName(m_partName).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (m_part < 0) {
        const int error = errno;
        close();
        throw Exception(
            QStringLiteral("Cannot create file %1: %2").arg(m_partPath, systemError(error)));
    }
    return m_part;
}

void ProgramReplacement::commit() {
    if (m_part < 0)
        throw Exception(QStringLiteral("Cannot replace %1").arg(m_localPath));
    // The bytes reach the disk before the new name does: after a power cut the program is the
    // old one or the whole new one, never an empty file whose new version the settings file
    // (written through to the disk) already records, which no later upgrade would repair.
    if (::fchmod(m_part, 0755) != 0 || ::fsync(m_part) != 0)
        throw Exception(QStringLiteral("Cannot write %1: %2").arg(m_partPath, systemError(errno)));
    // Only the file written here goes in, never what took its name meanwhile.
    struct stat written {};
    struct stat named {};
    if (::fstat(m_part, &written) != 0 ||
        ::fstatat(m_folder, QFile::encodeName(m_partName).constData(), &named,
                  AT_SYMLINK_NOFOLLOW) != 0 ||
        written.st_dev != named.st_dev || written.st_ino != named.st_ino)
        throw Exception(
            QStringLiteral("Cannot replace %1: its part file was replaced").arg(m_localPath));
    // renameat replaces the old file atomically, and a link under the program's name is
    // replaced, not followed.
    if (::renameat(m_folder, QFile::encodeName(m_partName).constData(), m_folder,
                   QFile::encodeName(QFileInfo(m_localPath).fileName()).constData()) != 0)
        throw Exception(
            QStringLiteral("Cannot replace %1: %2").arg(m_localPath, systemError(errno)));
    close();
}

void ProgramReplacement::discard() {
    if (m_part >= 0)
        ::unlinkat(m_folder, QFile::encodeName(m_partName).constData(), 0);
    close();
}

void ProgramReplacement::close() {
    if (m_part >= 0)
        ::close(m_part);
    if (m_folder >= 0)
        ::close(m_folder);
    m_part = -1;
    m_folder = -1;
}

void ProgramReplacement::removeDeadParts(const QString& folder) {
    const QDir dir(folder);
    const QStringList parts =
        dir.entryList({QStringLiteral(".*") + PartEnd}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : parts) {
        const qint64 pid = writerOf(name);
        if (pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            QFile::remove(dir.filePath(name));
    }
}
