#include "data/ConnectOptions.h"

#include <QRegularExpression>

namespace {

// Per host: a dead first host of a multi-host service costs this much, once (HostOrder).
constexpr int ConnectTimeoutSeconds = 3;
// A host that vanished (no reset: a cut cable, a dead machine) fails a statement in about
// 5 s instead of the kernel's 15 minutes: unacknowledged data gives up after the user
// time-out, a reply that never comes after the keepalives' 3 + 2 x 1 s.
constexpr int UserTimeoutMs = 5000;
constexpr int KeepalivesIdleSeconds = 3;
constexpr int KeepalivesIntervalSeconds = 1;
constexpr int KeepalivesCount = 2;

// The database of a host[:port]/dbname address. The login dialog upper-cases what is typed,
// so the name is folded to lower case as the server folds an unquoted name; a name in double
// quotes keeps its case ("" stands for one quote).
QString databaseOfAddress(const QString& name) {
    if (name.size() >= 2 && name.startsWith(QLatin1Char('"')) && name.endsWith(QLatin1Char('"')))
        return name.mid(1, name.size() - 2).replace(QStringLiteral("\"\""), QStringLiteral("\""));
    QString folded = name;
    for (QChar& c : folded)
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() - 'A' + 'a');
    return folded;
}

QString option(const char* key, const QString& value) {
    return QLatin1String(key) + QLatin1Char('=') + quotedConnValue(value);
}

QStringList serverOptions(const ConnectRequest& request) {
    if (!request.service.name.isEmpty())
        return QStringList{option("service", request.service.name)} +
               request.hostOrder.options(request.service);
    if (request.serverName.isEmpty())
        return {};
    static const QRegularExpression address(
        QStringLiteral("^([^:/\\s]+)(?::(\\d{1,5}))?(?:/([^/\\s]+))?$"));
    const QRegularExpressionMatch m = address.match(request.serverName);
    // Neither a known service nor an address: let libpq say so.
    if (!m.hasMatch())
        return {option("service", request.serverName)};
    QStringList options{option("host", m.captured(1))};
    if (!m.captured(2).isEmpty())
        options << option("port", m.captured(2));
    if (!m.captured(3).isEmpty())
        options << option("dbname", databaseOfAddress(m.captured(3)));
    return options;
}

} // namespace

QString quotedConnValue(QString value) {
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

QStringList connectOptions(const ConnectRequest& request) {
    QStringList options{
        QStringLiteral("connect_timeout=%1").arg(ConnectTimeoutSeconds),
        QStringLiteral("keepalives=1"),
        QStringLiteral("keepalives_idle=%1").arg(KeepalivesIdleSeconds),
        QStringLiteral("keepalives_interval=%1").arg(KeepalivesIntervalSeconds),
        QStringLiteral("keepalives_count=%1").arg(KeepalivesCount),
        QStringLiteral("tcp_user_timeout=%1").arg(UserTimeoutMs),
    };
    options << serverOptions(request);
    // The digests that pin every download are only as trustworthy as this link, so the server
    // must prove who it is unless the administrator said otherwise (the service entry, or
    // PGSSLMODE). libpq ignores it on a unix socket.
    if (!request.service.keys.contains(QStringLiteral("sslmode")) && !request.sslModeInEnvironment)
        options << QStringLiteral("sslmode=verify-full");
    return options;
}
