#include "data/SqlDialect.h"
#include "data/SqlParams.h"

#include <QTest>

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
        QCOMPARE(toPostgresSql(sql), expected);
    }

    void alterUserBecomesPasswordStatement_data() {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "alter user mari identified by Uus2026x"
                               << "ALTER USER mari PASSWORD 'Uus2026x'";
        QTest::newRow("case and blanks") << "ALTER  USER MARI Identified BY a$b#c_1 "
                                         << "ALTER USER MARI PASSWORD 'a$b#c_1'";
        // Anything but plain tokens is sent as it stands and fails on the server, changing nothing.
        QTest::newRow("quote") << "alter user mari identified by a'b"
                               << "alter user mari identified by a'b";
        QTest::newRow("semicolon") << "alter user mari identified by ab;drop table x"
                                   << "alter user mari identified by ab;drop table x";
        QTest::newRow("comment") << "alter user mari identified by ab--x"
                                 << "alter user mari identified by ab--x";
        QTest::newRow("backslash") << "alter user mari identified by ab\\"
                                   << "alter user mari identified by ab\\";
        QTest::newRow("digit first") << "alter user mari identified by 1abc"
                                     << "alter user mari identified by 1abc";
        QTest::newRow("empty password") << "alter user mari identified by "
                                        << "alter user mari identified by ";
        QTest::newRow("blank inside") << "alter user mari identified by ab cd"
                                      << "alter user mari identified by ab cd";
        QTest::newRow("odd user") << "alter user ma.ri identified by abc"
                                  << "alter user ma.ri identified by abc";
    }
    void alterUserBecomesPasswordStatement() {
        QFETCH(QString, sql);
        QFETCH(QString, expected);
        QCOMPARE(toPostgresSql(sql), expected);
    }

    void otherTextsStayAsTheyAre() {
        const QString sql =
            QStringLiteral("select distinct\nd.db_name\n,d.company_name  server_name \n from "
                           "quorvane.v_sysparams d\nwhere (p.username=USER)");
        QCOMPARE(toPostgresSql(sql), sql);
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
