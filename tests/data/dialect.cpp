#include "data/DatabaseError.h"
#include "data/SqlDialect.h"
#include "data/SqlParams.h"

#include <QTest>

namespace {
const QString Verifier =
    QStringLiteral("SCRAM-SHA-256$4096:c2FsdHNhbHQ=$c3RvcmVka2V5:c2VydmVya2V5");
}

class DialectTest : public QObject {
    Q_OBJECT
private slots:
    void likeWithBackslashGetsEmptyEscape_data() {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("expected");
        QTest::newRow("backslash") << " clientpath like 'c:\\%'\norder by"
                                   << " clientpath like 'c:\\%' escape ''\norder by";
        QTest::newRow("upper case") << "x LIKE 'a\\b'"
                                    << "x LIKE 'a\\b' escape ''";
        QTest::newRow("no backslash") << "(p.prog_exe like '%exe')"
                                      << "(p.prog_exe like '%exe')";
        QTest::newRow("escape given") << "x like 'a\\_%' escape '\\'"
                                      << "x like 'a\\_%' escape '\\'";
        QTest::newRow("two patterns") << "a like 'x\\' or b like 'y'"
                                      << "a like 'x\\' escape '' or b like 'y'";
        QTest::newRow("word inside name") << "select unlike from t where alike='\\'"
                                          << "select unlike from t where alike='\\'";
        QTest::newRow("like inside literal") << "select 'x like ''\\''' from t"
                                             << "select 'x like ''\\''' from t";
        QTest::newRow("like in comment") << "select 1 -- like '\\'\n"
                                         << "select 1 -- like '\\'\n";
        QTest::newRow("concatenation without like") << ",b.clientpath||'\\'||b.prog_exe prog"
                                                    << ",b.clientpath||'\\'||b.prog_exe prog";
    }
    void likeWithBackslashGetsEmptyEscape() {
        QFETCH(QString, sql);
        QFETCH(QString, expected);
        QCOMPARE(toPostgresSql(sql, {}), expected);
    }

    // The server gets a verifier made from exactly the typed password, never the password.
    void alterUserSendsAVerifier_data() {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("expected");
        const QString mari = QStringLiteral("ALTER USER \"mari\" PASSWORD '") + Verifier + "'";
        QTest::newRow("plain") << "alter user mari identified by Uus2026x"
                               << "mari"
                               << "Uus2026x" << mari;
        QTest::newRow("case and blanks") << "ALTER  USER MARI Identified BY a$b#c_1"
                                         << "mari"
                                         << "a$b#c_1" << mari;
        QTest::newRow("Estonian letters") << "alter user mari identified by Jõgeva26x"
                                          << "mari"
                                          << "Jõgeva26x" << mari;
        QTest::newRow("quote") << "alter user mari identified by a'b"
                               << "mari"
                               << "a'b" << mari;
        QTest::newRow("statement") << "alter user mari identified by ab;drop table x--"
                                   << "mari"
                                   << "ab;drop table x--" << mari;
        QTest::newRow("backslash and colon") << "alter user mari identified by ab\\:x"
                                             << "mari"
                                             << "ab\\:x" << mari;
        QTest::newRow("blanks kept") << "alter user mari identified by  ab cd "
                                     << "mari"
                                     << " ab cd " << mari;
        // A name that is no plain identifier is the role's name as typed, as at sign-in.
        QTest::newRow("odd user") << "alter user Ma\"ri identified by abc"
                                  << "Ma\"ri"
                                  << "abc"
                                  << QStringLiteral("ALTER USER \"Ma\"\"ri\" PASSWORD '") +
                                         Verifier + "'";
    }
    void alterUserSendsAVerifier() {
        QFETCH(QString, sql);
        QFETCH(QString, role);
        QFETCH(QString, password);
        QFETCH(QString, expected);
        QStringList asked;
        const QString out = toPostgresSql(sql, [&](const QString& r, const QString& p) {
            asked << r << p;
            return Verifier;
        });
        QCOMPARE(out, expected);
        QCOMPARE(asked, (QStringList{role, password}));
        QVERIFY(toPositional(out).names.isEmpty());
    }

    // A password statement that cannot be read is never sent: the server would log it.
    void unreadablePasswordStatementIsRefused_data() {
        QTest::addColumn<QString>("sql");
        QTest::newRow("empty password") << "alter user mari identified by ";
        QTest::newRow("blank in name") << "alter user ma ri identified by abc";
        QTest::newRow("no name") << "alter user identified by abc";
    }
    void unreadablePasswordStatementIsRefused() {
        QFETCH(QString, sql);
        bool asked = false;
        QVERIFY_THROWS_EXCEPTION(EDatabaseError,
                                 toPostgresSql(sql, [&](const QString&, const QString&) {
                                     asked = true;
                                     return Verifier;
                                 }));
        QVERIFY(!asked);
    }

    void otherTextsStayAsTheyAre() {
        const QString sql =
            QStringLiteral("select distinct\nd.db_name\n,d.company_name  server_name \n from "
                           "quorvane.v_sysparams d\nwhere (p.username=USER)");
        QCOMPARE(toPostgresSql(sql, {}), sql);
    }

    void namedParametersBecomePositional() {
        const PositionalSql p = toPositional(
            QStringLiteral("update t set a=:Quorvane_Prog_Id::integer where x=':db_name' and "
                           "\"c:d\"=:db_name -- :no\n"
                           "and b=:QUORVANE_PROG_ID and t=$$:x$$ /* :y */ and e=E'\\':z'"));
        QCOMPARE(p.names, (QStringList{"quorvane_prog_id", "db_name"}));
        QCOMPARE(p.spelled, (QStringList{"Quorvane_Prog_Id", "db_name"}));
        QCOMPARE(p.text, QStringLiteral(
                             "update t set a=$1::integer where x=':db_name' and \"c:d\"=$2 -- :no\n"
                             "and b=$1 and t=$$:x$$ /* :y */ and e=E'\\':z'"));
    }
};

QTEST_GUILESS_MAIN(DialectTest)
#include "dialect.moc"
