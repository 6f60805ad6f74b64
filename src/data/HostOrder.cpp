#include "data/HostOrder.h"

#include "data/ConnectOptions.h"

namespace {

QStringList list(const ServiceFile::Entry& service, const char* key) {
    const QString value = service.keys.value(QLatin1String(key));
    return value.isEmpty() ? QStringList() : value.split(QLatin1Char(','));
}

qsizetype hostCount(const ServiceFile::Entry& service) {
    return qMax(list(service, "host").size(), list(service, "hostaddr").size());
}

// What the order is keyed on: everything that says which server a host of the list is.
QString signature(const ServiceFile::Entry& service) {
    QStringList parts{service.name};
    for (const char* key : {"host", "hostaddr", "port", "dbname"})
        parts << service.keys.value(QLatin1String(key));
    return parts.join(QLatin1Char('\n'));
}

} // namespace

HostOrder HostOrder::learn(const ServiceFile::Entry& service, const QString& host,
                           const QString& port) {
    const QStringList hosts = list(service, "host");
    const QStringList addresses = list(service, "hostaddr");
    const QStringList ports = list(service, "port");
    const qsizetype count = hostCount(service);
    HostOrder order;
    if (count < 2)
        return order;
    for (qsizetype i = 0; i < count; ++i) {
        const QString name = hosts.value(i).isEmpty() ? addresses.value(i) : hosts.value(i);
        // One port, or none, is every host's.
        const QString itsPort = ports.size() > 1 ? ports.value(i) : ports.value(0);
        if (name == host && (itsPort == port || itsPort.isEmpty())) {
            order.m_learnedOn = signature(service);
            order.m_first = i;
            return order;
        }
    }
    return order;
}

bool HostOrder::appliesTo(const ServiceFile::Entry& service) const {
    return known() && m_learnedOn == signature(service);
}

QStringList HostOrder::options(const ServiceFile::Entry& service) const {
    if (!appliesTo(service) || m_first == 0)
        return {};
    const qsizetype count = hostCount(service);
    QStringList options;
    for (const char* key : {"host", "hostaddr", "port"}) {
        QStringList entries = list(service, key);
        if (entries.size() != count)
            continue; // absent, or one port for every host
        entries.prepend(entries.takeAt(m_first));
        options << QLatin1String(key) + QLatin1Char('=') +
                       quotedConnValue(entries.join(QLatin1Char(',')));
    }
    return options;
}
