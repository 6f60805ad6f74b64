#include "upgrade/UpgradeReport.h"

#include "data/Connection.h"
#include "platform/Exception.h"

#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <limits>

namespace {

const QString PlainSignature =
    QStringLiteral("quorvane.report_upgrade(text,text,text[],text[],text[],text[],text[],text[])");
const QString FetchSignature =
    QStringLiteral("quorvane.report_upgrade(text,text,text[],text[],text[],text[],text[],text[],"
                   "text[],bigint[],integer[],integer[])");
const QString Stopped = QStringLiteral("Installation stoped!");

// The widths of the report table's columns: a longer value would fail the whole call.
constexpr qsizetype HostWidth = 255;
constexpr qsizetype MachineWidth = 64;
constexpr qsizetype ExeWidth = 255;
constexpr qsizetype VersionWidth = 20;
constexpr qsizetype MessageWidth = 1000;
// The server keeps at most this many retries per entry.
constexpr int MaxRetries = 10;

// A figure the server takes; negative (none) is sent as null.
QString figure(qint64 value) {
    return value < 0 ? QString() : QString::number(value);
}

// A text array literal; a null text is NULL. Each element is quoted, so no value can end it.
QString textArray(const QStringList& values) {
    QStringList items;
    items.reserve(values.size());
    for (const QString& value : values) {
        if (value.isNull()) {
            items << QStringLiteral("NULL");
            continue;
        }
        QString quoted = value;
        quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
        quoted.replace(QLatin1Char('"'), QStringLiteral("\\\""));
        items << QLatin1Char('"') + quoted + QLatin1Char('"');
    }
    return QLatin1Char('{') + items.join(QLatin1Char(',')) + QLatin1Char('}');
}

// Null stays null, so the server can tell "none" from an empty text. Control characters
// become blanks: the server refuses a NUL (and with it the whole report), and escapes would
// reach the administrator's terminal; those at the end (a reply's line end) go. A cut never
// splits a letter that takes two UTF-16 units.
QString bounded(const QString& text, qsizetype width) {
    if (text.isNull())
        return QString();
    QString clean = text;
    while (!clean.isEmpty() && clean.back().category() == QChar::Other_Control)
        clean.chop(1);
    for (QChar& c : clean)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    if (clean.size() > width)
        clean.truncate(clean.at(width - 1).isHighSurrogate() ? width - 1 : width);
    return clean;
}

// A digest the table would refuse (none was computed) is sent as none, so it cannot fail the
// whole report.
QString digestOrNull(const QString& digest) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    return hex.match(digest).hasMatch() ? digest : QString();
}

QString outcomeText(UpgradeReport::Outcome outcome) {
    switch (outcome) {
    case UpgradeReport::Outcome::UpToDate:
        return QStringLiteral("up to date");
    case UpgradeReport::Outcome::Fetched:
        return QStringLiteral("fetched");
    case UpgradeReport::Outcome::Failed:
        return QStringLiteral("failed");
    case UpgradeReport::Outcome::DigestMismatch:
        return QStringLiteral("digest mismatch");
    case UpgradeReport::Outcome::SignatureRefused:
        return QStringLiteral("signature refused");
    case UpgradeReport::Outcome::RollbackRefused:
        return QStringLiteral("rollback refused");
    }
    return QString();
}

} // namespace

UpgradeReport::UpgradeReport(Connection* database, QObject* parent)
    : QObject(parent), m_database(database) {
    m_soon.setSingleShot(true);
    m_soon.setInterval(SendDelayMs);
    connect(&m_soon, &QTimer::timeout, this, &UpgradeReport::send);
    // A new session may reach another server, or one brought up to date meanwhile.
    connect(database, &Connection::afterConnect, this, [this] { m_checked = false; });
}

void UpgradeReport::begin() {
    // A report still waiting to go rides along with this check's, so the run cannot change it
    // half-way.
    if (m_soon.isActive()) {
        m_soon.stop();
        stopped(Stopped);
        m_retry = withRetry();
        m_retryOwner = m_owner;
    }
    m_entries.clear();
    m_owner = identity();
}

QString UpgradeReport::identity() const {
    return m_database->param(QStringLiteral("SERVER NAME")) + QLatin1Char('\n') +
           Connection::serverLogin(m_database->param(QStringLiteral("USER NAME")));
}

QList<UpgradeReport::Entry> UpgradeReport::withRetry() const {
    QList<Entry> all = m_entries;
    if (m_retryOwner != m_owner)
        return all;
    for (const Entry& old : m_retry) {
        bool superseded = false;
        for (const Entry& entry : m_entries)
            superseded = superseded || entry.exe.compare(old.exe, Qt::CaseInsensitive) == 0;
        if (!superseded)
            all << old;
    }
    return all;
}

UpgradeReport::Entry* UpgradeReport::find(const QString& exe) {
    for (Entry& entry : m_entries)
        if (entry.exe.compare(exe, Qt::CaseInsensitive) == 0)
            return &entry;
    return nullptr;
}

void UpgradeReport::listed(const QString& exe, const QString& installedVersion) {
    // A program in several companies comes once; its first row counts, as for the fetch.
    if (find(exe))
        return;
    Entry entry;
    entry.exe = exe;
    entry.previousVersion = installedVersion;
    entry.installedVersion = installedVersion;
    m_entries << entry;
}

void UpgradeReport::outdated(const QString& exe) {
    if (Entry* entry = find(exe))
        entry->pending = true;
}

void UpgradeReport::fetched(const QString& exe, const QString& version, const QString& sha256,
                            qint64 bytes, qint64 millis, const QString& message) {
    if (Entry* entry = find(exe)) {
        entry->pending = false;
        entry->outcome = Outcome::Fetched;
        entry->installedVersion = version;
        entry->sha256 = sha256;
        entry->bytes = bytes;
        entry->millis = millis;
        entry->message = message;
    }
}

void UpgradeReport::failed(const QString& exe, const QString& message) {
    Entry* entry = find(exe);
    if (!entry || entry->outcome == Outcome::DigestMismatch ||
        entry->outcome == Outcome::SignatureRefused || entry->outcome == Outcome::RollbackRefused)
        return;
    entry->pending = false;
    entry->outcome = Outcome::Failed;
    entry->message = message;
}

void UpgradeReport::refused(const QString& exe, const QString& receivedSha256) {
    if (Entry* entry = find(exe)) {
        entry->pending = false;
        entry->outcome = Outcome::DigestMismatch;
        entry->receivedSha256 = receivedSha256;
    }
}

void UpgradeReport::refusedRelease(const QString& exe, bool rollback, const QString& message) {
    if (Entry* entry = find(exe)) {
        entry->pending = false;
        entry->outcome = rollback ? Outcome::RollbackRefused : Outcome::SignatureRefused;
        entry->message = message;
    }
}

void UpgradeReport::stopped(const QString& message) {
    for (Entry& entry : m_entries)
        if (entry.pending)
            failed(entry.exe, message);
}

void UpgradeReport::sendSoon() {
    m_soon.start();
}

void UpgradeReport::send() {
    m_soon.stop();
    // Programs still listed for fetching were never reached: no run took place.
    stopped(Stopped);
    const QList<Entry> all = withRetry();
    if (all.isEmpty())
        return;
    // Neither open a session (a closed one: Login; or one the server dropped, whose reopen
    // must set the company again where the user sees its error) nor join a transaction the
    // user holds (the toolbar dialog): the next report of this user takes these entries along.
    if (!m_database->sessionReady() || m_database->inTransaction() || identity() != m_owner) {
        m_retry = all;
        m_retryOwner = m_owner;
        return;
    }
    m_retry.clear();
    try {
        if (procedure() != Procedure::None)
            call(all);
    } catch (const Exception&) {
        // Told to nobody: the next report carries this one's entries once more; those that
        // were on their retry already are dropped.
        m_retry = m_entries;
        for (Entry& entry : m_retry)
            entry.retries = std::min(entry.retries + 1, MaxRetries);
        m_retryOwner = m_owner;
    }
}

UpgradeReport::Procedure UpgradeReport::procedure() {
    if (!m_checked) {
        const Connection::Result found = m_database->exec(
            QStringLiteral(
                "select coalesce(has_function_privilege(to_regprocedure($1), 'execute'), false), "
                "coalesce(has_function_privilege(to_regprocedure($2), 'execute'), false)"),
            {FetchSignature, PlainSignature});
        const QVector<QVariant> row = found.rows.value(0);
        m_procedure = row.value(0).toBool()   ? Procedure::WithFetch
                      : row.value(1).toBool() ? Procedure::Plain
                                              : Procedure::None;
        m_checked = true;
    }
    return m_procedure;
}

void UpgradeReport::call(const QList<Entry>& entries) {
    QStringList exes, versions, digests, outcomes, messages, received, previous, bytes, millis,
        retries;
    for (const Entry& entry : entries) {
        exes << bounded(entry.exe, ExeWidth);
        versions << bounded(entry.installedVersion, VersionWidth);
        digests << digestOrNull(entry.sha256);
        outcomes << outcomeText(entry.outcome);
        messages << bounded(entry.message, MessageWidth);
        received << digestOrNull(entry.receivedSha256);
        previous << bounded(entry.previousVersion, VersionWidth);
        bytes << figure(entry.bytes);
        millis << figure(std::min<qint64>(entry.millis, std::numeric_limits<qint32>::max()));
        retries << QString::number(entry.retries);
    }
    QVariantList args = {bounded(hostName(), HostWidth),
                         bounded(machineId(), MachineWidth),
                         textArray(exes),
                         textArray(versions),
                         textArray(digests),
                         textArray(outcomes),
                         textArray(messages),
                         textArray(received)};
    QString sql = QStringLiteral("call quorvane.report_upgrade($1, $2, $3::text[], $4::text[], "
                                 "$5::text[], $6::text[], $7::text[], $8::text[]");
    if (m_procedure == Procedure::WithFetch) {
        sql += QStringLiteral(", $9::text[], $10::bigint[], $11::integer[], $12::integer[]");
        args << textArray(previous) << textArray(bytes) << textArray(millis) << textArray(retries);
    }
    m_database->exec(sql + QLatin1Char(')'), args);
}

QString UpgradeReport::hostName() {
    return QSysInfo::machineHostName();
}

QString UpgradeReport::machineId(const QStringList& files) {
    for (const QString& path : files) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            const QString id = QString::fromLatin1(file.readLine(256)).trimmed();
            if (!id.isEmpty())
                return id;
        }
    }
    return QString();
}
