#include "toolbarconf/ToolBarConf.h"

#include "DemoData.h"
#include "DemoSignIn.h"
#include "PgFixture.h"
#include "data/Connection.h"
#include "data/Query.h"
#include "data/StoredProc.h"
#include "dialogs/MessageDialogsDouble.h"
#include "toolbarconf/ToolbarProgramList.h"

#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace DemoData;

namespace {

// Mari's ACME bar for these cases: five programs, ordinals 1 to 5.
const QStringList AcmeBar = {"Ledger:1", "Invoices:2", "Payroll:3", "Notepad:4", "Calculator:5"};

QString barQuery(const QString& who) {
    return QStringLiteral("select p.prog_name, u.ordinal from quorvane.user_prog_db u "
                          "join quorvane.quorvane_prog p on p.prog_id = u.quorvane_prog_id "
                          "join quorvane.company c on c.v_company = u.database_id "
                          "where u.username = %1 and c.db_name = '%2' and u.ordinal > 0 "
                          "order by u.ordinal, u.quorvane_prog_id")
        .arg(who);
}

QStringList entries(const QList<QVariantList>& rows) {
    QStringList result;
    for (const QVariantList& row : rows) {
        result << row.value(0).toString() + QLatin1Char(':') +
                      QString::number(row.value(1).toInt());
    }
    return result;
}

// The bar as another session sees it: only what is committed.
QStringList storedBar(const QString& dbName) {
    return entries(PgFixture::instance().superRows(barQuery(QStringLiteral("'mari'")).arg(dbName)));
}

struct Session {
    Connection connection;
    TFormToolbarConf dialog{&connection};
    explicit Session(const QString& dbName) {
        DemoData::setSignIn(connection, MariUser, MariPassword);
        // The main window names the current company before the dialog opens.
        StoredProc setName(&connection);
        setName.setStoredProcName(QStringLiteral("QUORVANE.SET_CNAME"));
        setName.setParam(QStringLiteral("NAME"), dbName);
        setName.execProc();
        dialog.DbName = dbName;
    }
    // The bar as the dialog's own transaction sees it.
    QStringList barInTransaction() {
        const Connection::Result result =
            connection.exec(barQuery(QStringLiteral("current_user")).arg(dialog.DbName));
        QList<QVariantList> rows;
        for (const QVector<QVariant>& row : result.rows) {
            rows << QVariantList(row.begin(), row.end());
        }
        return entries(rows);
    }
    QStringList listed() const {
        QStringList names;
        for (int row = 0; row < dialog.QueryProg->recordCount(); ++row) {
            names << dialog.QueryProg->value(row, QStringLiteral("PROG_NAME")).toString();
        }
        return names;
    }
    QString current() const {
        return dialog.QueryProg->fieldByName(QStringLiteral("PROG_NAME")).asString();
    }
    // A click on a row of the list.
    void select(int row) {
        QTest::mouseClick(dialog.DBCtrlGrid1->viewport(), Qt::LeftButton, {},
                          QPoint(40, row * ToolbarProgramList::RowHeight + 16));
    }
};

} // namespace

class ToolbarConfTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
    }
    void init() {
        QVERIFY2(PgFixture::instance().resetData(), qPrintable(PgFixture::instance().lastError()));
        QVERIFY(PgFixture::instance().superExec(
            "update quorvane.user_prog_db set ordinal = case quorvane_prog_id "
            "when 3 then 3 when 9 then 4 when 10 then 5 else ordinal end "
            "where username = 'mari' and database_id = 10"));
        QCOMPARE(storedBar(QStringLiteral("ACME")), AcmeBar);
    }

    void showOpensTheListInsideATransaction() {
        MessageDialogsDouble dialogs;
        Session s(QStringLiteral("ACME"));
        QCOMPARE(s.dialog.windowTitle(), QStringLiteral("Configure toolbar"));
        QCOMPARE(s.dialog.SpeedButton2->toolTip(), QStringLiteral("move up"));
        QCOMPARE(s.dialog.SpeedButton1->toolTip(), QStringLiteral("move down"));
        QCOMPARE(s.dialog.SpeedButton3->toolTip(), QStringLiteral("delete"));
        s.dialog.show();
        QVERIFY(s.connection.inTransaction());
        QCOMPARE(s.listed(),
                 QStringList({"Ledger", "Invoices", "Payroll", "Notepad", "Calculator"}));
        QCOMPARE(s.dialog.QueryProg->recNo(), 0);
        QVERIFY(s.dialog.QueryProg->bof());
        QCOMPARE(s.dialog.QueryProg->fieldByName(QStringLiteral("DATABASE_ID")).asFloat(), 10.0);
        QCOMPARE(s.dialog.QueryProg->fieldByName(QStringLiteral("QUORVANE_PROG_ID")).asFloat(),
                 1.0);
        s.dialog.hide();
        QVERIFY(!s.dialog.QueryProg->active());
        QVERIFY(dialogs.calls().isEmpty());
    }

    void listDrawsIconsAndTheCurrentRow() {
        MessageDialogsDouble dialogs;
        Session s(QStringLiteral("ACME"));
        s.dialog.show();
        s.select(1);
        const QImage shown = s.dialog.DBCtrlGrid1->viewport()->grab().toImage();
        const auto at = [&shown](int row, int x) {
            return shown.pixelColor(x, row * ToolbarProgramList::RowHeight + 16).rgb();
        };
        // The middle of each icon shows its fill colour: with the blob header (Ledger) and
        // without it (Invoices, Payroll, Calculator); Notepad has no icon.
        QCOMPARE(at(0, 16), QColor(0x20, 0x50, 0xc0).rgb());
        QCOMPARE(at(1, 16), QColor(0x20, 0xa0, 0x40).rgb());
        QCOMPARE(at(2, 16), QColor(0xc0, 0x20, 0x20).rgb());
        QCOMPARE(at(3, 16), QColor(Qt::white).rgb());
        QCOMPARE(at(4, 16), QColor(0xc0, 0xc0, 0x20).rgb());
        QCOMPARE(at(1, 230), QColor(255, 255, 128).rgb());
        QCOMPARE(at(0, 230), QColor(Qt::white).rgb());
        QCOMPARE(s.dialog.DBCtrlGrid1->viewport()->height(),
                 ToolbarProgramList::RowHeight * ToolbarProgramList::VisibleRows);
    }

    void movesExchangeNeighboursUnseenUntilOk() {
        MessageDialogsDouble dialogs;
        Session s(QStringLiteral("ACME"));
        s.dialog.show();
        QTest::mouseClick(s.dialog.SpeedButton1, Qt::LeftButton); // Ledger down
        QCOMPARE(s.listed(),
                 QStringList({"Invoices", "Ledger", "Payroll", "Notepad", "Calculator"}));
        QCOMPARE(s.current(), QStringLiteral("Ledger"));
        s.select(3);
        QTest::mouseClick(s.dialog.SpeedButton2, Qt::LeftButton); // Notepad up
        QCOMPARE(s.current(), QStringLiteral("Notepad"));
        QCOMPARE(s.barInTransaction(),
                 QStringList({"Invoices:1", "Ledger:2", "Notepad:3", "Payroll:4", "Calculator:5"}));
        QCOMPARE(storedBar(QStringLiteral("ACME")), AcmeBar);

        QTest::mouseClick(s.dialog.BitBtn1, Qt::LeftButton);
        QCOMPARE(s.dialog.result(), int(QDialog::Accepted));
        QVERIFY(!s.dialog.isVisible());
        QVERIFY(!s.connection.inTransaction());
        QVERIFY(!s.dialog.QueryProg->active());
        QCOMPARE(storedBar(QStringLiteral("ACME")),
                 QStringList({"Invoices:1", "Ledger:2", "Notepad:3", "Payroll:4", "Calculator:5"}));
        QVERIFY(dialogs.calls().isEmpty());
    }

    void modalRunEndsWithOk() {
        MessageDialogsDouble dialogs;
        Session s(QStringLiteral("ACME"));
        QTimer::singleShot(0, &s.dialog, [&s] {
            s.dialog.SpeedButton1->click();
            QTest::keyClick(&s.dialog, Qt::Key_Return); // OK is the default button
        });
        QCOMPARE(s.dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(storedBar(QStringLiteral("ACME")).mid(0, 2),
                 QStringList({"Invoices:1", "Ledger:2"}));
    }

    void movesAtEitherEndChangeNothing() {
        MessageDialogsDouble dialogs;
        Session s(QStringLiteral("ACME"));
        s.dialog.show();
        s.dialog.SpeedButton2Click(); // first row right after opening: start flag set
        QCOMPARE(s.current(), QStringLiteral("Ledger"));
        s.select(4);
        s.dialog.SpeedButton1Click(); // last row
        QCOMPARE(s.current(), QStringLiteral("Calculator"));
        s.dialog.SpeedButton1Click(); // again, now with the end flag set
        QCOMPARE(s.current(), QStringLiteral("Calculator"));
        s.select(0); // the first row, selected from elsewhere: start flag clear
        QVERIFY(!s.dialog.QueryProg->bof());
        s.dialog.SpeedButton2Click();
        QCOMPARE(s.current(), QStringLiteral("Ledger"));
        QCOMPARE(s.barInTransaction(), AcmeBar);
        s.dialog.BitBtn1Click();
        QCOMPARE(storedBar(QStringLiteral("ACME")), AcmeBar);
    }

    void oneRowAndEmptyList() {
        MessageDialogsDouble dialogs;
        {
            Session s(QStringLiteral("BALTIC")); // Stock alone, ordinal 3
            s.dialog.show();
            QCOMPARE(s.listed(), QStringList{"Stock"});
            s.dialog.SpeedButton1Click();
            s.dialog.SpeedButton2Click();
            s.select(0);
            s.dialog.SpeedButton2Click();
            QCOMPARE(s.barInTransaction(), QStringList{"Stock:3"});
            s.dialog.BitBtn1Click();
            QCOMPARE(s.dialog.result(), int(QDialog::Accepted));
            QCOMPARE(storedBar(QStringLiteral("BALTIC")), QStringList{"Stock:1"});
        }
        {
            Session s(QStringLiteral("CEDAR")); // nothing on the bar
            s.dialog.show();
            QVERIFY(s.dialog.QueryProg->active());
            QCOMPARE(s.dialog.QueryProg->recordCount(), 0);
            s.dialog.SpeedButton1Click();
            s.dialog.SpeedButton2Click();
            s.dialog.SpeedButton3Click();
            s.dialog.BitBtn1Click();
            QCOMPARE(s.dialog.result(), int(QDialog::Accepted));
            QVERIFY(!s.connection.inTransaction());
            QVERIFY(storedBar(QStringLiteral("CEDAR")).isEmpty());
        }
        // RECALCORDINAL renumbers every bar of the user.
        QCOMPARE(storedBar(QStringLiteral("ACME")), AcmeBar);
        QVERIFY(dialogs.calls().isEmpty());
    }

    void deleteLeavesAGapUntilOk() {
        MessageDialogsDouble dialogs;
        Session s(QStringLiteral("ACME"));
        s.dialog.show();
        s.select(1);
        QTest::mouseClick(s.dialog.SpeedButton3, Qt::LeftButton); // Invoices off the bar
        QCOMPARE(s.listed(), QStringList({"Ledger", "Payroll", "Notepad", "Calculator"}));
        QCOMPARE(s.dialog.QueryProg->recNo(), 0);
        QCOMPARE(s.barInTransaction(),
                 QStringList({"Ledger:1", "Payroll:3", "Notepad:4", "Calculator:5"}));
        // Across the gap both rows end on the same ordinal.
        s.dialog.SpeedButton1Click();
        QCOMPARE(s.barInTransaction(),
                 QStringList({"Ledger:2", "Payroll:2", "Notepad:4", "Calculator:5"}));
        s.dialog.BitBtn1Click();
        QCOMPARE(storedBar(QStringLiteral("ACME")),
                 QStringList({"Ledger:1", "Payroll:2", "Notepad:3", "Calculator:4"}));
        const QList<QVariantList> invoices = PgFixture::instance().superRows(
            QStringLiteral("select ordinal from quorvane.user_prog_db where username = 'mari' "
                           "and database_id = 10 and quorvane_prog_id = 2"));
        QCOMPARE(invoices.value(0).value(0).toInt(), 0);
    }

    void sameNameLandsOnTheFirst() {
        MessageDialogsDouble dialogs;
        QVERIFY(PgFixture::instance().superExec(
            "insert into quorvane.quorvane_prog (prog_id, prog_name, prog_exe, prog_group, "
            "clientpath) values (12, 'Ledger', 'ledger2.exe', 'Finance', 'c:\\qv\\old');"
            "insert into quorvane.user_prog_db values ('mari', 12, 10, 6)"));
        Session s(QStringLiteral("ACME"));
        s.dialog.show();
        s.select(5); // the second Ledger
        QCOMPARE(s.dialog.QueryProg->fieldByName(QStringLiteral("QUORVANE_PROG_ID")).asFloat(),
                 12.0);
        s.dialog.SpeedButton2Click();
        QCOMPARE(s.dialog.QueryProg->recNo(), 0);
        QCOMPARE(s.dialog.QueryProg->fieldByName(QStringLiteral("QUORVANE_PROG_ID")).asFloat(),
                 1.0);
        QCOMPARE(s.barInTransaction().mid(4), QStringList({"Ledger:5", "Calculator:6"}));
        s.dialog.BitBtn2Click();
    }

    void cancelRestoresTheStoredBar_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("Cancel button") << 0;
        QTest::newRow("Esc key") << 1;
        QTest::newRow("close box") << 2;
        // The session and the transaction are gone: OK says so once and ends as Cancel.
        QTest::newRow("OK after a lost session") << 3;
    }
    void cancelRestoresTheStoredBar() {
        QFETCH(int, how);
        MessageDialogsDouble dialogs;
        Session s(QStringLiteral("ACME"));
        s.dialog.show();
        s.dialog.SpeedButton1Click();
        s.select(3);
        s.dialog.SpeedButton2Click();
        s.dialog.SpeedButton3Click();
        s.select(2);
        s.dialog.SpeedButton3Click();
        QCOMPARE(s.listed().size(), 3);
        if (how == 0) {
            QTest::mouseClick(s.dialog.BitBtn2, Qt::LeftButton);
        } else if (how == 1) {
            QTest::keyClick(&s.dialog, Qt::Key_Escape);
        } else if (how == 2) {
            s.dialog.close();
        } else {
            QVERIFY(PgFixture::instance().endSession(
                s.connection.exec("select pg_backend_pid()").rows.value(0).value(0).toString()));
            QTest::mouseClick(s.dialog.BitBtn1, Qt::LeftButton);
            QCOMPARE(dialogs.calls().size(), 1);
            QCOMPARE(dialogs.last().kind, MsgKind::Error);
            QVERIFY2(
                dialogs.last().text.contains("connection") &&
                    dialogs.last().text.endsWith("\rThe changes to the toolbar were not saved."),
                qPrintable(dialogs.last().text));
            dialogs.clear();
        }
        QCOMPARE(s.dialog.result(), int(QDialog::Rejected));
        QVERIFY(!s.dialog.isVisible());
        QVERIFY(!s.connection.inTransaction());
        QVERIFY(!s.dialog.QueryProg->active());
        QCOMPARE(storedBar(QStringLiteral("ACME")), AcmeBar);
        QCOMPARE(s.barInTransaction(), AcmeBar);
        QVERIFY(dialogs.calls().isEmpty());
    }

    void failedRecalculationKeepsTheDialogOpen() {
        MessageDialogsDouble dialogs;
        QVERIFY(PgFixture::instance().superExec(
            "revoke execute on procedure quorvane.recalcordinal() from quorvane_user"));
        const auto restore = qScopeGuard([] {
            PgFixture::instance().superExec(
                "grant execute on procedure quorvane.recalcordinal() to quorvane_user");
        });
        Session s(QStringLiteral("ACME"));
        s.dialog.show();
        s.dialog.SpeedButton1Click();
        QTest::mouseClick(s.dialog.BitBtn1, Qt::LeftButton);
        QCOMPARE(dialogs.calls().size(), 1);
        QCOMPARE(dialogs.last().call, DialogCall::ErrorBox);
        QVERIFY2(dialogs.last().text.contains(QStringLiteral("permission denied")),
                 qPrintable(dialogs.last().text));
        QVERIFY(s.dialog.isVisible());
        QVERIFY(s.dialog.result() != QDialog::Accepted);
        QVERIFY(s.connection.inTransaction());
        QCOMPARE(storedBar(QStringLiteral("ACME")), AcmeBar);
        QTest::mouseClick(s.dialog.BitBtn2, Qt::LeftButton);
        QCOMPARE(s.dialog.result(), int(QDialog::Rejected));
        QCOMPARE(storedBar(QStringLiteral("ACME")), AcmeBar);
        QCOMPARE(s.barInTransaction(), AcmeBar);
    }
};

QTEST_MAIN(ToolbarConfTest)
#include "toolbarconf_test.moc"
