#include "data/Connection.h"
#include "DemoData.h"
#include "PgFixture.h"
#include "VanishingProxy.h"
#include "data/DatabaseError.h"
#include "data/Query.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace DemoData;

namespace {

void signIn(Connection& c, const QString& server, const QString& user, const QString& password) {
    c.setParam(QStringLiteral("SERVER NAME"), server);
    c.setParam(QStringLiteral("USER NAME"), user);
    c.setParam(QStringLiteral("PASSWORD"), password);
}

QString currentUser(Connection& c) {
    return c.exec(QStringLiteral("select current_user")).rows.value(0).value(0).toString();
}

} // namespace

class ConnectionTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
    }
    void init() {
        QVERIFY2(PgFixture::instance().resetData(), qPrintable(PgFixture::instance().lastError()));
    }

    void parametersKeepTheirFixedOrder() {
        Connection c;
        QCOMPARE(c.alias(), QStringLiteral("QORACLE"));
        QCOMPARE(c.params().size(), 20);
        QCOMPARE(c.params().first(), QStringLiteral("SERVER NAME="));
        QCOMPARE(c.params().at(7), QStringLiteral("SQLPASSTHRU MODE=SHARED AUTOCOMMIT"));
        QCOMPARE(c.params().last(), QStringLiteral("PASSWORD="));
        c.setParam(QStringLiteral("password"), QStringLiteral("x=y"));
        QCOMPARE(c.params().last(), QStringLiteral("PASSWORD=x=y"));
        QCOMPARE(c.param(QStringLiteral("Password")), QStringLiteral("x=y"));
        QCOMPARE(c.params().size(), 20);
    }

    void opensThroughServiceCaseBlindAndFoldsLogin() {
        Connection c;
        signIn(c, QStringLiteral("orcl"), QStringLiteral("MARI"), MariPassword);
        c.open();
        QVERIFY(c.connected());
        QCOMPARE(currentUser(c), MariUser);
        QCOMPARE(c.param(QStringLiteral("USER NAME")), QStringLiteral("MARI")); // kept as typed
        c.close();
        QVERIFY(!c.connected());
    }

    void opensByHostPortAndDatabase() {
        Connection c;
        signIn(c, QStringLiteral("127.0.0.1:%1/quorvane").arg(PgFixture::instance().port()),
               JaanUser, JaanPassword);
        c.open();
        QCOMPARE(currentUser(c), JaanUser);
    }

    // The user's service file first, then pg_service.conf in PGSYSCONFDIR, as libpq reads
    // them. A service of two hosts, the first one down, reaches the one that takes writes.
    // A unix socket knows no TLS, and the default verify-full does not stand in its way.
    void serviceFromUserFileWithOtherCase() {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("services")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("# workstation aliases\n[Prod_Db]\nhost=127.0.0.1\nport=%1\n"
                                  "dbname=quorvane\n[Central_Ha]\nhost=127.0.0.1,127.0.0.1\n"
                                  "port=1,%1\ndbname=quorvane\ntarget_session_attrs=read-write\n")
                       .arg(PgFixture::instance().port())
                       .toUtf8());
        file.close();
        QFile system(dir.filePath(QStringLiteral("pg_service.conf")));
        QVERIFY(system.open(QIODevice::WriteOnly));
        system.write(QStringLiteral("[Site]\nhost=127.0.0.1\nport=%1\ndbname=quorvane\n"
                                    "[Socket]\nhost=%2\nport=%1\ndbname=quorvane\n")
                         .arg(PgFixture::instance().port())
                         .arg(PgFixture::instance().directory())
                         .toUtf8());
        system.close();
        const QByteArray saved = qgetenv("PGSERVICEFILE");
        qputenv("PGSERVICEFILE", file.fileName().toLocal8Bit());
        qputenv("PGSYSCONFDIR", dir.path().toLocal8Bit());
        QCOMPARE(Connection::findService(QStringLiteral("PROD_DB")), QStringLiteral("Prod_Db"));
        QCOMPARE(Connection::findService(QStringLiteral("ORCL")), QString());
        for (const char* server : {"PROD_DB", "CENTRAL_HA", "SITE", "SOCKET"}) {
            Connection c;
            signIn(c, QString::fromLatin1(server), MariUser, MariPassword);
            c.open();
            QCOMPARE(currentUser(c), MariUser);
        }
        qunsetenv("PGSYSCONFDIR");
        qputenv("PGSERVICEFILE", saved);
    }

    // A service of two hosts whose first one vanished: the reconnect that finds the second
    // tries it first from then on, even once the first one is back.
    void reconnectTriesTheHostThatAnsweredLastFirst() {
        VanishingProxy first(PgFixture::instance().port());
        VanishingProxy second(PgFixture::instance().port());
        if (!first.canVanish())
            QSKIP("socket filters are refused to this user: no host can vanish");
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("services")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[HA]\nhost=127.0.0.1,127.0.0.1\nport=%1,%2\ndbname=quorvane\n")
                       .arg(first.port())
                       .arg(second.port())
                       .toUtf8());
        file.close();
        const QByteArray saved = qgetenv("PGSERVICEFILE");
        qputenv("PGSERVICEFILE", file.fileName().toLocal8Bit());
        const auto restore = qScopeGuard([&] { qputenv("PGSERVICEFILE", saved); });
        Connection c;
        signIn(c, QStringLiteral("HA"), MariUser, MariPassword);
        c.open();
        QCOMPARE(first.accepted(), 1);
        first.vanish();
        c.close();
        c.open(); // waits for the first host's connect time-out
        QCOMPARE(currentUser(c), MariUser);
        QCOMPARE(second.accepted(), 1);
        first.revive();
        for (int reconnect = 2; reconnect <= 3; ++reconnect) {
            c.close();
            c.open();
            QCOMPARE(currentUser(c), MariUser);
            QCOMPARE(second.accepted(), reconnect);
            QCOMPARE(first.accepted(), 1);
        }
    }

    void failedOpenCarriesServerMessage_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message");
        QTest::newRow("wrong password") << ServiceOrcl << MariUser << "kask2026"
                                        << "password authentication failed";
        QTest::newRow("unknown user") << ServiceOrcl << "nobody"
                                      << "x"
                                      << "password authentication failed";
        QTest::newRow("quote in password") << ServiceOrcl << MariUser << "a' host='x"
                                           << "password authentication failed";
        QTest::newRow("no such service") << "NOWHERE" << MariUser << MariPassword << "NOWHERE";
        QTest::newRow("nothing listens")
            << QStringLiteral("127.0.0.1:1") << MariUser << MariPassword << "Connection refused";
    }
    void failedOpenCarriesServerMessage() {
        QFETCH(QString, server);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, message);
        Connection c;
        signIn(c, server, user, password);
        try {
            c.open();
            QFAIL("open succeeded");
        } catch (const EDatabaseError& e) {
            QVERIFY2(e.message().contains(message), qPrintable(e.message()));
        }
        QVERIFY(!c.connected());
    }

    // A stand-in on the network path that refuses TLS and asks for the password in clear, or
    // that shows a certificate of another CA: refused before the password leaves, unless the
    // administrator gave verification up (what sslmode=prefer costs).
    void standInOnThePathGetsNoPassword_data() {
        QTest::addColumn<QString>("entry"); // the service entry's last line, or "address"
        QTest::addColumn<QByteArray>("pgSslMode");
        QTest::addColumn<bool>("otherCa");
        QTest::addColumn<QString>("message");
        QTest::newRow("service without sslmode, no TLS")
            << "" << QByteArray() << false << "server does not support SSL";
        QTest::newRow("address, no TLS")
            << "address" << QByteArray() << false << "server does not support SSL";
        QTest::newRow("certificate of another CA")
            << "sslmode=verify-full" << QByteArray() << true << "certificate verify failed";
        QTest::newRow("sslmode=prefer: the password in clear")
            << "sslmode=prefer" << QByteArray() << false << "stand-in got the password";
        QTest::newRow("PGSSLMODE=disable, address: the password in clear")
            << "address" << QByteArray("disable") << false << "stand-in got the password";
    }
    void standInOnThePathGetsNoPassword() {
        QFETCH(QString, entry);
        QFETCH(QByteArray, pgSslMode);
        QFETCH(bool, otherCa);
        QFETCH(QString, message);
        const QString source = qEnvironmentVariable("QV_SOURCE_DIR");
        QTemporaryDir dir;
        QStringList args{source + QStringLiteral("/tests/support/pg/pg-standin.py")};
        if (otherCa) {
            QCOMPARE(QProcess::execute(source + "/scripts/pg-cluster", {"certs", dir.path()}), 0);
            args << "--tls" << dir.filePath("server.crt") << dir.filePath("server.key");
        }
        QProcess standIn;
        standIn.start(QStringLiteral("python3"), args);
        QVERIFY(standIn.waitForReadyRead(30000));
        const QString port = QString::fromLatin1(standIn.readLine()).section(' ', 1).trimmed();
        QFile services(dir.filePath(QStringLiteral("services")));
        QVERIFY(services.open(QIODevice::WriteOnly));
        services.write(QStringLiteral("[Path]\nhost=127.0.0.1\nport=%1\ndbname=quorvane\n"
                                      "sslrootcert=%2\n%3\n")
                           .arg(port, PgFixture::instance().caFile(), entry)
                           .toUtf8());
        services.close();
        qputenv("PGSERVICEFILE", services.fileName().toLocal8Bit());
        qputenv("PGSSLMODE", pgSslMode);
        const auto restore = qScopeGuard([] {
            qputenv("PGSERVICEFILE", PgFixture::instance().serviceFile().toLocal8Bit());
            qunsetenv("PGSSLMODE");
        });

        Connection c;
        signIn(c, entry == "address" ? "127.0.0.1:" + port + "/quorvane" : QStringLiteral("PATH"),
               MariUser, MariPassword);
        try {
            c.open();
            QFAIL("open succeeded");
        } catch (const EDatabaseError& e) {
            QVERIFY2(e.message().contains(message), qPrintable(e.message()));
        }
        standIn.kill();
        standIn.waitForFinished();
        QCOMPARE(standIn.readAllStandardOutput().contains("PASSWORD " + MariPassword.toUtf8()),
                 message.startsWith("stand-in"));
    }

    void closeClosesQueriesAndQueriesReopen() {
        Connection c;
        signIn(c, ServiceOrcl, MariUser, MariPassword);
        Query q(&c);
        q.setSql(QStringLiteral("select db_name from quorvane.v_sysparams order by v_company"));
        q.open(); // connects on demand
        QVERIFY(c.connected());
        QVERIFY(q.active());
        QCOMPARE(q.recordCount(), 4);
        int disconnects = 0;
        connect(&c, &Connection::afterDisconnect, this, [&] { ++disconnects; });
        c.close();
        QVERIFY(!q.active());
        QCOMPARE(q.recordCount(), 0);
        QCOMPARE(disconnects, 1);
        c.close();
        QCOMPARE(disconnects, 1);
        q.open();
        QVERIFY(c.connected());
        QCOMPARE(q.fieldByName(QStringLiteral("DB_NAME")).asString(), QStringLiteral("ACME"));
    }

    void rollbackUndoesAndAutocommitOtherwise() {
        Connection c;
        signIn(c, ServiceOrcl, MariUser, MariPassword);
        const QString ordinalSql = QStringLiteral("select ordinal from quorvane.user_prog_db where "
                                                  "username = 'mari' and database_id = 10 "
                                                  "and quorvane_prog_id = 1");
        Query update(&c);
        update.setSql(QStringLiteral(
            "update quorvane.user_prog_db set ordinal = :o where quorvane_prog_id = 1 "
            "and database_id = 10"));
        c.startTransaction();
        QVERIFY(c.inTransaction());
        update.setParam(QStringLiteral("o"), 7.0);
        QCOMPARE(update.execSql(), 1);
        QCOMPARE(PgFixture::instance().superRows(ordinalSql).value(0).value(0).toInt(),
                 1);                                                         // not yet seen
        QCOMPARE(c.exec(ordinalSql).rows.value(0).value(0).toDouble(), 7.0); // seen inside
        c.rollback();
        QVERIFY(!c.inTransaction());
        QCOMPARE(PgFixture::instance().superRows(ordinalSql).value(0).value(0).toInt(), 1);

        update.setParam(QStringLiteral("o"), 5.0);
        update.execSql();
        QCOMPARE(PgFixture::instance().superRows(ordinalSql).value(0).value(0).toInt(), 5);

        c.startTransaction();
        update.setParam(QStringLiteral("o"), 6.0);
        update.execSql();
        c.commit();
        QCOMPARE(PgFixture::instance().superRows(ordinalSql).value(0).value(0).toInt(), 6);

        c.startTransaction();
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, c.startTransaction());
        c.close(); // closing ends the transaction, its work undone
        QVERIFY(!c.inTransaction());
    }

    void droppedConnectionFailsThenReconnects() {
        Connection c;
        signIn(c, ServiceOrcl, MariUser, MariPassword);
        c.open();
        QVERIFY(PgFixture::instance().stopServer());
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, c.exec(QStringLiteral("select 1")));
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, c.exec(QStringLiteral("select 1"))); // still down
        QVERIFY(PgFixture::instance().startServer());
        QCOMPARE(c.exec(QStringLiteral("select 1")).rows.value(0).value(0).toDouble(), 1.0);
        c.close();
        c.open();
        QCOMPARE(currentUser(c), MariUser);
    }

    // A server that ended an idle session (restart, idle time-out, an administrator): the
    // next statement runs on a new session, after afterReopen, and the fetched rows stay.
    // An explicit open does not run afterReopen; a statement after close() does.
    void droppedIdleSessionReconnectsBeforeTheStatement() {
        Connection c;
        signIn(c, ServiceOrcl, MariUser, MariPassword);
        c.open();
        Query q(&c);
        q.setSql(QStringLiteral("select db_name from quorvane.v_sysparams order by v_company"));
        q.open();
        QStringList reopened;
        c.afterReopen = [&] {
            reopened << currentUser(c); // a statement of its own does not run it again
        };
        QVERIFY(PgFixture::instance().endSession(
            c.exec(QStringLiteral("select pg_backend_pid()")).rows.value(0).value(0).toString()));
        QCOMPARE(c.exec(QStringLiteral("select 1")).rows.value(0).value(0).toDouble(), 1.0);
        QCOMPARE(reopened, QStringList{MariUser});
        QVERIFY(q.active());
        QCOMPARE(q.recordCount(), 4);

        c.close();
        c.open();
        currentUser(c);
        QCOMPARE(reopened.size(), 1);
        c.close();
        currentUser(c);
        QCOMPARE(reopened.size(), 2);
    }

    // Idle sessions ended by the server, as an administrator sets it for a fleet larger than
    // the server's connections: the next statement runs on a new session, unseen.
    void idleSessionTimeOutIsUnseen() {
        PgFixture& pg = PgFixture::instance();
        QVERIFY(pg.superExec(QStringLiteral("alter role mari set idle_session_timeout = '1s'")));
        const auto restore = qScopeGuard(
            [&pg] { pg.superExec(QStringLiteral("alter role mari reset idle_session_timeout")); });
        Connection c;
        signIn(c, ServiceOrcl, MariUser, MariPassword);
        const QString pid = c.exec(QStringLiteral("select pg_backend_pid()")).rows[0][0].toString();
        QTRY_VERIFY_WITH_TIMEOUT(
            pg.superRows(QStringLiteral("select from pg_stat_activity where pid = ") + pid)
                .isEmpty(),
            10000);
        QVERIFY(c.exec(QStringLiteral("select pg_backend_pid()")).rows[0][0].toString() != pid);
    }

    void droppedConnectionInTransactionNeverFallsBackToAutocommit() {
        Connection c;
        signIn(c, ServiceOrcl, MariUser, MariPassword);
        c.startTransaction();
        QVERIFY(PgFixture::instance().stopServer());
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, c.exec(QStringLiteral("select 1")));
        QVERIFY(PgFixture::instance().startServer());
        // The transaction died with the connection: its statements keep failing until it ends.
        QVERIFY_THROWS_EXCEPTION(
            EDatabaseError,
            c.exec(QStringLiteral(
                "update quorvane.user_prog_db set ordinal = 9 where quorvane_prog_id = 1")));
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, c.commit());
        QVERIFY(!c.inTransaction());
        QCOMPARE(PgFixture::instance()
                     .superRows(QStringLiteral(
                         "select count(*) from quorvane.user_prog_db where ordinal = 9"))
                     .value(0)
                     .value(0)
                     .toInt(),
                 0);
        QCOMPARE(currentUser(c), MariUser);
    }
};

QTEST_GUILESS_MAIN(ConnectionTest)
#include "connection.moc"
