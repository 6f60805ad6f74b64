#include "upgrade/InstalledState.h"

#include "net/Sha256.h"
#include "platform/DriveMapping.h"
#include "platform/Exception.h"

#include <QFile>
#include <QSaveFile>
#include <QUrl>

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

std::optional<Identity> identityOf(const QString& diskPath) {
    struct stat info {};
    if (diskPath.isEmpty() || ::stat(QFile::encodeName(diskPath).constData(), &info) != 0 ||
        !S_ISREG(info.st_mode))
        return std::nullopt;
    return Identity{qint64(info.st_size),
                    qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                    quint64(info.st_ino)};
}

QString hashFile(const QString& diskPath) {
    QFile file(diskPath);
    if (!file.open(QIODevice::ReadOnly))
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
    QFile file(mapDrivePath(m_path));
    if (!file.open(QIODevice::ReadOnly) || file.readLine().trimmed() != Header)
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
    const QString disk = mapDrivePath(m_path);
    QSaveFile file(disk);
    QByteArray text = Header + '\n';
    for (auto it = m_records.cbegin(); it != m_records.cend(); ++it) {
        const Record& r = it.value();
        text += QUrl::toPercentEncoding(it.key()) + '\t' + r.version.toUtf8() + '\t' +
                QByteArray::number(r.size) + '\t' + QByteArray::number(r.modified) + '\t' +
                QByteArray::number(r.inode) + '\t' + r.sha256.toLatin1() + '\t' +
                r.highestSigned.toUtf8() + '\n';
    }
    if (disk.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(text) != text.size() ||
        !file.commit())
        throw Exception(QStringLiteral("Cannot write %1: %2").arg(m_path, file.errorString()));
    m_dirty = false;
}

const InstalledState::Record* InstalledState::current(const QString& target,
                                                      const QString& diskPath, bool hash) {
    const auto identity = identityOf(diskPath);
    if (!identity)
        return nullptr;
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
        record.sha256 = hashFile(diskPath);
        m_dirty = true;
    }
    return &record;
}

void InstalledState::installed(const QString& target, const QString& diskPath,
                               const QString& version, const QString& sha256, bool isSigned) {
    Record& record = m_records[target];
    const auto identity = identityOf(diskPath).value_or(Identity{});
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
