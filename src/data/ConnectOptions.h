#pragma once

#include "data/HostOrder.h"
#include "data/ServiceFile.h"

#include <QString>
#include <QStringList>

// A value for a libpq connection string, quoted so that blanks, quotes and backslashes stay
// part of it.
QString quotedConnValue(QString value);

// Everything a connect depends on besides the login and the password.
struct ConnectRequest {
    QString serverName;                // the "SERVER NAME" parameter
    ServiceFile::Entry service;        // what the service files say of it; empty name: no service
    bool sslModeInEnvironment = false; // PGSSLMODE is set
    HostOrder hostOrder;
};

// The libpq options ("key=value", values quoted) for a connect: the time bounds, the server
// (a service, or host[:port][/dbname]), verified TLS unless the service or the environment
// says how, and the host that answered last put first while its service is unchanged.
QStringList connectOptions(const ConnectRequest& request);
