#pragma once

// One throwaway PostgreSQL cluster per test process, loaded with db/schema.sql and
// db/demo-data.sql (see DemoData.h for its rows). It starts on first use: a fresh cluster in a
// temporary folder, unix socket there, TCP on 127.0.0.1 with a free port, TLS only, SCRAM
// passwords for every TCP sign-in. A service file with the services ORCL (no sslmode) and TEST
// (verify-full), both naming the cluster's CA, is named in PGSERVICEFILE, so a Connection with
// "SERVER NAME" ORCL reaches it; PGSSLROOTCERT names the CA for host:port addresses. All is
// removed at process exit, also when a test fails or the process dies (an ExitWatch cleans up).
//
// Use in a test (link qv_test_pg, label db):
//
//     void initTestCase() { QVERIFY2(PgFixture::instance().ok(),
//     qPrintable(PgFixture::instance().error())); } void init() {
//     QVERIFY(PgFixture::instance().resetData()); } // demo rows and passwords again
//
// superExec/superRows run as the cluster's superuser on a connection of their own, to set up
// cases and to check what the server holds.

#include <QList>
#include <QString>
#include <QVariantList>

#include <memory>

class ExitWatch;

class PgFixture {
public:
    static PgFixture& instance();

    bool ok() const { return m_ok; }
    QString error() const { return m_error; }

    QString serviceFile() const { return m_dir + QStringLiteral("/pg_service.conf"); }
    QString directory() const { return m_dir; } // holds the unix socket too
    QString caFile() const { return m_dir + QStringLiteral("/tls/ca.crt"); }
    int port() const { return m_port; }

    // Stops the server (fast shutdown: sessions are dropped) and starts it again on the same port.
    bool stopServer();
    bool startServer();

    // Reloads the demo rows and resets the demo passwords.
    bool resetData();

    // As superuser, in database quorvane unless another is named. superRows gives every row,
    // values as the driver delivers them (numeric as double); both leave the failure text in
    // lastError().
    bool superExec(const QString& sql, const QString& database = QStringLiteral("quorvane"));
    QList<QVariantList> superRows(const QString& sql,
                                  const QString& database = QStringLiteral("quorvane"));
    // Ends one session from the server's side, as a restart or an idle time-out does, and
    // waits until its server process is gone, so the client's socket has been closed.
    bool endSession(const QString& pid);
    QString lastError() const { return m_lastError; }

    ~PgFixture();
    PgFixture(const PgFixture&) = delete;
    PgFixture& operator=(const PgFixture&) = delete;

private:
    PgFixture();
    bool script(const QStringList& args, QString* output = nullptr);
    void remove();

    bool m_ok = false;
    QString m_error;
    QString m_lastError;
    QString m_dir;
    int m_port = 0;
    std::unique_ptr<ExitWatch> m_watch;
};
