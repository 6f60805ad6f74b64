#pragma once

#include <QString>
#include <QStringList>

struct pg_conn;

// A value for a libpq connection string, quoted so that blanks, quotes and backslashes stay
// part of it.
QString quotedConnValue(QString value);

// The hosts of a server that names several (a primary and its standby), with the host that
// answered last put first: after a failover, every reconnect would otherwise wait on the dead
// host before it tries the one that works.
class HostOrder {
public:
    // Notes which of the server's hosts the open connection `conn` reached.
    void remember(const QString& server, pg_conn* conn);
    // Connection options that give the server's hosts (and their addresses and ports) in the
    // order to try, overriding those of its service; none while nothing is known of it.
    QStringList options(const QString& server) const;

private:
    QString m_server;
    QStringList m_options;
};
