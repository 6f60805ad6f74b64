#pragma once

#include "data/ServiceFile.h"

#include <QString>
#include <QStringList>

// Which host of a service that names several (a primary and its standby) answered last, so
// it is tried first: after a failover, every reconnect would otherwise wait on the dead host
// before it tries the one that works. It holds only for the host list it was learned on: once
// the administrator changes the service's hosts, ports or database, the file decides again.
class HostOrder {
public:
    HostOrder() = default;
    // The order after a connect to `service` reached `host` (as libpq names it: its name, or
    // its address when it has none) at `port`; nothing known when that is none of its hosts.
    static HostOrder learn(const ServiceFile::Entry& service, const QString& host,
                           const QString& port);
    bool known() const { return !m_learnedOn.isEmpty(); }
    // Whether it was learned on this very host list.
    bool appliesTo(const ServiceFile::Entry& service) const;
    // The service's own host, address and port lists with the host that answered put first,
    // as "key=value" connection options; none where the order does not apply or would not
    // change anything.
    QStringList options(const ServiceFile::Entry& service) const;

private:
    QString m_learnedOn;
    qsizetype m_first = 0; // the answering host's place in the file's lists
};
