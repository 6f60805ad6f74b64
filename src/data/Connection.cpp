#include "data/Connection.h"

#include "data/ConnectOptions.h"
#include "data/DatabaseError.h"
#include "data/Dataset.h"
#include "data/ServiceFile.h"
#include "data/StatementWait.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlDriver>
#include <QSqlError>
#include <QUuid>

#include <libpq-fe.h>

#include <memory>
#include <poll.h>
#include <utility>

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

constexpr std::chrono::seconds StatementBound{Connection::StatementTimeoutSeconds};

} // namespace

Connection::Connection(const QString& alias, QObject* parent)
    : QObject(parent), m_alias(alias), m_params(FixedParams) {}

Connection::~Connection() {
    for (Dataset* dataset : std::as_const(m_datasets))
        dataset->m_connection = nullptr;
    m_datasets.clear();
    releaseDriver();
}

QString Connection::statementTimeoutMessage() {
    return QStringLiteral("The database server did not answer within %1 seconds.")
        .arg(StatementTimeoutSeconds);
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
    if (m_session.state == Session::State::Open)
        return;
    replaceSession(false);
}

QString Connection::newConnectionName() const {
    return m_alias + QLatin1Char('-') + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

PGconn* Connection::handle() const {
    if (m_session.connectionName.isEmpty() || !QSqlDatabase::contains(m_session.connectionName))
        return nullptr;
    return pgHandle(QSqlDatabase::database(m_session.connectionName, false));
}

// The old session goes first: where the server allows this user one more session only (its
// connection limit), a new one next to it would be refused. The rows the queries fetched stay.
void Connection::replaceSession(bool onDemand) {
    releaseDriver();
    m_session = Session();
    Session fresh;
    fresh.connectionName = newConnectionName();
    try {
        connectSession(fresh.connectionName);
    } catch (...) {
        QSqlDatabase::removeDatabase(fresh.connectionName);
        throw;
    }
    fresh.state = Session::State::Open;
    fresh.restorePending = onDemand;
    m_session = std::move(fresh);
    emit afterConnect();
}

void Connection::releaseDriver() {
    const QString name = m_session.connectionName;
    if (name.isEmpty() || !QSqlDatabase::contains(name))
        return;
    QSqlDatabase::database(name, false).close();
    QSqlDatabase::removeDatabase(name);
}

void Connection::connectSession(const QString& connectionName) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    if (!db.isValid() || !db.driver() || !db.isDriverAvailable(QStringLiteral("QPSQL")))
        throw EDatabaseError(QStringLiteral("The database driver QPSQL is not available"));

    ConnectRequest request;
    request.serverName = param(QStringLiteral("SERVER NAME"));
    request.service = ServiceFile::find(request.serverName);
    request.sslModeInEnvironment = !qEnvironmentVariableIsEmpty("PGSSLMODE");
    // The administrator changed the service's hosts: the file decides again.
    if (!m_hostOrder.appliesTo(request.service))
        m_hostOrder = HostOrder();
    request.hostOrder = m_hostOrder;
    db.setConnectOptions(connectOptions(request).join(QLatin1Char(';')));
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
    PGconn* conn = pgHandle(db);
    StatementWait::Statement lockTimeout;
    lockTimeout.text = "set lock_timeout = '" + QByteArray::number(LockTimeoutSeconds) + "s'";
    const StatementWait::Reply reply = StatementWait::run(conn, lockTimeout, StatementBound);
    std::unique_ptr<PGresult, ResultDeleter> set(reply.result);
    if (reply.outcome == StatementWait::Outcome::TimedOut)
        StatementWait::cancelInBackground(conn);
    if (!set || PQresultStatus(set.get()) != PGRES_COMMAND_OK) {
        const QString message = reply.outcome == StatementWait::Outcome::TimedOut
                                    ? statementTimeoutMessage()
                                    : QString::fromUtf8(PQerrorMessage(conn)).trimmed();
        db.close();
        throw EDatabaseError(message);
    }
    const HostOrder learned = HostOrder::learn(request.service, QString::fromUtf8(PQhost(conn)),
                                               QString::fromUtf8(PQport(conn)));
    if (learned.known())
        m_hostOrder = learned;
}

void Connection::close() {
    const QList<Dataset*> datasets = m_datasets;
    for (Dataset* dataset : datasets)
        dataset->close();
    const bool wasOpen = connected();
    releaseDriver();
    m_session = Session();
    if (wasOpen)
        emit afterDisconnect();
}

bool Connection::connected() const {
    return m_session.state != Session::State::Closed;
}

void Connection::ensureOpen() {
    noticeDrop();
    if (m_session.state == Session::State::Lost && m_session.inTransaction) {
        // The transaction is gone with the session; carrying on in autocommit would make a
        // later rollback a lie.
        throw EDatabaseError(m_session.lostMessage);
    }
    if (m_session.state != Session::State::Open)
        replaceSession(true);
    if (m_session.restorePending && afterReopen) {
        // Once per new session: its error ends this statement and is not raised again before
        // every later one (the caller's own next step sets what it needs). Its own statements
        // find no afterReopen and do not run it again.
        m_session.restorePending = false;
        auto restore = std::exchange(afterReopen, nullptr);
        const auto keep = qScopeGuard([this, &restore] { afterReopen = std::move(restore); });
        restore();
    }
}

bool Connection::sessionReady() {
    noticeDrop();
    return m_session.state == Session::State::Open;
}

// A server that ends an idle session says so and closes the socket; reading that before the
// next statement lets the statement run on a new session instead of failing with the old one.
void Connection::noticeDrop() {
    if (m_session.state != Session::State::Open)
        return;
    PGconn* conn = handle();
    if (!conn)
        return;
    pollfd ready{PQsocket(conn), POLLIN, 0};
    while (PQstatus(conn) == CONNECTION_OK && ready.fd >= 0 && ::poll(&ready, 1, 0) > 0)
        if (!PQconsumeInput(conn))
            break;
    if (PQstatus(conn) == CONNECTION_BAD) {
        m_session.state = Session::State::Lost;
        m_session.lostMessage = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
    }
}

void Connection::startTransaction(Isolation isolation) {
    if (m_session.inTransaction)
        throw EDatabaseError(QStringLiteral("A transaction is already active"));
    exec(isolation == Isolation::Serializable
             ? QStringLiteral("start transaction isolation level serializable")
             : QStringLiteral("start transaction isolation level read committed"));
    m_session.inTransaction = true;
}

void Connection::commit() {
    if (!m_session.inTransaction)
        return;
    m_session.inTransaction = false;
    if (m_session.state == Session::State::Lost)
        throw EDatabaseError(m_session.lostMessage);
    exec(QStringLiteral("commit"));
}

void Connection::rollback() {
    if (!m_session.inTransaction)
        return;
    m_session.inTransaction = false;
    if (m_session.state == Session::State::Lost)
        return; // the server ended the transaction with the connection
    exec(QStringLiteral("rollback"));
}

void Connection::attach(Dataset* dataset) {
    if (!m_datasets.contains(dataset))
        m_datasets << dataset;
}

void Connection::detach(Dataset* dataset) {
    m_datasets.removeAll(dataset);
}

void Connection::fail(const QString& message) {
    PGconn* conn = handle();
    if (!conn || PQstatus(conn) == CONNECTION_BAD) {
        m_session.state = Session::State::Lost;
        m_session.lostMessage = message;
    }
    throw EDatabaseError(message);
}

// The server may be stuck for good (a stopped process, a stalled proxy): it is asked to cancel
// the statement, and the session goes at once, without waiting for either.
void Connection::giveUp(PGconn* conn) {
    StatementWait::cancelInBackground(conn);
    releaseDriver();
    m_session.state = Session::State::Lost;
    m_session.lostMessage = statementTimeoutMessage();
    throw EDatabaseError(m_session.lostMessage);
}

Connection::Result Connection::exec(const QString& sql, const QVariantList& params) {
    ensureOpen();
    PGconn* conn = handle();
    if (!conn)
        fail(QStringLiteral("No connection to the server"));

    QList<QByteArray> values;
    StatementWait::Statement statement;
    statement.text = sql.toUtf8();
    values.reserve(params.size());
    for (const QVariant& value : params) {
        if (value.isNull() || !value.isValid()) {
            values << QByteArray();
            statement.values << nullptr;
            statement.lengths << 0;
            statement.formats << 0;
            statement.types << 0;
        } else if (value.typeId() == QMetaType::QByteArray) {
            values << value.toByteArray();
            statement.values << values.last().constData();
            statement.lengths << int(values.last().size());
            statement.formats << 1;
            statement.types << ByteaOid;
        } else {
            values << toText(value);
            statement.values << values.last().constData();
            statement.lengths << int(values.last().size());
            statement.formats << 0;
            statement.types << 0; // the server infers the type from where the value stands
        }
    }

    const StatementWait::Reply reply = StatementWait::run(conn, statement, StatementBound);
    if (reply.outcome == StatementWait::Outcome::TimedOut)
        giveUp(conn);
    std::unique_ptr<PGresult, ResultDeleter> res(reply.result);
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
    const QByteArray bytes = password.toUtf8();
    // libpq reads a password up to its first NUL; a sign-in could never send the rest.
    if (bytes.contains('\0'))
        throw EDatabaseError(QStringLiteral("A password cannot hold the character NUL"));
    // Asked here, within the statement bound: libpq would ask the server without one.
    const QByteArray algorithm =
        exec(QStringLiteral("show password_encryption")).rows.value(0).value(0).toString().toUtf8();
    PGconn* conn = handle();
    if (!conn)
        fail(QStringLiteral("No connection to the server"));
    char* secret = PQencryptPasswordConn(conn, bytes.constData(), role.toUtf8().constData(),
                                         algorithm.constData());
    if (!secret)
        fail(QString::fromUtf8(PQerrorMessage(conn)).trimmed());
    const QString text = QString::fromUtf8(secret);
    PQfreemem(secret);
    return text;
}
