#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// libpq's connection service files, read as libpq reads them, so that what the launcher
// decides about a service (its name, whether it says how to use TLS, its hosts) matches what
// libpq then does with it.
class ServiceFile {
public:
    struct Entry {
        QString name; // as the file spells it; empty: no such service
        QMap<QString, QString> keys;
    };
    // The section that `serverName` names (case-blind) in the first service file that holds
    // it: the user's (PGSERVICEFILE, else ~/.pg_service.conf), then pg_service.conf in
    // PGSYSCONFDIR, else in libpq's own folder. libpq reads no further file either.
    static Entry find(const QString& serverName);
    // The section that `serverName` names in the text of one service file.
    static Entry parse(const QByteArray& text, const QString& serverName);
};
