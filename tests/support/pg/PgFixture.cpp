#include "PgFixture.h"

#include "ExitWatch.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>

#include <libpq-fe.h>

#include <cstdlib>

namespace {

QString sourceDir() {
    const QString fromEnv = qEnvironmentVariable("QV_SOURCE_DIR");
    return fromEnv.isEmpty() ? QStringLiteral(QV_PG_SOURCE_DIR) : fromEnv;
}

QString clusterScript() {
    return sourceDir() + QStringLiteral("/scripts/pg-cluster");
}

// A superuser session on the unix socket, for one piece of work.
class SuperSession {
public:
    SuperSession(const QString& socketDir, int port, const QString& database)
        : m_name(QStringLiteral("pgfixture-") +
                 QUuid::createUuid().toString(QUuid::WithoutBraces)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
        db.setHostName(socketDir);
        db.setPort(port);
        db.setDatabaseName(database);
        db.setUserName(QStringLiteral("postgres"));
        db.open();
    }
    ~SuperSession() {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
};

} // namespace

PgFixture& PgFixture::instance() {
    static PgFixture fixture;
    return fixture;
}

PgFixture::PgFixture() {
    QTemporaryDir temp(QDir::tempPath() + QStringLiteral("/quorvane-pg-XXXXXX"));
    if (!temp.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return;
    }
    temp.setAutoRemove(false);
    m_dir = temp.path();

    // From here on the folder is removed when this process ends, however it ends.
    m_watch =
        std::make_unique<ExitWatch>(QStringList{clusterScript(), QStringLiteral("remove"), m_dir});

    QString output;
    if (!script({QStringLiteral("create"), m_dir}, &output)) {
        m_error = QStringLiteral("cluster did not start: ") + output;
        remove();
        return;
    }
    m_port = output.trimmed().section(QLatin1Char('\n'), -1).toInt();

    // Only this cluster's services and passwords count; nothing from the developer's setup.
    for (const char* name : {"PGHOST", "PGHOSTADDR", "PGPORT", "PGUSER", "PGPASSWORD", "PGDATABASE",
                             "PGSERVICE", "PGSYSCONFDIR", "PGCONNECT_TIMEOUT", "PGSSLMODE",
                             "PGREQUIRESSL", "PGSSLCERT", "PGSSLKEY", "PGSSLCRL", "PGSSLCRLDIR"})
        qunsetenv(name);
    qputenv("PGSERVICEFILE", serviceFile().toLocal8Bit());
    // A host:port address names no CA of its own: the workstation's default is this cluster's.
    qputenv("PGSSLROOTCERT", caFile().toLocal8Bit());
    qputenv("PGPASSFILE", (m_dir + QStringLiteral("/no-pgpass")).toLocal8Bit());
    m_ok = m_port > 0;
    if (!m_ok)
        m_error = QStringLiteral("no port from the cluster script: ") + output;
}

PgFixture::~PgFixture() {
    remove();
}

void PgFixture::remove() {
    if (m_dir.isEmpty())
        return;
    // At exit Qt may be gone already, so a plain child process does the work.
    const QByteArray command = "'" + clusterScript().toLocal8Bit() + "' remove '" +
                               m_dir.toLocal8Bit() + "' >/dev/null 2>&1";
    if (std::system(command.constData()) != 0)
        QDir(m_dir).removeRecursively();
    m_dir.clear();
    m_ok = false;
}

bool PgFixture::script(const QStringList& args, QString* output) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(clusterScript(), args);
    const bool finished = process.waitForFinished(120000);
    const QString text = QString::fromLocal8Bit(process.readAll());
    if (output)
        *output = text;
    m_lastError = text;
    if (!finished) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool PgFixture::stopServer() {
    return m_ok && script({QStringLiteral("stop"), m_dir});
}

bool PgFixture::startServer() {
    return m_ok && script({QStringLiteral("start"), m_dir});
}

bool PgFixture::resetData() {
    if (!m_ok)
        return false;
    QFile file(sourceDir() + QStringLiteral("/db/demo-data.sql"));
    if (!file.open(QIODevice::ReadOnly)) {
        m_lastError = QStringLiteral("cannot read ") + file.fileName();
        return false;
    }
    const QString sql = QString::fromUtf8(file.readAll());
    // A test that left a transaction open may hold locks the reload needs: wait briefly,
    // then end the other sessions and try once more.
    if (superExec(QStringLiteral("set lock_timeout = '3s';\n") + sql))
        return true;
    superExec(QStringLiteral("select pg_terminate_backend(pid) from pg_stat_activity "
                             "where datname = 'quorvane' and pid <> pg_backend_pid()"));
    return superExec(sql);
}

bool PgFixture::endSession(const QString& pid) {
    if (!superExec(QStringLiteral("select pg_terminate_backend(%1)").arg(pid.toLongLong())))
        return false;
    // The server runs on this machine: its process is gone (or a zombie) once it has exited.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid.toLongLong()));
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000) {
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray fields = stat.readAll();
        stat.close();
        if (fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z")
            return true;
        QThread::msleep(5);
    }
    m_lastError = QStringLiteral("session %1 did not end").arg(pid);
    return false;
}

bool PgFixture::superExec(const QString& sql, const QString& database) {
    if (!m_ok)
        return false;
    SuperSession session(m_dir, m_port, database);
    if (!session.db().isOpen()) {
        m_lastError = session.db().lastError().text();
        return false;
    }
    // The driver checks only the first statement of a batch, so a failure further on would pass
    // for success; libpq stops at the first failing statement and returns its error.
    const QVariant handle = session.db().driver()->handle();
    PGconn* conn = *static_cast<PGconn* const*>(handle.constData());
    PGresult* result = PQexec(conn, sql.toUtf8().constData());
    const ExecStatusType status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    m_lastError = ok ? QString() : QString::fromUtf8(PQresultErrorMessage(result)).trimmed();
    PQclear(result);
    return ok;
}

QList<QVariantList> PgFixture::superRows(const QString& sql, const QString& database) {
    QList<QVariantList> rows;
    if (!m_ok)
        return rows;
    SuperSession session(m_dir, m_port, database);
    if (!session.db().isOpen()) {
        m_lastError = session.db().lastError().text();
        return rows;
    }
    QSqlQuery query(session.db());
    query.setForwardOnly(true);
    query.setNumericalPrecisionPolicy(QSql::LowPrecisionDouble);
    if (!query.exec(sql)) {
        m_lastError = query.lastError().text();
        return rows;
    }
    while (query.next()) {
        QVariantList row;
        for (int c = 0; c < query.record().count(); ++c)
            row << query.value(c);
        rows << row;
    }
    m_lastError.clear();
    return rows;
}
