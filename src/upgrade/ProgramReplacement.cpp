#include "upgrade/ProgramReplacement.h"

#include "platform/Exception.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Part files of this program whose launcher is gone (killed, or the machine went down) are
// never finished; they would stay in the client folder for good.
void removeOrphanedParts(const QFileInfo& program) {
    const QString prefix = QLatin1Char('.') + program.fileName() + QLatin1Char('.');
    const QDir folder(program.path());
    const QStringList parts = folder.entryList({prefix + QLatin1String("*.part")},
                                               QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : parts) {
        bool ok = false;
        const qint64 pid = name.mid(prefix.size(), name.size() - prefix.size() - 5).toLongLong(&ok);
        if (ok && pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            QFile::remove(folder.filePath(name));
    }
}

} // namespace

ProgramReplacement::ProgramReplacement(QString localPath) : m_localPath(std::move(localPath)) {
    const QFileInfo info(m_localPath);
    removeOrphanedParts(info);
    // Hidden, per process, so two running launchers never write into the same part file.
    m_partPath = info.path() + QLatin1String("/.") + info.fileName() + QLatin1Char('.') +
                 QString::number(QCoreApplication::applicationPid()) + QLatin1String(".part");
}

ProgramReplacement::~ProgramReplacement() {
    if (!m_committed)
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

void ProgramReplacement::commit() {
    QFile part(m_partPath);
    const auto executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                            QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                            QFileDevice::ReadOther | QFileDevice::ExeOther;
    if (!part.setPermissions(executable))
        throw Exception(QStringLiteral("Cannot set permissions of %1").arg(m_partPath));
    // The bytes reach the disk before the new name does: after a power cut the program is the
    // old one or the whole new one, never an empty file whose new version the settings file
    // (written through to the disk) already records, which no later upgrade would repair.
    const int fd = ::open(QFile::encodeName(m_partPath).constData(), O_RDONLY | O_CLOEXEC);
    const int error = fd < 0 || ::fsync(fd) != 0 ? errno : 0;
    if (fd >= 0)
        ::close(fd);
    if (error != 0)
        throw Exception(QStringLiteral("Cannot write %1: %2")
                            .arg(m_partPath, QString::fromLocal8Bit(std::strerror(error))));
    // rename(2) replaces the old file atomically; QFile::rename refuses an existing target.
    if (std::rename(QFile::encodeName(m_partPath).constData(),
                    QFile::encodeName(m_localPath).constData()) != 0)
        throw Exception(QStringLiteral("Cannot replace %1: %2")
                            .arg(m_localPath, QString::fromLocal8Bit(std::strerror(errno))));
    m_committed = true;
}

void ProgramReplacement::discard() {
    QFile::remove(m_partPath);
}
