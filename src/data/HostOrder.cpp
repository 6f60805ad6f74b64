#include "data/HostOrder.h"

#include <libpq-fe.h>

#include <QHash>

QString quotedConnValue(QString value) {
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

namespace {

// What the connection was opened with, after the service file: each value as libpq holds it.
QHash<QString, QString> connectionValues(PGconn* conn) {
    QHash<QString, QString> values;
    PQconninfoOption* options = PQconninfo(conn);
    if (!options)
        return values;
    for (PQconninfoOption* o = options; o->keyword; ++o)
        if (o->val)
            values.insert(QString::fromUtf8(o->keyword), QString::fromUtf8(o->val));
    PQconninfoFree(options);
    return values;
}

QStringList list(const QString& value) {
    return value.isEmpty() ? QStringList() : value.split(QLatin1Char(','));
}

} // namespace

void HostOrder::remember(const QString& server, PGconn* conn) {
    if (server != m_server) {
        m_server = server;
        m_options.clear();
    }
    if (!conn)
        return;
    const QHash<QString, QString> values = connectionValues(conn);
    const QStringList hosts = list(values.value(QStringLiteral("host")));
    const QStringList addresses = list(values.value(QStringLiteral("hostaddr")));
    const QStringList ports = list(values.value(QStringLiteral("port")));
    const qsizetype count = qMax(hosts.size(), addresses.size());
    if (count < 2) {
        m_options.clear();
        return;
    }
    // libpq names the host it reached by its name, or by its address when it has no name.
    const QString host = QString::fromUtf8(PQhost(conn));
    const QString port = QString::fromUtf8(PQport(conn));
    qsizetype reached = -1;
    for (qsizetype i = 0; i < count && reached < 0; ++i) {
        const QString name = hosts.value(i).isEmpty() ? addresses.value(i) : hosts.value(i);
        const QString itsPort = ports.size() > 1 ? ports.value(i) : port;
        if (name == host && (itsPort == port || itsPort.isEmpty()))
            reached = i;
    }
    // The first of the order it was opened in (or not found): that order stays, so the host
    // that answered keeps its place for every later reconnect, not just the next one.
    if (reached <= 0)
        return;
    m_options.clear();
    const auto reordered = [reached](QStringList entries) {
        entries.prepend(entries.takeAt(reached));
        return entries.join(QLatin1Char(','));
    };
    if (hosts.size() == count)
        m_options << QStringLiteral("host=") + quotedConnValue(reordered(hosts));
    if (addresses.size() == count)
        m_options << QStringLiteral("hostaddr=") + quotedConnValue(reordered(addresses));
    if (ports.size() == count)
        m_options << QStringLiteral("port=") + quotedConnValue(reordered(ports));
}

QStringList HostOrder::options(const QString& server) const {
    return server == m_server ? m_options : QStringList();
}
