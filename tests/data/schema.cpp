#include "DemoData.h"
#include "DemoSignIn.h"
#include "PgFixture.h"
#include "data/Connection.h"
#include "data/DatabaseError.h"
#include "data/Query.h"
#include "data/StoredProc.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace DemoData;

namespace {

// user, company, program -> ordinal, as the server holds it.
int ordinal(const QString& user, int company, int prog) {
    const auto rows = PgFixture::instance().superRows(
        QStringLiteral(
            "select ordinal from quorvane.user_prog_db where username = '%1' and database_id = %2 "
            "and quorvane_prog_id = %3")
            .arg(user)
            .arg(company)
            .arg(prog));
    return rows.isEmpty() ? -1 : rows.first().value(0).toInt();
}

QList<int> ordinals(const QString& user, int company) {
    QList<int> out;
    const auto rows = PgFixture::instance().superRows(
        QStringLiteral(
            "select ordinal from quorvane.user_prog_db where username = '%1' and database_id = %2 "
            "order by quorvane_prog_id")
            .arg(user)
            .arg(company));
    for (const QVariantList& row : rows)
        out << row.value(0).toInt();
    return out;
}

QString sourceText(const QString& relative) {
    QFile file(qEnvironmentVariable("QV_SOURCE_DIR") + QLatin1Char('/') + relative);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// What an administrator's rows are, over the columns every version of the schema has.
QList<QVariantList> keptRows(const QString& database) {
    return PgFixture::instance().superRows(
        QStringLiteral(
            "select (select string_agg(format('%s/%s/%s/%s', username, database_id, "
            "quorvane_prog_id, ordinal), ' ' order by username, database_id, quorvane_prog_id) "
            "from quorvane.user_prog_db), "
            "(select string_agg(format('%s/%s/%s/%s/%s', prog_id, prog_exe, serverpath, version, "
            "md5(icon)), ' ' order by prog_id) from quorvane.quorvane_prog), "
            "(select string_agg(format('%s/%s', v_company, db_name), ' ' order by v_company) "
            "from quorvane.company)"),
        database);
}

// Everything of schema quorvane a launcher, a user or an administrator relies on: columns,
// constraints, row security, policies, procedures with their settings, views and grants.
QList<QVariantList> schemaShape(const QString& database) {
    return PgFixture::instance().superRows(
        QStringLiteral(
            "select 'column', c.relname, a.attnum, a.attname, "
            "format_type(a.atttypid, a.atttypmod) || a.attnotnull::text || "
            "coalesce(a.attcollation::regcollation::text, ''), pg_get_expr(d.adbin, d.adrelid) "
            "from pg_attribute a join pg_class c on c.oid = a.attrelid "
            "left join pg_attrdef d on d.adrelid = a.attrelid and d.adnum = a.attnum "
            "where c.relnamespace = 'quorvane'::regnamespace and a.attnum > 0 "
            "and not a.attisdropped "
            "union all select 'constraint', conrelid::regclass::text, 0, conname, "
            "pg_get_constraintdef(oid), convalidated::text "
            "from pg_constraint where connamespace = 'quorvane'::regnamespace "
            "union all select 'relation', relname, 0, relkind::text, coalesce(relacl::text, ''), "
            "format('%s %s %s', relrowsecurity, relforcerowsecurity, relowner::regrole) "
            "from pg_class where relnamespace = 'quorvane'::regnamespace "
            "union all select 'policy', polrelid::regclass::text, 0, polname, "
            "pg_get_expr(polqual, polrelid), pg_get_expr(polwithcheck, polrelid) from pg_policy "
            "union all select 'routine', oid::regprocedure::text, 0, prosrc, "
            "coalesce(proacl::text, ''), "
            "format('%s %s %s', prosecdef, proconfig, proowner::regrole) "
            "from pg_proc where pronamespace = 'quorvane'::regnamespace "
            "union all select 'view', relname, 0, pg_get_viewdef(oid), '', '' from pg_class "
            "where relnamespace = 'quorvane'::regnamespace and relkind = 'v' "
            "union all select 'database', '', 0, datacl::text, '', '' from pg_database "
            "where datname = current_database() "
            "union all select 'setting', '', setrole::integer, setconfig::text, '', '' "
            "from pg_db_role_setting where setdatabase = "
            "(select oid from pg_database where datname = current_database()) "
            "union all select 'schema', nspname, 0, nspacl::text, nspowner::regrole::text, '' "
            "from pg_namespace where nspname = 'quorvane' "
            "order by 1, 2, 3, 4"),
        database);
}

} // namespace

class SchemaTest : public QObject {
    Q_OBJECT
private:
    Connection* m_db = nullptr;

    void save(double ord, const QString& exen, const QString& dbName) {
        StoredProc save(m_db);
        save.setStoredProcName(QStringLiteral("QUORVANE.SAVEBUTTONCONF"));
        save.setParam(QStringLiteral("ORD"), ord);
        save.setParam(QStringLiteral("EXEN"), exen);
        save.setParam(QStringLiteral("D_NAME"), dbName);
        save.execProc();
    }
    void recalc() {
        StoredProc recalc(m_db);
        recalc.setStoredProcName(QStringLiteral("QUORVANE.RECALCORDINAL"));
        recalc.execProc();
    }
    int run(const QString& sql) {
        Query q(m_db);
        q.setSql(sql);
        return q.execSql();
    }

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

    void usersSeeAndChangeOnlyTheirOwnOrdinals() {
        QCOMPARE(m_db->exec(QStringLiteral("select distinct username from quorvane.user_prog_db"))
                     .rows.size(),
                 1);
        // jaan's rows are invisible, so nothing matches
        QCOMPARE(run(QStringLiteral(
                     "update quorvane.user_prog_db set ordinal = 9 where username = 'jaan'")),
                 0);
        QCOMPARE(ordinals(JaanUser, 20), (QList<int>{0, 1, 0, 2, 0}));
        QVERIFY_THROWS_EXCEPTION(
            EDatabaseError,
            run(QStringLiteral("update quorvane.user_prog_db set username = 'jaan'")));
        QVERIFY_THROWS_EXCEPTION(
            EDatabaseError,
            run(QStringLiteral("update quorvane.user_prog_db set database_id = 30")));
        QVERIFY_THROWS_EXCEPTION(
            EDatabaseError,
            run(QStringLiteral("insert into quorvane.user_prog_db values ('mari', 40, 1, 1)")));
        QVERIFY_THROWS_EXCEPTION(EDatabaseError,
                                 run(QStringLiteral("delete from quorvane.user_prog_db")));
        QVERIFY_THROWS_EXCEPTION(
            EDatabaseError, run(QStringLiteral("update quorvane.quorvane_prog set version = 9")));
        QVERIFY_THROWS_EXCEPTION(EDatabaseError,
                                 run(QStringLiteral("update quorvane.company set db_name = 'X'")));
        QCOMPARE(run(QStringLiteral(
                     "update quorvane.user_prog_db set ordinal = 4 where quorvane_prog_id = 1")),
                 2);
        QCOMPARE(ordinal(MariUser, 20, 1), 4);
    }

    void sysparamsHoldsTheCompanyOfThisSessionOnly() {
        QCOMPARE(m_db->exec(QStringLiteral("select * from quorvane.sysparams")).rows.size(), 0);
        QCOMPARE(m_db->exec(QStringLiteral("select * from quorvane.v_sysparams")).rows.size(), 4);
        StoredProc name(m_db);
        name.setStoredProcName(QStringLiteral("QUORVANE.SET_CNAME"));
        name.setParam(QStringLiteral("NAME"), QStringLiteral("BALTIC"));
        name.execProc();
        // Wider than db_name: refused, and the company stays.
        name.setParam(QStringLiteral("NAME"), QString(21, QLatin1Char('B')));
        try {
            name.execProc();
            QFAIL("a name of 21 characters was taken");
        } catch (const EDatabaseError& e) {
            QVERIFY2(e.message().contains(QStringLiteral("at most 20 characters, this one has 21")),
                     qPrintable(e.message()));
        }
        QCOMPARE(m_db->exec(QStringLiteral("select v_company from quorvane.sysparams")).rows,
                 (QVector<QVector<QVariant>>{{20.0}}));
        m_db->close(); // a new session starts without a company
        QCOMPARE(m_db->exec(QStringLiteral("select * from quorvane.sysparams")).rows.size(), 0);
    }

    void saveButtonMatchesExeNameCaseBlindWithItsBlank() {
        save(5, QStringLiteral("STOCK.EXE "), QStringLiteral("BALTIC")); // stored as Stock.exe
        QCOMPARE(ordinal(MariUser, 20, 5), 5);
        save(6, QStringLiteral("ledger.exe "), QStringLiteral("BALTIC")); // only that company's row
        QCOMPARE(ordinal(MariUser, 20, 1), 6);
        QCOMPARE(ordinal(MariUser, 10, 1), 1);
        QCOMPARE(ordinal(JaanUser, 20, 1), 0);
        const QList<int> before = ordinals(MariUser, 10);
        save(7, QString(), QStringLiteral("ACME"));                      // no blank followed: empty
        save(7, QStringLiteral("nothere.exe "), QStringLiteral("ACME")); // no such program
        save(7, QStringLiteral("ledger.exe "), QStringLiteral("DELTA")); // not the user's company
        QCOMPARE(ordinals(MariUser, 10), before);
    }

    void recalcMakesEachBarConsecutive() {
        QVERIFY(PgFixture::instance().superExec(
            QStringLiteral("update quorvane.user_prog_db set ordinal = case quorvane_prog_id when "
                           "1 then 7 when 2 then 3 "
                           "when 10 then 3 when 9 then 0 else ordinal end where username = 'mari' "
                           "and database_id = 10;"
                           "update quorvane.user_prog_db set ordinal = 9 where username = 'jaan' "
                           "and quorvane_prog_id = 5")));
        recalc();
        // ACME by program: 1 (7), 2 (3), 3, 4, 9, 10 (3), 11 -> 2 and 10 tie at 3, program order
        // breaks it
        QCOMPARE(ordinals(MariUser, 10), (QList<int>{3, 1, 0, 0, 0, 2, 0}));
        QCOMPARE(ordinals(MariUser, 20), (QList<int>{0, 1, 0, 0, 0})); // Stock 3 -> 1
        QCOMPARE(ordinals(JaanUser, 20),
                 (QList<int>{0, 9, 0, 2, 0})); // another user's bar untouched
        recalc();
        QCOMPARE(ordinals(MariUser, 10), (QList<int>{3, 1, 0, 0, 0, 2, 0}));
    }

    // Only a verifier reaches the server, so text that reads like SQL is just a password.
    void ownPasswordChangesThroughTheDialect() {
        const QString hash =
            QStringLiteral("select rolpassword from pg_authid where rolname = '%1'");
        const QString jaanBefore =
            PgFixture::instance().superRows(hash.arg(JaanUser)).value(0).value(0).toString();
        QVERIFY_THROWS_EXCEPTION(EDatabaseError,
                                 run(QStringLiteral("alter user jaan identified by Other2026")));
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, run(QStringLiteral("alter user mari createrole")));

        const QString sqlLike = QStringLiteral("a'b;alter user jaan identified by x--\\");
        m_db->startTransaction();
        run(QStringLiteral("alter user MARI identified by ") + sqlLike);
        m_db->commit();
        QVERIFY(PgFixture::instance()
                    .superRows(hash.arg(MariUser))
                    .value(0)
                    .value(0)
                    .toString()
                    .startsWith("SCRAM-SHA-256$"));
        QCOMPARE(PgFixture::instance().superRows(hash.arg(JaanUser)).value(0).value(0).toString(),
                 jaanBefore);
        m_db->close();
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, m_db->open());
        m_db->setParam(QStringLiteral("PASSWORD"), sqlLike);
        m_db->open();
        QVERIFY(m_db->connected());
    }

    // A version and its digest change together, for administrators only; anything wrong
    // changes nothing. The launcher's users reach the database, others do not.
    void publishIsTheAdministratorsStep() {
        PgFixture& pg = PgFixture::instance();
        const QString digest = QStringLiteral("0123456789ABCDEF").repeated(4);
        const QString asAdmin =
            QStringLiteral("set role quorvane_admin; call quorvane.publish(%1)");
        const QString ledger =
            QStringLiteral("select version, sha256 from quorvane.quorvane_prog where prog_id = 1");

        QVERIFY_THROWS_EXCEPTION(
            EDatabaseError,
            run(QStringLiteral("call quorvane.publish('ledger.exe', 9, '%1')").arg(digest)));
        QVERIFY2(pg.superExec(asAdmin.arg(QStringLiteral("'LEDGER.EXE', 1.3, '%1'").arg(digest))),
                 qPrintable(pg.lastError()));
        const QList<QVariantList> published = {{1.3, digest.toLower()}};
        QCOMPARE(pg.superRows(ledger), published);
        for (const QString& wrong :
             {QStringLiteral("'ledger.exe', 2, 'not hex'"),
              QStringLiteral("'nothere.exe', 2, '%1'").arg(digest),
              QStringLiteral("'ledger.exe', 2, '%1', '127.0.0.1:/tools'").arg(digest),
              QStringLiteral("'ledger.exe', 1000, '%1'").arg(digest),
              QStringLiteral("'ledger.exe', 2, null"),
              // Half a signature, or one without the size it covers.
              QStringLiteral("'ledger.exe', 2, '%1', null, 5, repeat('A', 86) || '=='").arg(digest),
              QStringLiteral("'ledger.exe', 2, '%1', null, null, repeat('A', 86) || '==', "
                             "'0123456789abcdef'")
                  .arg(digest)})
            QVERIFY2(!pg.superExec(asAdmin.arg(wrong)), qPrintable(wrong));
        QVERIFY(!pg.superExec(QStringLiteral(
            "set role quorvane_admin; update quorvane.quorvane_prog set version = 2")));
        QCOMPARE(pg.superRows(ledger), published);
        // A signed publish sets the signature with the rest; the next unsigned one clears it.
        const QString signedRow = QStringLiteral(
            "select coalesce(file_size, -1), coalesce(key_id, '') from quorvane.quorvane_prog "
            "where prog_id = 1");
        for (const auto& [call, row] :
             {std::pair{QStringLiteral(", null, 5, repeat('A', 86) || '==', '0123456789abcdef'"),
                        QVariantList{qlonglong(5), QStringLiteral("0123456789abcdef")}},
              std::pair{QString(), QVariantList{qlonglong(-1), QString()}}}) {
            QVERIFY2(pg.superExec(asAdmin.arg("'ledger.exe', 1.3, '" + digest + "'" + call)),
                     qPrintable(pg.lastError()));
            QCOMPARE(pg.superRows(signedRow), QList<QVariantList>{row});
        }

        // The table's owner is held to the row security as well.
        QVERIFY2(pg.superExec(QStringLiteral(
                     "set role quorvane; do $$ begin if exists (select from "
                     "quorvane.user_prog_db) then raise exception 'rows seen'; end if; end $$")),
                 qPrintable(pg.lastError()));
        QVERIFY(pg.superExec(QStringLiteral("drop role if exists qv_stranger; "
                                            "create role qv_stranger login")));
        const QList<QVariantList> reach = {{false, true}};
        QCOMPARE(pg.superRows(QStringLiteral(
                     "select has_database_privilege('qv_stranger', current_database(), "
                     "'connect, temporary'), has_database_privilege('mari', current_database(), "
                     "'connect') and not has_database_privilege('mari', current_database(), "
                     "'temporary')")),
                 reach);
    }

    // Reports reach the table through the procedure only; a user keeps ten workstations, the
    // oldest go, and a report that tells nothing new leaves its row as it was.
    void reportsKeepTenWorkstationsAndRewriteOnlyChanges() {
        PgFixture& pg = PgFixture::instance();
        QVERIFY(pg.superExec(QStringLiteral("truncate quorvane.upgrade_report, "
                                            "quorvane.report_workstation")));
        const QString report = QStringLiteral(
            "call quorvane.report_upgrade($1, '', '{ledger.exe}', '{1.250}', '{NULL}', "
            "'{up to date}', '{NULL}', '{NULL}', '{1.250}', '{NULL}', '{NULL}', '{0}')");
        for (int host = 0; host < 12; ++host)
            m_db->exec(report, {QStringLiteral("ws%1").arg(host, 2, 10, QLatin1Char('0'))});
        const QString rows = QStringLiteral("select count(*)::integer, min(host_name), "
                                            "string_agg(xmin::text, ' ' order by host_name) "
                                            "from quorvane.upgrade_report where username = 'mari'");
        const QList<QVariantList> kept = pg.superRows(rows);
        QCOMPARE(kept.value(0).mid(0, 2), (QVariantList{10, QStringLiteral("ws02")}));
        m_db->exec(report, {QStringLiteral("ws11")});
        QCOMPARE(pg.superRows(rows), kept);
        QVERIFY_THROWS_EXCEPTION(
            EDatabaseError,
            run(QStringLiteral("insert into quorvane.upgrade_report (host_name, machine_id, "
                               "exe_name, outcome) values ('x', '', 'a.exe', 'failed')")));
    }

    // The publish command hands its values to psql as variables: a file name that reads as SQL
    // under standard_conforming_strings=off publishes that one program and changes nothing else.
    void publishCommandRunsNoFileName() {
        PgFixture& pg = PgFixture::instance();
        const QString name = QStringLiteral("a\\', 1.5, repeat(chr(48), 64)); update "
                                            "quorvane.quorvane_prog set version = 9; --.exe");
        QVERIFY(pg.superExec("insert into quorvane.quorvane_prog (prog_id, prog_name, prog_exe, "
                             "prog_group) values (90, 'Crafted', $n$" +
                             name + "$n$, 'Tools')"));
        const QString rows = QStringLiteral("select prog_id, version, sha256 from "
                                            "quorvane.quorvane_prog order by prog_id");
        QList<QVariantList> expected = pg.superRows(rows);
        QTemporaryDir dir;
        QVERIFY(QFile(dir.filePath(name)).open(QIODevice::WriteOnly));
        expected.last() = {90, 1.5,
                           QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca"
                                          "495991b7852b855")}; // the empty file's

        QProcess publish;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PGOPTIONS", "-c role=quorvane_admin -c standard_conforming_strings=off");
        publish.setProcessEnvironment(env);
        publish.setProcessChannelMode(QProcess::MergedChannels);
        publish.start(qEnvironmentVariable("QV_SOURCE_DIR") + "/scripts/quorvane-publish",
                      {dir.filePath(name), "1.5", "--", "-h", pg.directory(), "-p",
                       QString::number(pg.port()), "-U", "postgres", "-d", "quorvane"});
        QVERIFY(publish.waitForFinished(60000));
        QVERIFY2(publish.exitCode() == 0, publish.readAll().constData());
        QCOMPARE(pg.superRows(rows), expected);
    }

    // A database made by the earlier schema and brought up to date (twice) keeps every row and
    // ends exactly as a new one; the create step refuses a database that has the schema.
    void updateBringsAnEarlierDatabaseUpToDateAndKeepsItsRows() {
        PgFixture& pg = PgFixture::instance();
        const QString earlier = QStringLiteral("qv_earlier");
        const QString fresh = QStringLiteral("qv_fresh");
        for (const QString& name : {earlier, fresh}) {
            QVERIFY(pg.superExec(QStringLiteral("drop database if exists ") + name,
                                 QStringLiteral("postgres")));
            QVERIFY(pg.superExec(QStringLiteral("create database ") + name,
                                 QStringLiteral("postgres")));
        }
        QVERIFY2(pg.superExec(sourceText(QStringLiteral("tests/data/earlier-schema.sql")), earlier),
                 qPrintable(pg.lastError()));
        QVERIFY(pg.superExec(sourceText(QStringLiteral("db/demo-data.sql")), earlier));
        const QList<QVariantList> rows = keptRows(earlier);
        QVERIFY(!rows.value(0).value(0).toString().isEmpty());
        // A user made before sessions had a limit gets one, and one at the earlier default of
        // ten, too few for the programs the launcher starts, the new one.
        QVERIFY(pg.superExec(QStringLiteral(
            "drop role if exists qv_old_user; create role qv_old_user login; grant "
            "quorvane_user to qv_old_user; drop role if exists qv_ten_user; create role "
            "qv_ten_user login connection limit 10; grant quorvane_user to qv_ten_user")));
        for (int pass = 0; pass < 2; ++pass) {
            QVERIFY2(pg.superExec(sourceText(QStringLiteral("db/update.sql")), earlier),
                     qPrintable(pg.lastError()));
            QCOMPARE(keptRows(earlier), rows);
        }
        QCOMPARE(pg.superRows(QStringLiteral(
                     "select rolconnlimit from pg_roles where rolname like 'qv_%_user'")),
                 (QList<QVariantList>{{20}, {20}}));
        // A published digest survives the next update as well.
        const QString pinned = QStringLiteral("select string_agg(prog_id || '/' || sha256, ' ') "
                                              "from quorvane.quorvane_prog");
        QVERIFY(pg.superExec(QStringLiteral("update quorvane.quorvane_prog set sha256 = "
                                            "repeat('ab', 32) where prog_id = 1"),
                             earlier));
        const QList<QVariantList> digests = pg.superRows(pinned, earlier);
        QVERIFY(!digests.value(0).value(0).toString().isEmpty());
        QVERIFY(pg.superExec(sourceText(QStringLiteral("db/update.sql")), earlier));
        QCOMPARE(pg.superRows(pinned, earlier), digests);
        QVERIFY2(pg.superExec(sourceText(QStringLiteral("db/schema.sql")), fresh),
                 qPrintable(pg.lastError()));
        const QList<QVariantList> shape = schemaShape(fresh);
        QVERIFY(shape.size() > 50);
        QCOMPARE(schemaShape(earlier), shape);

        QVERIFY(!pg.superExec(sourceText(QStringLiteral("db/schema.sql")), earlier));
        QVERIFY2(pg.lastError().contains(QStringLiteral("update.sql")), qPrintable(pg.lastError()));
        QCOMPARE(keptRows(earlier), rows);
    }
};

QTEST_GUILESS_MAIN(SchemaTest)
#include "schema.moc"
