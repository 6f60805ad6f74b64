#include "data/ServiceFile.h"

#include <QDir>
#include <QFile>
#include <QStringList>

namespace {

// Service files in the order libpq reads them: the user's (PGSERVICEFILE, else
// ~/.pg_service.conf), then pg_service.conf in PGSYSCONFDIR, else in the folder libpq was
// built with (`pg_config --sysconfdir`). The name found is handed to libpq, so both must
// look in the same files.
QStringList serviceFiles() {
    QStringList files;
    const QString user = qEnvironmentVariable("PGSERVICEFILE");
    files << (user.isEmpty() ? QDir::homePath() + QStringLiteral("/.pg_service.conf") : user);
    const QString sysconf = qEnvironmentVariable("PGSYSCONFDIR");
    files << (sysconf.isEmpty() ? QStringLiteral(QV_PG_SYSCONFDIR) : sysconf) +
                 QStringLiteral("/pg_service.conf");
    return files;
}

// libpq's reading: blanks around a line do not count, a line that starts with "[" ends the
// section in force whatever follows it, and a section is the one named when its line starts
// with "[", the name and "]" (text after the "]" is ignored). A key is everything before the
// first "=", blanks included, and its first value in the section is the one libpq takes.
bool opens(const QString& line, const QString& serverName) {
    return line.size() > serverName.size() + 1 &&
           line.mid(1, serverName.size()).compare(serverName, Qt::CaseInsensitive) == 0 &&
           line.at(serverName.size() + 1) == QLatin1Char(']');
}

} // namespace

ServiceFile::Entry ServiceFile::parse(const QByteArray& text, const QString& serverName) {
    Entry entry;
    if (serverName.isEmpty())
        return entry;
    for (const QByteArray& raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!entry.name.isEmpty())
                break;
            if (opens(line, serverName))
                entry.name = line.mid(1, serverName.size());
        } else if (!entry.name.isEmpty()) {
            const qsizetype equals = line.indexOf(QLatin1Char('='));
            if (equals > 0 && !entry.keys.contains(line.left(equals)))
                entry.keys.insert(line.left(equals), line.mid(equals + 1));
        }
    }
    return entry;
}

ServiceFile::Entry ServiceFile::find(const QString& serverName) {
    if (serverName.isEmpty())
        return {};
    for (const QString& path : serviceFiles()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        Entry entry = parse(file.readAll(), serverName);
        if (!entry.name.isEmpty())
            return entry;
    }
    return {};
}
