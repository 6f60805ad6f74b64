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

bool isSection(const QString& line) {
    return line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'));
}

} // namespace

ServiceFile::Entry ServiceFile::find(const QString& serverName) {
    Entry entry;
    if (serverName.isEmpty())
        return entry;
    for (const QString& path : serviceFiles()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (isSection(line)) {
                if (!entry.name.isEmpty())
                    return entry;
                const QString section = line.mid(1, line.size() - 2);
                if (section.compare(serverName, Qt::CaseInsensitive) == 0)
                    entry.name = section;
            } else if (!entry.name.isEmpty() && !line.startsWith(QLatin1Char('#'))) {
                const qsizetype equals = line.indexOf(QLatin1Char('='));
                if (equals > 0)
                    entry.keys.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
            }
        }
        if (!entry.name.isEmpty())
            return entry;
    }
    return entry;
}
