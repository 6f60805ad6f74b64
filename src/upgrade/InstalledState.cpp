#include "upgrade/InstalledState.h"

#include "net/Sha256.h"
#include "platform/DriveMapping.h"
#include "platform/Exception.h"

#include <QFile>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray Header = QByteArrayLiteral("quorvane-installed-1");
constexpr int Fields = 7;
constexpr qint64 HashBlock = 1 << 20;

struct Identity {
    qint64 size = -1;
    qint64 modified = 0;
    quint64 inode = 0;
};

// A file in the drive folder as the drive mapping's checked handle opens it: one that is a
// link, another account's or no plain file is none. Identity and digest come from that one
// descriptor, so they describe the same bytes.
struct OpenFile {
    DriveHandle handle;
    Identity identity;
};

std::optional<OpenFile> openFile(const QString& windowsPath) {
    OpenFile file{openDrivePath(windowsPath, DriveAccess::File), {}};
    struct stat info {};
    if (!file.handle.isOpen() || ::fstat(file.handle.fd(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    file.identity = Identity{qint64(info.st_size),
                             qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                             quint64(info.st_ino)};
    return file;
}

QString hashFile(const DriveHandle& handle) {
    if (::lseek(handle.fd(), 0, SEEK_SET) != 0)
        return QString();
    QFile file;
    if (!file.open(handle.fd(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return QString();
    Sha256 hash;
    while (!file.atEnd()) {
        const QByteArray block = file.read(HashBlock);
        if (block.isEmpty() && file.error() != QFileDevice::NoError)
            return QString();
        hash.add(block);
    }
    return QString::fromLatin1(hash.hexDigest());
}

std::optional<double> versionNumber(const QString& text) {
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

} // namespace

InstalledState::InstalledState(QString windowsPath) : m_path(std::move(windowsPath)) {}

void InstalledState::load() {
    m_records.clear();
    m_dirty = false;
    const auto state = openFile(m_path);
    QFile file;
    if (!state ||
        !file.open(state->handle.fd(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle) ||
        file.readLine().trimmed() != Header)
        return;
    // One line per target: key (percent-encoded), version, size, modified, inode, digest,
    // highest signed version; a line of any other shape is dropped.
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        // Split as written: empty fields at the end count.
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != Fields)
            continue;
        Record record;
        record.version = QString::fromUtf8(fields.at(1));
        record.size = fields.at(2).toLongLong();
        record.modified = fields.at(3).toLongLong();
        record.inode = fields.at(4).toULongLong();
        record.sha256 = QString::fromLatin1(fields.at(5));
        record.highestSigned = QString::fromUtf8(fields.at(6));
        m_records.insert(QUrl::fromPercentEncoding(fields.at(0)), record);
    }
}

void InstalledState::save() {
    if (!m_dirty)
        return;
    QByteArray text = Header + '\n';
    for (auto it = m_records.cbegin(); it != m_records.cend(); ++it) {
        const Record& r = it.value();
        text += QUrl::toPercentEncoding(it.key()) + '\t' + r.version.toUtf8() + '\t' +
                QByteArray::number(r.size) + '\t' + QByteArray::number(r.modified) + '\t' +
                QByteArray::number(r.inode) + '\t' + r.sha256.toLatin1() + '\t' +
                r.highestSigned.toUtf8() + '\n';
    }
    if (!replaceDriveFile(m_path, text, 0600))
        throw Exception(QStringLiteral("Cannot write %1: %2")
                            .arg(m_path, QString::fromLocal8Bit(::strerror(errno))));
    m_dirty = false;
}

const InstalledState::Record* InstalledState::current(const QString& target,
                                                      const QString& windowsPath, bool hash) {
    const auto file = openFile(windowsPath);
    if (!file)
        return nullptr;
    const Identity* identity = &file->identity;
    Record& record = m_records[target];
    if (record.size != identity->size || record.modified != identity->modified ||
        record.inode != identity->inode) {
        // Not the file this launcher wrote: whatever it is, it is no known version.
        record.version.clear();
        record.sha256.clear();
        record.size = identity->size;
        record.modified = identity->modified;
        record.inode = identity->inode;
        m_dirty = true;
    }
    if (hash && record.sha256.isEmpty()) {
        record.sha256 = hashFile(file->handle);
        m_dirty = true;
    }
    return &record;
}

void InstalledState::installed(const QString& target, const QString& windowsPath,
                               const QString& version, const QString& sha256, bool isSigned) {
    Record& record = m_records[target];
    const auto file = openFile(windowsPath);
    const Identity identity = file ? file->identity : Identity{};
    record.size = identity.size;
    record.modified = identity.modified;
    record.inode = identity.inode;
    record.version = version;
    record.sha256 = sha256;
    const auto before = versionNumber(record.highestSigned);
    const auto now = versionNumber(version);
    if (isSigned && now && (!before || *now > *before))
        record.highestSigned = version;
    m_dirty = true;
}

std::optional<double> InstalledState::highestSigned(const QString& target) const {
    const auto found = m_records.constFind(target);
    return found == m_records.cend() ? std::nullopt : versionNumber(found->highestSigned);
}
