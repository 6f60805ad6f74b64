#include "data/Query.h"

#include "data/Connection.h"
#include "data/DataSource.h"
#include "data/DatabaseError.h"
#include "data/SqlDialect.h"
#include "data/SqlParams.h"

Query::Query(Connection* connection, QObject* parent) : Dataset(connection, parent) {}

Query::~Query() {
    setDataSource(nullptr);
}

void Query::setSql(const QString& sql) {
    close();
    m_sql = sql;
}

void Query::setSql(const QStringList& lines) {
    setSql(lines.join(QLatin1Char('\n')));
}

QStringList Query::paramNames() const {
    // Naming the parameters sends nothing, so no password verifier is made for it.
    const auto noVerifier = [](const QString&, const QString&) { return QString(); };
    return toPositional(toPostgresSql(m_sql, noVerifier)).spelled;
}

void Query::setParam(const QString& name, const QVariant& value) {
    m_params.insert(name.toLower(), value);
}

QVariant Query::param(const QString& name) const {
    return effectiveParam(name);
}

void Query::clearParam(const QString& name) {
    m_params.remove(name.toLower());
}

void Query::setDataSource(DataSource* master) {
    if (m_master == master)
        return;
    if (m_master) {
        disconnect(m_master, nullptr, this, nullptr);
        m_master->removeFollower(this);
    }
    m_master = master;
    if (m_master) {
        m_master->setFollower(this, [this] { masterChanged(); });
        connect(m_master, &QObject::destroyed, this, [this] { m_master = nullptr; });
    }
}

// A parameter set here wins; any other takes the master's current-row field of that name,
// and is null when the master is closed, has no such field or no rows.
QVariant Query::effectiveParam(const QString& name) const {
    const auto it = m_params.constFind(name.toLower());
    if (it != m_params.constEnd())
        return it.value();
    if (m_master && m_master->dataSet() && m_master->dataSet()->active() &&
        m_master->dataSet()->hasField(name))
        return m_master->dataSet()->fieldByName(name).value();
    return {};
}

void Query::open() {
    if (active())
        return;
    run();
}

void Query::run() {
    if (!connection())
        throw EDatabaseError(QStringLiteral("The query has no database connection"));
    if (beforeOpen)
        beforeOpen(*this);
    const PositionalSql statement = toPositional(toPostgresSql(m_sql, verifier()));
    QVariantList values;
    for (const QString& name : statement.names)
        values << effectiveParam(name);
    Connection::Result result;
    try {
        result = connection()->exec(statement.text, values);
    } catch (...) {
        close();
        throw;
    }
    setResult(std::move(result.fieldNames), std::move(result.rows));
}

PasswordVerifier Query::verifier() const {
    Connection* database = connection();
    return [database](const QString& role, const QString& password) {
        return database->passwordVerifier(role, password);
    };
}

// The master moved or opened: an open detail runs again with the new values, once per
// change. A master that closes has no new values; the detail keeps its rows until the
// master opens again, and closing never sends a statement.
void Query::masterChanged() {
    if (active() && m_master->dataSet() && m_master->dataSet()->active())
        run();
}

int Query::execSql() {
    if (!connection())
        throw EDatabaseError(QStringLiteral("The query has no database connection"));
    const PositionalSql statement = toPositional(toPostgresSql(m_sql, verifier()));
    QVariantList values;
    for (const QString& name : statement.names)
        values << effectiveParam(name);
    return connection()->exec(statement.text, values).rowsAffected;
}
