// The fixed SQL texts of the windows, exactly as the windows send them, against the demo schema
// as a demo user: the schema must give each text the rows and field types its window expects.

#include "DemoData.h"
#include "DemoSignIn.h"
#include "PgFixture.h"
#include "data/Connection.h"
#include "data/DataSource.h"
#include "data/Query.h"
#include "data/StoredProc.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTest>

#include <tuple>

using namespace DemoData;

namespace {

const QStringList QueryDatabasesSql = {
    QStringLiteral("select distinct"),
    QStringLiteral("d.db_name"),
    QStringLiteral(",d.company_name  server_name "),
    QStringLiteral(" from quorvane.v_sysparams d,quorvane.user_prog_db p"),
    QStringLiteral("where"),
    QStringLiteral("(d.v_company=p.database_id)"),
    QStringLiteral("and"),
    QStringLiteral("(p.username=USER)"),
};

const QStringList QueryGroupsSql = {
    QStringLiteral("select distinct"),
    QStringLiteral("p.prog_group"),
    QStringLiteral(",d.db_name"),
    QStringLiteral("from quorvane.quorvane_prog p,quorvane.user_prog_db u,quorvane.sysparams d"),
    QStringLiteral("where"),
    QStringLiteral("(u.username=USER)"),
    QStringLiteral("and"),
    QStringLiteral("(p.prog_id=u.quorvane_prog_id)"),
    QStringLiteral("and"),
    QStringLiteral("(u.database_id=d.v_company)"),
    QStringLiteral("and"),
    QStringLiteral("(p.prog_exe like '%exe')"),
};

const QStringList QueryProgSql = {
    QStringLiteral("select"),
    QStringLiteral("p.prog_name"),
    QStringLiteral(",prog_exe"),
    QStringLiteral(",p.icon"),
    QStringLiteral(",p.clientpath"),
    QStringLiteral(",d.v_company"),
    QStringLiteral("from quorvane.sysparams d,quorvane.quorvane_prog p,quorvane.user_prog_db db"),
    QStringLiteral("where"),
    QStringLiteral("(d.v_company=db.database_id)"),
    QStringLiteral("and"),
    QStringLiteral("(db.quorvane_prog_id=p.prog_id)"),
    QStringLiteral("and"),
    QStringLiteral("(db.username=USER)"),
    QStringLiteral("and"),
    QStringLiteral("(p.prog_group=:prog_group)"),
    QStringLiteral("and"),
    QStringLiteral("(p.prog_exe like '%exe')"),
};

const QStringList QueryLoadSql = {
    QStringLiteral("select"),
    QStringLiteral("p.prog_name"),
    QStringLiteral(",prog_exe"),
    QStringLiteral(",p.icon"),
    QStringLiteral(",p.clientpath"),
    QStringLiteral(",d.v_company"),
    QStringLiteral("from quorvane.v_sysparams d,quorvane.quorvane_prog p,quorvane.user_prog_db db"),
    QStringLiteral("where"),
    QStringLiteral("(d.v_company=db.database_id)"),
    QStringLiteral("and"),
    QStringLiteral("(db.quorvane_prog_id=p.prog_id)"),
    QStringLiteral("and"),
    QStringLiteral("(db.username=USER)"),
    QStringLiteral("and"),
    QStringLiteral("(d.db_name=:db_name)"),
    QStringLiteral("and"),
    QStringLiteral("(p.prog_exe like '%exe')"),
    QStringLiteral("and"),
    QStringLiteral("(db.ordinal >0)"),
    QStringLiteral("order by d.v_company ,ordinal"),
};

const QStringList Query1Sql = {
    QStringLiteral("select"),
    QStringLiteral(" b.prog_exe"),
    QStringLiteral(",b.prog_name"),
    QStringLiteral(",b.serverpath"),
    QStringLiteral(",b.clientpath"),
    QStringLiteral(",ltrim(to_char(b.version,'990.000')) version"),
    QStringLiteral(",b.clientpath||'\\'||b.prog_exe prog"),
    QStringLiteral("from"),
    QStringLiteral(" quorvane.user_prog_db u, quorvane.quorvane_prog b"),
    QStringLiteral("where"),
    QStringLiteral(" b.prog_id = u.quorvane_prog_id"),
    QStringLiteral("and"),
    QStringLiteral(" u.username=user"),
    QStringLiteral("and"),
    QStringLiteral(" b.prog_type = 1"),
    QStringLiteral("and"),
    QStringLiteral(" clientpath like 'c:\\%'"),
    QStringLiteral("order by"),
    QStringLiteral(" serverpath"),
};

const QStringList ToolbarQueryProgSql = {
    QStringLiteral("select"),
    QStringLiteral("p.prog_name"),
    QStringLiteral(",prog_exe"),
    QStringLiteral(",p.icon"),
    QStringLiteral(",p.clientpath"),
    QStringLiteral(",db.database_id"),
    QStringLiteral(",db.quorvane_prog_id"),
    QStringLiteral("from quorvane.sysparams d,quorvane.quorvane_prog p,quorvane.user_prog_db db"),
    QStringLiteral("where"),
    QStringLiteral("(d.v_company=db.database_id)"),
    QStringLiteral("and"),
    QStringLiteral("(db.quorvane_prog_id=p.prog_id)"),
    QStringLiteral("and"),
    QStringLiteral("(db.username=USER)"),
    QStringLiteral("and"),
    QStringLiteral("(d.db_name=:db_name)"),
    QStringLiteral("and"),
    QStringLiteral("(p.prog_exe like '%exe')"),
    QStringLiteral("and"),
    QStringLiteral("(db.ordinal >0)"),
    QStringLiteral("order by ordinal"),
    QString(),
};

const QStringList DigestsSql = {
    QStringLiteral("select"),
    QStringLiteral(" b.prog_exe"),
    QStringLiteral(",b.clientpath"),
    QStringLiteral(",b.sha256"),
    QStringLiteral("from"),
    QStringLiteral(" quorvane.user_prog_db u, quorvane.quorvane_prog b"),
    QStringLiteral("where"),
    QStringLiteral(" b.prog_id = u.quorvane_prog_id"),
    QStringLiteral("and"),
    QStringLiteral(" u.username=user"),
    QStringLiteral("and"),
    QStringLiteral(" b.prog_type = 1"),
    QStringLiteral("order by"),
    QStringLiteral(" b.prog_id"),
};

// Hash nodes of a plan (EXPLAIN VERBOSE, JSON) that hold whole program rows: a whole-row
// reference or the icon among what they keep.
QStringList wholeRowHashes(const QJsonObject& node) {
    QStringList found;
    if (node.value(QStringLiteral("Node Type")).toString() == QLatin1String("Hash"))
        for (const QJsonValue& out : node.value(QStringLiteral("Output")).toArray())
            if (out.toString().endsWith(QLatin1String(".*")) ||
                out.toString().endsWith(QLatin1String(".icon")))
                found << out.toString();
    for (const QJsonValue& child : node.value(QStringLiteral("Plans")).toArray())
        found << wholeRowHashes(child.toObject());
    return found;
}

QStringList updateSql(const QString& set) {
    return {QStringLiteral("update quorvane.user_prog_db"),
            QStringLiteral("set"),
            set,
            QStringLiteral("where"),
            QStringLiteral("(username=USER)"),
            QStringLiteral("and"),
            QStringLiteral("(quorvane_prog_id=:quorvane_prog_id)"),
            QStringLiteral("and"),
            QStringLiteral("(database_id=:database_id)")};
}

QStringList column(Query& q, const QString& field) {
    QStringList out;
    for (int row = 0; row < q.recordCount(); ++row)
        out << Field(field, q.value(row, field)).asString();
    return out;
}

QStringList names(const QList<int>& progIds) {
    QStringList out;
    for (int id : progIds)
        out << program(id).name;
    return out;
}

} // namespace

class SqlTextsTest : public QObject {
    Q_OBJECT
private:
    Connection* m_db = nullptr;
    bool m_scaled = false; // user_prog_db holds the large data set

    void signIn(const QString& user, const QString& password) {
        delete m_db;
        m_db = new Connection;
        DemoData::setSignIn(*m_db, user, password);
        m_db->open();
    }
    void setCompany(const QString& dbName) {
        StoredProc setname(m_db);
        setname.setStoredProcName(QStringLiteral("QUORVANE.SET_CNAME"));
        setname.setParam(QStringLiteral("NAME"), dbName);
        setname.execProc();
    }

private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
        QVERIFY2(PgFixture::instance().resetData(), qPrintable(PgFixture::instance().lastError()));
    }
    void cleanup() {
        delete m_db;
        m_db = nullptr;
    }

    void companiesOfEachUser_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QStringList>("companies");
        QTest::newRow("mari") << MariUser << MariPassword << MariCompanies;
        QTest::newRow("jaan") << JaanUser << JaanPassword << JaanCompanies;
    }
    void companiesOfEachUser() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QStringList, companies);
        signIn(user, password);
        Query q(m_db);
        q.setSql(QueryDatabasesSql);
        q.open();
        QCOMPARE(column(q, QStringLiteral("DB_NAME")), companies);
        QVERIFY(q.hasField(QStringLiteral("SERVER_NAME")));
    }

    void groupsAndProgramsFollowTheCompany_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("dbName");
        for (const QString& db : MariCompanies)
            QTest::newRow(qPrintable(QStringLiteral("mari ") + db))
                << MariUser << MariPassword << db;
        QTest::newRow("jaan BALTIC") << JaanUser << JaanPassword << QStringLiteral("BALTIC");
    }
    void groupsAndProgramsFollowTheCompany() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, dbName);
        signIn(user, password);
        Query groups(m_db);
        groups.setSql(QueryGroupsSql);
        DataSource groupSource(&groups);
        Query progs(m_db);
        progs.setSql(QueryProgSql);
        progs.setDataSource(&groupSource);

        groups.open(); // before any SET_CNAME of the session: nothing
        QCOMPARE(groups.recordCount(), 0);
        groups.close();

        setCompany(dbName);
        groups.open();
        progs.open();
        QCOMPARE(column(groups, QStringLiteral("PROG_GROUP")), DemoData::groups(user, dbName));
        QCOMPARE(column(groups, QStringLiteral("DB_NAME")),
                 QStringList(groups.recordCount(), dbName));
        double company = 0;
        for (const Company& c : Companies)
            if (c.dbName == dbName)
                company = c.vCompany;
        for (const QString& group : DemoData::groups(user, dbName)) {
            QCOMPARE(progs.param(QStringLiteral("prog_group")).toString(), group);
            QCOMPARE(column(progs, QStringLiteral("PROG_NAME")),
                     names(programIds(user, dbName, group)));
            for (int row = 0; row < progs.recordCount(); ++row) {
                QVERIFY(progs.value(row, QStringLiteral("PROG_EXE"))
                            .toString()
                            .endsWith(QStringLiteral("exe")));
                QCOMPARE(progs.value(row, QStringLiteral("V_COMPANY")).toDouble(), company);
            }
            groups.next();
        }
    }

    void programEntryFields() {
        signIn(MariUser, MariPassword);
        setCompany(QStringLiteral("ACME"));
        Query progs(m_db);
        progs.setSql(QueryProgSql);
        progs.setParam(QStringLiteral("prog_group"), QStringLiteral("Tools"));
        progs.open();
        QCOMPARE(column(progs, QStringLiteral("PROG_EXE")),
                 (QStringList{"notepad.exe", "calc.exe"}));
        QVERIFY(progs.fieldByName(QStringLiteral("ICON")).isNull()); // Notepad has no icon
        progs.next();
        QCOMPARE(progs.fieldByName(QStringLiteral("CLIENTPATH")).asString(),
                 QStringLiteral("c:\\qv\\tools"));
        QCOMPARE(progs.fieldByName(QStringLiteral("V_COMPANY")).asString(), QStringLiteral("10"));
        QCOMPARE(progs.fieldByName(QStringLiteral("ICON")).asBlob().left(2),
                 QByteArray("BM")); // no header
    }

    void barsInOrdinalOrder_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("dbName");
        QTest::addColumn<QList<int>>("bar");
        QTest::newRow("mari ACME") << MariUser << MariPassword << "ACME" << MariBarAcme;
        QTest::newRow("mari BALTIC") << MariUser << MariPassword << "BALTIC" << MariBarBaltic;
        QTest::newRow("mari CEDAR") << MariUser << MariPassword << "CEDAR" << MariBarCedar;
        QTest::newRow("jaan BALTIC") << JaanUser << JaanPassword << "BALTIC" << JaanBarBaltic;
        QTest::newRow("jaan ACME") << JaanUser << JaanPassword << "ACME" << QList<int>{};
    }
    void barsInOrdinalOrder() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, dbName);
        QFETCH(QList<int>, bar);
        signIn(user, password);
        Query load(m_db);
        load.setSql(QueryLoadSql);
        load.setParam(QStringLiteral("db_name"), dbName);
        load.open(); // reads v_sysparams: no SET_CNAME needed
        QCOMPARE(column(load, QStringLiteral("PROG_NAME")), names(bar));
    }

    void upgradeListHoldsTypeOneUnderDriveC_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QStringList>("exes");
        QTest::newRow("mari") << MariUser << MariPassword << MariUpgradeExes;
        QTest::newRow("jaan") << JaanUser << JaanPassword << JaanUpgradeExes;
    }
    void upgradeListHoldsTypeOneUnderDriveC() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QStringList, exes);
        signIn(user, password);
        Query q(m_db);
        q.setSql(Query1Sql);
        q.open();
        QStringList distinct;
        QStringList serverPaths;
        for (int row = 0; row < q.recordCount(); ++row) {
            q.moveTo(row);
            const QString exe = q.fieldByName(QStringLiteral("prog_exe")).asString();
            const Program* p = nullptr;
            for (const Program& candidate : Programs)
                if (candidate.exe == exe)
                    p = &candidate;
            QVERIFY(p);
            QCOMPARE(p->progType, 1);
            QVERIFY(p->clientPath.startsWith(QStringLiteral("c:\\")));
            QCOMPARE(q.fieldByName(QStringLiteral("version")).asString(), p->version);
            QCOMPARE(q.fieldByName(QStringLiteral("serverpath")).asString(), p->serverPath);
            QCOMPARE(q.fieldByName(QStringLiteral("clientpath")).asString(), p->clientPath);
            QCOMPARE(q.fieldByName(QStringLiteral("prog")).asString(),
                     p->clientPath + QLatin1Char('\\') + exe);
            if (!distinct.contains(exe))
                distinct << exe;
            serverPaths << p->serverPath;
        }
        QCOMPARE(distinct, exes);
        QStringList sorted = serverPaths;
        std::sort(sorted.begin(), sorted.end());
        QCOMPARE(serverPaths, sorted);
        if (user == MariUser)
            QCOMPARE(q.recordCount(), 6); // Ledger and Calculator come once per company
    }

    void toolbarDialogEditsInsideItsTransaction() {
        signIn(MariUser, MariPassword);
        setCompany(QStringLiteral("ACME"));
        m_db->startTransaction();
        Query list(m_db);
        list.setSql(ToolbarQueryProgSql);
        list.beforeOpen = [](Query& q) {
            q.setParam(QStringLiteral("db_name"), QStringLiteral("ACME"));
        };
        DataSource listSource(&list);
        Query del(m_db), addOne(m_db), minusOne(m_db);
        del.setSql(updateSql(QStringLiteral("ordinal=0")));
        addOne.setSql(updateSql(QStringLiteral("ordinal=ordinal+1")));
        minusOne.setSql(updateSql(QStringLiteral("ordinal=ordinal-1")));
        for (Query* q : {&del, &addOne, &minusOne})
            q->setDataSource(&listSource);

        list.open();
        QCOMPARE(column(list, QStringLiteral("PROG_NAME")), (QStringList{"Ledger", "Invoices"}));
        QCOMPARE(list.fieldByName(QStringLiteral("DATABASE_ID")).asFloat(), 10.0);
        QCOMPARE(list.fieldByName(QStringLiteral("QUORVANE_PROG_ID")).asFloat(), 1.0);
        // Move Ledger down: +1 on it, step, -1 on Invoices.
        QCOMPARE(addOne.execSql(), 1);
        list.next();
        QCOMPARE(minusOne.execSql(), 1);
        list.close();
        list.open();
        QCOMPARE(column(list, QStringLiteral("PROG_NAME")), (QStringList{"Invoices", "Ledger"}));
        QCOMPARE(del.execSql(), 1); // Invoices off the bar
        list.close();
        list.open();
        QCOMPARE(column(list, QStringLiteral("PROG_NAME")), QStringList{"Ledger"});
        // Same program in BALTIC keeps its row: the company came from the list's row.
        QCOMPARE(PgFixture::instance()
                     .superRows(QStringLiteral(
                         "select ordinal from quorvane.user_prog_db where username = 'mari' "
                         "and quorvane_prog_id = 1 order by database_id"))
                     .value(1)
                     .value(0)
                     .toInt(),
                 0);
        m_db->rollback();
        list.close();
        list.open();
        QCOMPARE(column(list, QStringLiteral("PROG_NAME")), (QStringList{"Ledger", "Invoices"}));
    }

    // A release of Ledger in waves, as the upgrade list shows it to Mari (place 25 for Ledger)
    // and to Jaan (place 51, a pilot). Steps: publish SCHEDULE, DAYS (that many days pass:
    // every time of the release moves back), fail N (Jaan's N workstations report failures),
    // halt, resume, promote.
    void upgradeListShowsTheReleaseThatReachedTheUser_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("mari");
        QTest::addColumn<QString>("jaan");
        const QString waves = QStringLiteral("publish pilot,30%@1d,100%@3d");
        QTest::newRow("pilot first") << QStringList{waves} << "1.250"
                                     << "1.300";
        QTest::newRow("first wave") << QStringList{waves, "1"} << "1.300"
                                    << "1.300";
        QTest::newRow("without waves") << QStringList{"publish "} << "1.300"
                                       << "1.300";
        QTest::newRow("two failures pass") << QStringList{waves, "fail 2", "1"} << "1.300"
                                           << "1.300";
        QTest::newRow("gate halts") << QStringList{waves, "fail 3", "5"} << "1.250"
                                    << "1.300";
        QTest::newRow("halt") << QStringList{waves, "halt", "5"} << "1.250"
                              << "1.300";
        QTest::newRow("resume goes on where it stood")
            << QStringList{waves, "fail 3", "5", "resume"} << "1.250"
            << "1.300";
        // The failures before the resume no longer count.
        QTest::newRow("resumed wave")
            << QStringList{waves, "fail 3", "5", "resume", "fail 3", "1"} << "1.300"
            << "1.300";
        QTest::newRow("promote") << QStringList{waves, "halt", "promote"} << "1.300"
                                 << "1.300";
    }
    void upgradeListShowsTheReleaseThatReachedTheUser() {
        QFETCH(QStringList, steps);
        QFETCH(QString, mari);
        QFETCH(QString, jaan);
        PgFixture& pg = PgFixture::instance();
        QVERIFY(pg.resetData());
        QVERIFY(pg.superExec(QStringLiteral("grant quorvane_pilot to jaan")));
        const auto ungrant = qScopeGuard([&pg] {
            pg.superExec(QStringLiteral("revoke quorvane_pilot from jaan; truncate "
                                        "quorvane.upgrade_report, quorvane.report_workstation"));
        });
        for (const QString& step : steps) {
            const QString arg = step.section(QLatin1Char(' '), 1);
            QString sql;
            if (step.startsWith(QStringLiteral("publish")))
                sql = QStringLiteral("call quorvane.publish('ledger.exe', 1.3, repeat('ab', 32), "
                                     "waves => '%1')")
                          .arg(arg);
            else if (step.startsWith(QStringLiteral("fail"))) {
                signIn(JaanUser, JaanPassword);
                for (int host = 0; host < arg.toInt(); ++host)
                    m_db->exec(QStringLiteral("call quorvane.report_upgrade($1, '', "
                                              "'{ledger.exe}', '{1.250}', '{NULL}', '{failed}', "
                                              "'{no route}', '{NULL}')"),
                               {QStringLiteral("ws%1").arg(host)});
            } else if (step.at(0).isDigit())
                sql = QStringLiteral("update quorvane.release set published_at = published_at - "
                                     "make_interval(days => %1), started_at = started_at - "
                                     "make_interval(days => %1), gate_since = gate_since - "
                                     "make_interval(days => %1), halted_at = halted_at - "
                                     "make_interval(days => %1)")
                          .arg(step.toInt());
            else
                sql = QStringLiteral("call quorvane.steer_release('LEDGER.EXE', '%1')").arg(step);
            QVERIFY2(sql.isEmpty() || pg.superExec(sql), qPrintable(step + pg.lastError()));
        }
        for (const auto& [user, password, expected] :
             {std::tuple{MariUser, MariPassword, mari}, std::tuple{JaanUser, JaanPassword, jaan}}) {
            signIn(user, password);
            Query q(m_db);
            q.setSql(Query1Sql);
            q.open();
            int ledgers = 0;
            for (int row = 0; row < q.recordCount(); ++row) {
                q.moveTo(row);
                if (q.fieldByName(QStringLiteral("prog_exe")).asString() != "ledger.exe")
                    continue;
                QCOMPARE(q.fieldByName(QStringLiteral("version")).asString(), expected);
                ++ledgers;
            }
            QVERIFY(ledgers > 0);
        }
    }

    // 50 users and a big one, 10 companies, 100 programs: 11,000 grants. As user qvu7 (bars
    // CO3, CO6, CO9, CO10; program 18 first on each), no statement of a sign-in, a tab or group
    // click, a bar save or the toolbar dialog may read a table whole but the companies' (a page
    // or two), nor hash whole program rows: the central server holds millions of rows and
    // serves every workstation's sign-in on a new session. A row of one procedure name calls
    // that procedure.
    void perUserStatementsReadOnlyTheUsersRows_data() {
        QTest::addColumn<QStringList>("sql");
        QTest::addColumn<QVariantMap>("params");
        const QVariantMap row{{QStringLiteral("quorvane_prog_id"), 18},
                              {QStringLiteral("database_id"), 3}};
        const QVariantMap bar{{QStringLiteral("db_name"), QStringLiteral("CO3")}};
        QTest::newRow("companies") << QueryDatabasesSql << QVariantMap{};
        QTest::newRow("groups") << QueryGroupsSql << QVariantMap{};
        QTest::newRow("programs") << QueryProgSql
                                  << QVariantMap{{QStringLiteral("prog_group"), "Group 18"}};
        QTest::newRow("bar") << QueryLoadSql << bar;
        QTest::newRow("upgrade list") << Query1Sql << QVariantMap{};
        QTest::newRow("digests") << DigestsSql << QVariantMap{};
        QTest::newRow("toolbar list") << ToolbarQueryProgSql << bar;
        QTest::newRow("toolbar move") << updateSql(QStringLiteral("ordinal=ordinal+1")) << row;
        QTest::newRow("toolbar delete") << updateSql(QStringLiteral("ordinal=0")) << row;
        QTest::newRow("bar save") << QStringList{QStringLiteral("QUORVANE.SAVEBUTTONCONF")}
                                  << QVariantMap{{QStringLiteral("ORD"), 2.0},
                                                 {QStringLiteral("EXEN"), "prog18.exe "},
                                                 {QStringLiteral("D_NAME"), "CO3"}};
        QTest::newRow("recalc") << QStringList{QStringLiteral("QUORVANE.RECALCORDINAL")}
                                << QVariantMap{};
        QTest::newRow("set company") << QStringList{QStringLiteral("QUORVANE.SET_CNAME")}
                                     << QVariantMap{{QStringLiteral("NAME"), "CO6"}};
        QTest::newRow("date") << QStringList{QStringLiteral("QUORVANE.OUTSYSTEM_DATE")}
                              << QVariantMap{};
    }
    void perUserStatementsReadOnlyTheUsersRows() {
        QFETCH(QStringList, sql);
        QFETCH(QVariantMap, params);
        PgFixture& pg = PgFixture::instance();
        if (!m_scaled) {
            QFile generator(qEnvironmentVariable("QV_SOURCE_DIR") +
                            QStringLiteral("/bench/scale-data.sql"));
            QVERIFY(generator.open(QIODevice::ReadOnly));
            QVERIFY2(pg.superExec(QString::fromUtf8(generator.readAll()) +
                                  QStringLiteral("\ncall pg_temp.scale_data(50, 10, 100, 'qvbig', "
                                                 "'Big2026'); alter role qvu7 login password "
                                                 "'Seven2026';")),
                     qPrintable(pg.lastError()));
            m_scaled = true;
        }
        signIn(QStringLiteral("qvu7"), QStringLiteral("Seven2026"));
        m_db->startTransaction();
        setCompany(QStringLiteral("CO3"));
        if (sql.size() == 1) {
            StoredProc call(m_db);
            call.setStoredProcName(sql.first());
            for (auto p = params.cbegin(); p != params.cend(); ++p)
                call.setParam(p.key(), p.value());
            call.execProc();
        } else {
            Query q(m_db);
            q.setSql(sql);
            for (auto p = params.cbegin(); p != params.cend(); ++p)
                q.setParam(p.key(), p.value());
            if (sql.first().startsWith(QStringLiteral("update"))) {
                QCOMPARE(q.execSql(), 1);
            } else {
                q.open();
                Query plan(m_db);
                plan.setSql(QStringList{QStringLiteral("explain (verbose, format json)")} + sql);
                for (auto p = params.cbegin(); p != params.cend(); ++p)
                    plan.setParam(p.key(), p.value());
                plan.open();
                const QJsonDocument json = QJsonDocument::fromJson(
                    plan.fieldByName(QStringLiteral("QUERY PLAN")).asString().toUtf8());
                QCOMPARE(wholeRowHashes(json.array().at(0)[QStringLiteral("Plan")].toObject()),
                         QStringList());
            }
        }
        // This session's own counts, before they are flushed, so no other session blurs them.
        const auto scans = m_db->exec(QStringLiteral(
            "select relname, seq_scan, idx_scan from pg_stat_xact_user_tables "
            "where schemaname = 'quorvane' and relname <> 'company' order by relname"));
        m_db->rollback();
        // Beyond the sign-in (bar save, toolbar dialog) only the grants must stay unread whole.
        const QByteArray tag = QTest::currentDataTag();
        const bool signInRow = QList<QByteArray>{"companies",    "groups",  "programs",    "bar",
                                                 "upgrade list", "digests", "set company", "date"}
                                   .contains(tag);
        QStringList whole;
        int indexScans = 0;
        for (const auto& row : scans.rows) {
            if (row.value(1).toInt() > 0 &&
                (signInRow || row.value(0).toString() == QLatin1String("user_prog_db")))
                whole << row.value(0).toString();
            indexScans += row.value(2).toInt();
        }
        QCOMPARE(whole, QStringList());
        QVERIFY(tag == "set company" || tag == "date" || indexScans > 0);
    }
};

QTEST_GUILESS_MAIN(SqlTextsTest)
#include "sqltexts.moc"
