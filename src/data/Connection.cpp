#include "data/Connection.h"

#include "data/DatabaseError.h"
#include "data/Dataset.h"
#include "data/HostOrder.h"
#include "data/ServiceFile.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlDriver>
#include <QSqlError>
#include <QUuid>

#include <libpq-fe.h>

#include <memory>
#include <poll.h>

namespace {

const QStringList FixedParams = {
    QStringLiteral("SERVER NAME="),          QStringLiteral("USER NAME="),
    QStringLiteral("NET PROTOCOL=TCP/IP"),   QStringLiteral("OPEN MODE=READ/WRITE"),
    QStringLiteral("SCHEMA CACHE SIZE=8"),   QStringLiteral("LANGDRIVER=ACCSWFIN"),
    QStringLiteral("SQLQRYMODE=SERVER"),     QStringLiteral("SQLPASSTHRU MODE=SHARED AUTOCOMMIT"),
    QStringLiteral("SCHEMA CACHE TIME=-1"),  QStringLiteral("MAX ROWS=-1"),
    QStringLiteral("BATCH COUNT=200"),       QStringLiteral("ENABLE SCHEMA CACHE=FALSE"),
    QStringLiteral("SCHEMA CACHE DIR="),     QStringLiteral("ENABLE BCD=FALSE"),
    QStringLiteral("ENABLE INTEGERS=FALSE"), QStringLiteral("LIST SYNONYMS=NONE"),
    QStringLiteral("ROWSET SIZE=20"),        QStringLiteral("BLOBS TO CACHE=64"),
    QStringLiteral("BLOB SIZE=32"),          QStringLiteral("PASSWORD="),
};

// Per host: a dead first host of a multi-host service costs this much, once (HostOrder).
constexpr int ConnectTimeoutSeconds = 3;
// A host that vanished (no reset: a cut cable, a dead machine) fails a statement in about
// 5 s instead of the kernel's 15 minutes: unacknowledged data gives up after the user
// time-out, a reply that never comes after the keepalives' 3 + 2 x 1 s.
constexpr int UserTimeoutMs = 5000;
constexpr int KeepalivesIdleSeconds = 3;
constexpr int KeepalivesIntervalSeconds = 1;
constexpr int KeepalivesCount = 2;

// Type numbers of the server's built-in types that do not arrive as text.
enum : Oid {
    BoolOid = 16,
    ByteaOid = 17,
    Int8Oid = 20,
    Int2Oid = 21,
    Int4Oid = 23,
    OidOid = 26,
    Float4Oid = 700,
    Float8Oid = 701,
    DateOid = 1082,
    NumericOid = 1700,
};

QString paramName(const QString& entry) {
    return entry.section(QLatin1Char('='), 0, 0);
}

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

PGconn* pgHandle(const QSqlDatabase& db) {
    if (!db.isValid() || !db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    // The driver registers the handle under the struct's own name.
    if (!handle.isValid() ||
        (qstrcmp(handle.typeName(), "PGconn*") != 0 && qstrcmp(handle.typeName(), "pg_conn*") != 0))
        return nullptr;
    return *static_cast<PGconn* const*>(handle.constData());
}

QVariant fromText(Oid type, const char* text, int length) {
    const QByteArray raw(text, length);
    switch (type) {
    case BoolOid:
        return raw == "t";
    case ByteaOid: {
        size_t size = 0;
        unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
        if (!bytes)
            return QByteArray();
        QByteArray data(reinterpret_cast<const char*>(bytes), qsizetype(size));
        PQfreemem(bytes);
        return data;
    }
    case Int8Oid:
    case Int2Oid:
    case Int4Oid:
    case OidOid:
    case Float4Oid:
    case Float8Oid:
    case NumericOid:
        // Numbers come as floats.
        return raw.toDouble();
    case DateOid:
        return QDate::fromString(QString::fromLatin1(raw), Qt::ISODate);
    default:
        return QString::fromUtf8(raw);
    }
}

QByteArray toText(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return QByteArray::number(value.toDouble(), 'g', 17);
    case QMetaType::QDate:
        return value.toDate().toString(Qt::ISODate).toLatin1();
    case QMetaType::QDateTime:
        return value.toDateTime().toString(Qt::ISODateWithMs).toLatin1();
    case QMetaType::Bool:
        return value.toBool() ? "t" : "f";
    default:
        return value.toString().toUtf8();
    }
}

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};

} // namespace

Connection::Connection(const QString& alias, QObject* parent)
    : QObject(parent), m_alias(alias), m_connectionName(newConnectionName()),
      m_params(FixedParams) {}

Connection::~Connection() {
    for (Dataset* dataset : std::as_const(m_datasets))
        dataset->m_connection = nullptr;
    m_datasets.clear();
    if (QSqlDatabase::contains(m_connectionName)) {
        QSqlDatabase::database(m_connectionName, false).close();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
}

QString Connection::param(const QString& name) const {
    for (const QString& entry : m_params)
        if (paramName(entry).compare(name, Qt::CaseInsensitive) == 0)
            return entry.mid(entry.indexOf(QLatin1Char('=')) + 1);
    return {};
}

void Connection::setParam(const QString& name, const QString& value) {
    for (QString& entry : m_params) {
        if (paramName(entry).compare(name, Qt::CaseInsensitive) == 0) {
            entry = paramName(entry) + QLatin1Char('=') + value;
            return;
        }
    }
    m_params << name + QLatin1Char('=') + value;
}

QString Connection::findService(const QString& serverName) {
    return ServiceFile::find(serverName).name;
}

QString Connection::serverLogin(const QString& login) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z_][A-Za-z0-9_$]*$"));
    return plain.match(login).hasMatch() ? login.toLower() : login;
}

void Connection::open() {
    if (connected() && !m_lost)
        return;
    // The session the server dropped is gone; the rows the queries fetched stay.
    if (connected())
        QSqlDatabase::database(m_connectionName, false).close();
    openSession(m_connectionName);
    m_inTransaction = false;
    m_lost = false;
    m_lostMessage.clear();
    m_reopened = false;
    emit afterConnect();
}

void Connection::reconnect() {
    const QString fresh = newConnectionName();
    try {
        openSession(fresh);
    } catch (...) {
        QSqlDatabase::removeDatabase(fresh);
        throw;
    }
    close();
    QSqlDatabase::removeDatabase(m_connectionName);
    m_connectionName = fresh;
    m_reopened = false;
    emit afterConnect();
}

QString Connection::newConnectionName() const {
    return m_alias + QLatin1Char('-') + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

void Connection::openSession(const QString& connectionName) {
    QSqlDatabase db = QSqlDatabase::contains(connectionName)
                          ? QSqlDatabase::database(connectionName, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    if (!db.isValid() || !db.driver() || !db.isDriverAvailable(QStringLiteral("QPSQL")))
        throw EDatabaseError(QStringLiteral("The database driver QPSQL is not available"));

    QStringList options{
        QStringLiteral("connect_timeout=%1").arg(ConnectTimeoutSeconds),
        QStringLiteral("keepalives=1"),
        QStringLiteral("keepalives_idle=%1").arg(KeepalivesIdleSeconds),
        QStringLiteral("keepalives_interval=%1").arg(KeepalivesIntervalSeconds),
        QStringLiteral("keepalives_count=%1").arg(KeepalivesCount),
        QStringLiteral("tcp_user_timeout=%1").arg(UserTimeoutMs),
    };
    const QString server = param(QStringLiteral("SERVER NAME"));
    const ServiceFile::Entry service = ServiceFile::find(server);
    db.setHostName(QString());
    db.setPort(-1);
    db.setDatabaseName(QString());
    if (!service.name.isEmpty()) {
        options << QStringLiteral("service=") + quotedConnValue(service.name);
    } else if (!server.isEmpty()) {
        static const QRegularExpression address(
            QStringLiteral("^([^:/\\s]+)(?::(\\d{1,5}))?(?:/([^/\\s]+))?$"));
        const QRegularExpressionMatch m = address.match(server);
        if (m.hasMatch()) {
            db.setHostName(m.captured(1));
            if (m.hasCaptured(2) && !m.captured(2).isEmpty())
                db.setPort(m.captured(2).toInt());
            if (m.hasCaptured(3))
                db.setDatabaseName(databaseOfAddress(m.captured(3)));
        } else {
            // Neither a known service nor an address: let libpq say so.
            options << QStringLiteral("service=") + quotedConnValue(server);
        }
    }
    // The digests that pin every download are only as trustworthy as this link, so the server
    // must prove who it is unless the administrator said otherwise (the service entry, or
    // PGSSLMODE). libpq ignores it on a unix socket.
    if (!service.keys.contains(QStringLiteral("sslmode")) &&
        qEnvironmentVariableIsEmpty("PGSSLMODE"))
        options << QStringLiteral("sslmode=verify-full");
    options << m_hostOrder.options(server);
    db.setConnectOptions(options.join(QLatin1Char(';')));
    db.setUserName(serverLogin(param(QStringLiteral("USER NAME"))));
    db.setPassword(param(QStringLiteral("PASSWORD")));
    if (!db.open()) {
        const QSqlError error = db.lastError();
        const QString message = error.databaseText().trimmed();
        db.close();
        throw EDatabaseError(message.isEmpty() ? error.text().trimmed() : message);
    }
    // A statement waiting on rows that another session of the same user holds (a toolbar
    // dialog left open at another workstation) would freeze the window for as long.
    const QByteArray lockTimeout =
        "set lock_timeout = '" + QByteArray::number(LockTimeoutSeconds) + "s'";
    std::unique_ptr<PGresult, ResultDeleter> set(PQexec(pgHandle(db), lockTimeout.constData()));
    if (!set || PQresultStatus(set.get()) != PGRES_COMMAND_OK) {
        const QString message = QString::fromUtf8(PQerrorMessage(pgHandle(db))).trimmed();
        db.close();
        throw EDatabaseError(message);
    }
    m_hostOrder.remember(server, pgHandle(db));
}

void Connection::close() {
    const QList<Dataset*> datasets = m_datasets;
    for (Dataset* dataset : datasets)
        dataset->close();
    const bool wasOpen = connected();
    if (QSqlDatabase::contains(m_connectionName))
        QSqlDatabase::database(m_connectionName, false).close();
    m_inTransaction = false;
    m_lost = false;
    m_lostMessage.clear();
    if (wasOpen)
        emit afterDisconnect();
}

bool Connection::connected() const {
    return QSqlDatabase::contains(m_connectionName) &&
           QSqlDatabase::database(m_connectionName, false).isOpen();
}

void Connection::ensureOpen() {
    noticeDrop();
    checkLost();
    if (!connected()) {
        open();
        m_reopened = true;
    }
    if (m_reopened && afterReopen && !m_inAfterReopen) {
        // Run once per new session: its error ends this statement and is not raised again
        // before every later one (the caller's own next step sets what it needs).
        m_reopened = false;
        m_inAfterReopen = true;
        const auto leave = qScopeGuard([this] { m_inAfterReopen = false; });
        afterReopen();
    }
}

bool Connection::sessionReady() {
    noticeDrop();
    return connected() && !m_lost;
}

// A server that ends an idle session says so and closes the socket; reading that before the
// next statement lets the statement run on a new session instead of failing with the old one.
void Connection::noticeDrop() {
    if (m_lost || !connected())
        return;
    PGconn* conn = pgHandle(QSqlDatabase::database(m_connectionName, false));
    if (!conn)
        return;
    pollfd ready{PQsocket(conn), POLLIN, 0};
    while (PQstatus(conn) == CONNECTION_OK && ready.fd >= 0 && ::poll(&ready, 1, 0) > 0)
        if (!PQconsumeInput(conn))
            break;
    if (PQstatus(conn) == CONNECTION_BAD) {
        m_lost = true;
        m_lostMessage = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
    }
}

// A connection the server dropped: outside a transaction it is simply opened again; inside
// one the transaction is gone, and carrying on in autocommit would make a later rollback a lie.
// The rows the queries fetched stay: only the session is new.
void Connection::checkLost() {
    if (!m_lost)
        return;
    if (m_inTransaction)
        throw EDatabaseError(m_lostMessage);
    QSqlDatabase::database(m_connectionName, false).close();
    m_lost = false;
    m_lostMessage.clear();
}

void Connection::startTransaction(Isolation isolation) {
    if (m_inTransaction)
        throw EDatabaseError(QStringLiteral("A transaction is already active"));
    exec(isolation == Isolation::Serializable
             ? QStringLiteral("start transaction isolation level serializable")
             : QStringLiteral("start transaction isolation level read committed"));
    m_inTransaction = true;
}

void Connection::commit() {
    if (!m_inTransaction)
        return;
    if (m_lost) {
        const QString message = m_lostMessage;
        m_inTransaction = false;
        throw EDatabaseError(message);
    }
    m_inTransaction = false;
    exec(QStringLiteral("commit"));
}

void Connection::rollback() {
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    if (m_lost)
        return; // the server ended the transaction with the connection
    exec(QStringLiteral("rollback"));
}

QSqlDatabase Connection::database() {
    ensureOpen();
    return QSqlDatabase::database(m_connectionName, false);
}

void Connection::attach(Dataset* dataset) {
    if (!m_datasets.contains(dataset))
        m_datasets << dataset;
}

void Connection::detach(Dataset* dataset) {
    m_datasets.removeAll(dataset);
}

void Connection::fail(const QString& message) {
    PGconn* conn = pgHandle(QSqlDatabase::database(m_connectionName, false));
    if (!conn || PQstatus(conn) == CONNECTION_BAD) {
        m_lost = true;
        m_lostMessage = message;
    }
    throw EDatabaseError(message);
}

Connection::Result Connection::exec(const QString& sql, const QVariantList& params) {
    ensureOpen();
    PGconn* conn = pgHandle(QSqlDatabase::database(m_connectionName, false));
    if (!conn)
        fail(QStringLiteral("No connection to the server"));

    QList<QByteArray> values;
    QVector<const char*> pointers;
    QVector<int> lengths;
    QVector<int> formats;
    QVector<Oid> types;
    values.reserve(params.size());
    for (const QVariant& value : params) {
        if (value.isNull() || !value.isValid()) {
            values << QByteArray();
            pointers << nullptr;
            lengths << 0;
            formats << 0;
            types << 0;
        } else if (value.typeId() == QMetaType::QByteArray) {
            values << value.toByteArray();
            pointers << values.last().constData();
            lengths << int(values.last().size());
            formats << 1;
            types << ByteaOid;
        } else {
            values << toText(value);
            pointers << values.last().constData();
            lengths << int(values.last().size());
            formats << 0;
            types << 0; // the server infers the type from where the value stands
        }
    }

    const QByteArray text = sql.toUtf8();
    std::unique_ptr<PGresult, ResultDeleter> res(
        PQexecParams(conn, text.constData(), int(params.size()), types.constData(),
                     pointers.constData(), lengths.constData(), formats.constData(), 0));
    const ExecStatusType status = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        QString message =
            QString::fromUtf8(res ? PQresultErrorMessage(res.get()) : PQerrorMessage(conn))
                .trimmed();
        if (message.isEmpty())
            message = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
        fail(message);
    }

    Result result;
    result.rowsAffected = QByteArray(PQcmdTuples(res.get())).toInt();
    const int columns = PQnfields(res.get());
    for (int c = 0; c < columns; ++c)
        result.fieldNames << QString::fromUtf8(PQfname(res.get(), c));
    const int rows = PQntuples(res.get());
    result.rows.reserve(rows);
    for (int r = 0; r < rows; ++r) {
        QVector<QVariant> row(columns);
        for (int c = 0; c < columns; ++c) {
            if (!PQgetisnull(res.get(), r, c))
                row[c] = fromText(PQftype(res.get(), c), PQgetvalue(res.get(), r, c),
                                  PQgetlength(res.get(), r, c));
        }
        result.rows << row;
    }
    return result;
}

QString Connection::passwordVerifier(const QString& role, const QString& password) {
    ensureOpen();
    PGconn* conn = pgHandle(QSqlDatabase::database(m_connectionName, false));
    if (!conn)
        fail(QStringLiteral("No connection to the server"));
    const QByteArray bytes = password.toUtf8();
    // libpq reads a password up to its first NUL; a sign-in could never send the rest.
    if (bytes.contains('\0'))
        throw EDatabaseError(QStringLiteral("A password cannot hold the character NUL"));
    char* secret =
        PQencryptPasswordConn(conn, bytes.constData(), role.toUtf8().constData(), nullptr);
    if (!secret)
        fail(QString::fromUtf8(PQerrorMessage(conn)).trimmed());
    const QString text = QString::fromUtf8(secret);
    PQfreemem(secret);
    return text;
}
