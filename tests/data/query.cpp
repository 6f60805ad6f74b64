#include "data/Query.h"
#include "DemoData.h"
#include "DemoSignIn.h"
#include "PgFixture.h"
#include "data/Connection.h"
#include "data/DataSource.h"
#include "data/DatabaseError.h"
#include "data/StoredProc.h"

#include <QTest>

using namespace DemoData;

class QueryTest : public QObject {
    Q_OBJECT
private:
    Connection* m_db = nullptr;

private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
    }
    void init() {
        QVERIFY2(PgFixture::instance().resetData(), qPrintable(PgFixture::instance().lastError()));
        m_db = new Connection;
        DemoData::setSignIn(*m_db, MariUser, MariPassword);
    }
    void cleanup() { delete m_db; }

    void parametersAreBoundNotPasted() {
        Query q(m_db);
        q.setSql(QStringList{
            QStringLiteral("select :Text::text as t, :num as n, :text || '::x' as again,"),
            QStringLiteral(" ':text' as literal")});
        QCOMPARE(q.paramNames(), (QStringList{"Text", "num"}));
        const QString hostile = QStringLiteral("O'Brien\\'; drop table quorvane.company; --");
        q.setParam(QStringLiteral("TEXT"), hostile);
        q.setParam(QStringLiteral("num"), 2.5);
        q.open();
        QCOMPARE(q.fieldByName(QStringLiteral("T")).asString(), hostile);
        QCOMPARE(q.fieldByName(QStringLiteral("again")).asString(),
                 hostile + QStringLiteral("::x"));
        QCOMPARE(q.fieldByName(QStringLiteral("literal")).asString(), QStringLiteral(":text"));
        QCOMPARE(q.fieldByName(QStringLiteral("n")).asString(), QStringLiteral("2.5"));
        QCOMPARE(PgFixture::instance()
                     .superRows(QStringLiteral("select count(*) from quorvane.company"))
                     .value(0)
                     .value(0)
                     .toInt(),
                 4);
    }

    void fieldTypesAsTheWindowsReadThem() {
        Query q(m_db);
        q.setSql(QStringLiteral(
            "select p.prog_name, p.icon, u.database_id, p.version, current_date as d "
            "from quorvane.quorvane_prog p join quorvane.user_prog_db u on u.quorvane_prog_id = "
            "p.prog_id "
            "where p.prog_id = 1 and u.database_id = 10"));
        q.open();
        QCOMPARE(q.recordCount(), 1);
        QCOMPARE(q.fieldByName(QStringLiteral("PROG_NAME")).asString(), QStringLiteral("Ledger"));
        QCOMPARE(q.fieldByName(QStringLiteral("DATABASE_ID")).value().typeId(),
                 int(QMetaType::Double));
        QCOMPARE(q.fieldByName(QStringLiteral("DATABASE_ID")).asString(), QStringLiteral("10"));
        QCOMPARE(q.fieldByName(QStringLiteral("VERSION")).asFloat(), 1.25);
        QCOMPARE(q.fieldByName(QStringLiteral("D")).asDate(), QDate::currentDate());
        const QByteArray icon = q.fieldByName(QStringLiteral("ICON")).asBlob();
        // 8-byte header (1, 0x0100, length of the rest), then the bitmap.
        QCOMPARE(icon.left(4), QByteArray("\x01\x00\x00\x01", 4));
        QCOMPARE(icon.mid(8, 2), QByteArray("BM"));
        QCOMPARE(icon.size(), 8 + 54 + 16 * 16 * 3);
    }

    void openTwiceRunsOnceAndBeforeOpenRunsEachTime() {
        Query q(m_db);
        int calls = 0;
        q.beforeOpen = [&](Query& self) {
            ++calls;
            self.setParam(QStringLiteral("db_name"), QStringLiteral("BALTIC"));
        };
        q.setSql(
            QStringLiteral("select v_company from quorvane.v_sysparams where db_name = :db_name"));
        q.open();
        q.open();
        QCOMPARE(calls, 1);
        QCOMPARE(q.fieldByName(QStringLiteral("v_company")).asFloat(), 20.0);
        q.close();
        q.open();
        QCOMPARE(calls, 2);
    }

    void detailFollowsMasterOncePerRow() {
        Query groups(m_db);
        groups.setSql(QStringLiteral("select prog_group from quorvane.quorvane_prog group by "
                                     "prog_group order by prog_group"));
        DataSource groupSource(&groups);
        Query progs(m_db);
        progs.setSql(QStringLiteral("select prog_name from quorvane.quorvane_prog where prog_group "
                                    "= :PROG_GROUP order by prog_id"));
        progs.setDataSource(&groupSource);
        int runs = 0;
        progs.beforeOpen = [&](Query&) { ++runs; };

        groups.open(); // the detail is closed: nothing runs
        QCOMPARE(runs, 0);
        progs.open();
        QCOMPARE(runs, 1);
        QCOMPARE(progs.param(QStringLiteral("prog_group")).toString(), QStringLiteral("Finance"));
        QCOMPARE(progs.fieldByName(QStringLiteral("prog_name")).asString(),
                 QStringLiteral("Ledger"));

        groups.next();
        QCOMPARE(runs, 2);
        QCOMPARE(progs.fieldByName(QStringLiteral("prog_name")).asString(),
                 QStringLiteral("Stock"));
        groups.next();
        groups.next(); // past the last group: no new row, no run
        QCOMPARE(runs, 3);
        QCOMPARE(progs.fieldByName(QStringLiteral("prog_name")).asString(),
                 QStringLiteral("Notepad"));
        groups.moveTo(2); // already there
        QCOMPARE(runs, 3);

        // Closing sends nothing (Refresh, Login and every tab change close the groups, and a
        // server that is gone would make closing fail); the detail keeps its rows meanwhile.
        groups.close();
        QCOMPARE(runs, 3);
        QVERIFY(progs.active());
        QCOMPARE(progs.fieldByName(QStringLiteral("prog_name")).asString(),
                 QStringLiteral("Notepad"));
        groups.open();
        QCOMPARE(runs, 4);
        QCOMPARE(progs.recordCount(), 4);

        progs.setParam(QStringLiteral("prog_group"), QStringLiteral("Tools")); // set here: wins
        groups.next();
        QCOMPARE(progs.fieldByName(QStringLiteral("prog_name")).asString(),
                 QStringLiteral("Notepad"));
    }

    void emptyMasterGivesEmptyDetail() {
        Query groups(m_db);
        groups.setSql(QStringLiteral("select prog_group from quorvane.quorvane_prog where false"));
        DataSource source(&groups);
        Query progs(m_db);
        progs.setSql(QStringLiteral(
            "select prog_name from quorvane.quorvane_prog where prog_group = :prog_group"));
        progs.setDataSource(&source);
        groups.open();
        progs.open();
        QVERIFY(progs.param(QStringLiteral("prog_group")).isNull());
        QCOMPARE(progs.recordCount(), 0);
        QVERIFY(progs.bof() && progs.eof());
    }

    void failedQueryStaysClosedWithServerMessage() {
        Query q(m_db);
        q.setSql(QStringLiteral("select * from quorvane.no_such_table"));
        try {
            q.open();
            QFAIL("query on a missing table opened");
        } catch (const EDatabaseError& e) {
            QVERIFY2(e.message().contains(QStringLiteral("no_such_table")),
                     qPrintable(e.message()));
        }
        QVERIFY(!q.active());
    }

    void storedProceduresFromTheCatalog() {
        StoredProc date(m_db);
        date.setStoredProcName(QStringLiteral("QUORVANE.OUTSYSTEM_DATE"));
        date.execProc();
        QCOMPARE(date.paramByName(QStringLiteral("D")).value().typeId(), int(QMetaType::QDate));
        QCOMPARE(date.paramByName(QStringLiteral("d")).asDate(), QDate::currentDate());

        StoredProc name(m_db);
        name.setStoredProcName(QStringLiteral("QUORVANE.SET_CNAME"));
        name.setParam(QStringLiteral("NAME"), QStringLiteral("CEDAR"));
        name.execProc();
        Query sys(m_db);
        sys.setSql(QStringLiteral("select db_name from quorvane.sysparams"));
        sys.open();
        QCOMPARE(sys.recordCount(), 1);
        QCOMPARE(sys.fieldByName(QStringLiteral("DB_NAME")).asString(), QStringLiteral("CEDAR"));

        name.setParam(QStringLiteral("name"), QStringLiteral("ACME"));
        name.execProc();
        sys.close();
        sys.open();
        QCOMPARE(sys.fieldByName(QStringLiteral("DB_NAME")).asString(), QStringLiteral("ACME"));

        StoredProc wrong(m_db);
        wrong.setStoredProcName(QStringLiteral("QUORVANE.SET_CNAME"));
        wrong.setParam(QStringLiteral("CNAME"), QStringLiteral("ACME"));
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, wrong.execProc());
        StoredProc missing(m_db);
        missing.setStoredProcName(QStringLiteral("QUORVANE.NO_SUCH_PROC"));
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, missing.execProc());
    }

    void storedProcedureOnClosedConnectionOpensIt() {
        StoredProc date(m_db);
        date.setStoredProcName(QStringLiteral("QUORVANE.OUTSYSTEM_DATE"));
        QVERIFY(!m_db->connected());
        date.execProc();
        QVERIFY(m_db->connected());
        m_db->close();
        date.execProc(); // the parameter list survives the reconnect
        QVERIFY(date.paramByName(QStringLiteral("D")).asDate().isValid());
    }

    void execSqlCountsRows() {
        Query q(m_db);
        q.setSql(QStringList{QStringLiteral("update quorvane.user_prog_db"), QStringLiteral("set"),
                             QStringLiteral("ordinal=0"), QStringLiteral("where"),
                             QStringLiteral("(username=USER)"), QStringLiteral("and"),
                             QStringLiteral("(database_id=:database_id)")});
        q.setParam(QStringLiteral("database_id"), 10.0);
        QCOMPARE(q.execSql(), 7);
    }
};

QTEST_GUILESS_MAIN(QueryTest)
#include "query.moc"
