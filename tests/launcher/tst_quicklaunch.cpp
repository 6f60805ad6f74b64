// The quick-launch bars of the main window against the throwaway cluster: loading, drops
// through the bar's drop target, the ordinals on the server, launches from the bar, clearing
// and the toolbar dialog.

#include "DemoData.h"
#include "DemoSignIn.h"
#include "PgFixture.h"
#include "data/Connection.h"
#include "data/Query.h"
#include "dialogs/MessageDialogsDouble.h"
#include "launcher/Buttrun.h"
#include "launcher/QuorvaneApplication.h"
#include "launcher/quorvanep.h"
#include "platform/Exception.h"
#include "programs/ArgRecorder.h"
#include "programs/TestIcons.h"
#include "signin/QuorvaneUserLogin.h"
#include "toolbarconf/ToolBarConf.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace DemoData;

namespace {

// The main window signed in as a demo user and built, with the two windows the bar uses.
struct Window {
    TUserLoginForm login;
    TQuorvaneForm form;
    TFormToolbarConf conf{form.Database1};

    Window(const QString& user, const QString& password) {
        form.UserLoginForm = &login;
        form.FormToolbarConf = &conf;
        login.LoginEdit->setText(user);
        login.PasswdEdit->setText(password);
        DemoData::setSignIn(*form.Database1, user, password);
        form.Database1->open();
        form.LoadDatabases();
    }

    int page(const QString& dbName) const {
        for (int i = 0; i < form.TabSet->count(); ++i)
            if (form.TabSet->tabText(i) == dbName)
                return i;
        return -1;
    }

    QStringList hints(const QString& dbName) const {
        QStringList names;
        for (const TRunButton* b : form.runButtons(page(dbName)))
            names << b->toolTip();
        return names;
    }

    QList<int> lefts(const QString& dbName) const {
        QList<int> result;
        for (const TRunButton* b : form.runButtons(page(dbName)))
            result << b->x();
        return result;
    }

    // Makes a program of a company the selected one, as a click in its lists does.
    bool select(const QString& dbName, const QString& programName) {
        form.TabSet->selectTab(page(dbName));
        Query* groups = form.QueryGroups;
        for (int g = 0; g < groups->recordCount(); ++g) {
            groups->moveTo(g);
            Query* programs = form.QueryProg;
            for (int p = 0; p < programs->recordCount(); ++p) {
                if (programs->value(p, QStringLiteral("PROG_NAME")).toString() == programName) {
                    programs->moveTo(p);
                    return true;
                }
            }
        }
        return false;
    }

    // A drag of the selected program's icon over the bar and its drop there, as the bar's drop
    // target sees them from the program list (a drag started by a test has no source), and the
    // drag's end as the program list gets it after exec().
    bool dragSelectedOntoBar(const std::function<void()>& beforeDrop = {}) {
        QMimeData mime;
        mime.setData(TQuorvaneForm::ProgramDragType, QByteArray("x"));
        const QPoint over(200, 16);
        QDragEnterEvent enter(over, Qt::CopyAction, &mime, Qt::LeftButton, {});
        QDragMoveEvent move(over, Qt::CopyAction, &mime, Qt::LeftButton, {});
        bool accepted = form.answerBarDrag(&enter, form.DBCtrlGrid1);
        if (form.answerBarDrag(&move, form.DBCtrlGrid1) != accepted)
            qWarning("drag enter and move answered differently");
        if (accepted) {
            if (beforeDrop)
                beforeDrop();
            QDropEvent drop(over, Qt::CopyAction, &mime, Qt::LeftButton, {});
            accepted = form.answerBarDrag(&drop, form.DBCtrlGrid1);
            if (accepted != drop.isAccepted() ||
                (!accepted && drop.dropAction() != Qt::IgnoreAction))
                qWarning("the drop's answer differs from what the other side is told");
        }
        form.DBImage1EndDrag(accepted ? form.Notebook1 : nullptr);
        return accepted;
    }
};

// Mari's bar rows on the server, "DB:Program:ordinal", by ordinal.
QStringList storedBars(const QString& user = MariUser) {
    QStringList result;
    const auto rows = PgFixture::instance().superRows(
        QStringLiteral("select c.db_name, p.prog_name, u.ordinal from quorvane.user_prog_db u "
                       "join quorvane.quorvane_prog p on p.prog_id = u.quorvane_prog_id "
                       "join quorvane.company c on c.v_company = u.database_id "
                       "where u.username = '%1' and u.ordinal > 0 order by u.ordinal, c.db_name")
            .arg(user));
    for (const QVariantList& row : rows)
        result << row.value(0).toString() + ':' + row.value(1).toString() + ':' +
                      QString::number(row.value(2).toInt());
    return result;
}

bool emptyMarisBars() {
    return PgFixture::instance().superExec(
        "update quorvane.user_prog_db set ordinal = 0 where username = 'mari'");
}

} // namespace

class QuickLaunchTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_drive;
    QString m_records;

private slots:
    void initTestCase() {
        QVERIFY(m_drive.isValid());
        qputenv("QUORVANE_DRIVE_C", m_drive.path().toLocal8Bit());
        m_records = m_drive.filePath("records.jsonl");
        qputenv("QV_ARGS_OUT", m_records.toLocal8Bit());
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
        // Ledger is a starting program; Stock is a Windows program file with a red icon.
        QVERIFY(QDir(m_drive.path()).mkpath("qv/finance"));
        QVERIFY(QDir(m_drive.path()).mkpath("qv/stock"));
        QVERIFY(QFile::copy(ArgRecorder::programPath(), m_drive.filePath("qv/finance/ledger.exe")));
        QVERIFY(
            TestIcons::writeFile(m_drive.filePath("qv/stock/Stock.exe"),
                                 TestIcons::peFile({{TestIcons::dibImage(32, qRgb(200, 0, 0))}})));
    }

    void init() {
        QVERIFY2(PgFixture::instance().resetData(), qPrintable(PgFixture::instance().lastError()));
        QFile::remove(m_records);
    }

    void buildShowsEveryCompanyBarInItsSavedOrder() {
        MessageDialogsDouble dialogs;
        Window w(MariUser, MariPassword);
        QCOMPARE(w.hints("ACME"), QStringList({"Ledger", "Invoices"}));
        QCOMPARE(w.hints("BALTIC"), QStringList({"Stock"}));
        QCOMPARE(w.hints("CEDAR"), QStringList());
        QCOMPARE(w.lefts("ACME"), QList<int>({5, 39}));
        // The trailing "default page" never holds buttons.
        QCOMPARE(w.form.Notebook1->count(), 4);
        QCOMPARE(w.form.runButtons(3).size(), 0);

        const QList<TRunButton*> acme = w.form.runButtons(0);
        QCOMPARE(acme[0]->CommandLine(),
                 QString("c:\\qv\\finance\\ledger.exe ORCL mari Kask2026 10"));
        QCOMPARE(w.form.runButtons(1)[0]->CommandLine(),
                 QString("c:\\qv\\stock\\Stock.exe ORCL mari Kask2026 20"));
        for (const TRunButton* b : acme) {
            QCOMPARE(b->size(), QSize(32, 32));
            QCOMPARE(b->y(), 0);
            QVERIFY(b->autoRaise());
            QVERIFY(b->Iconfile().isEmpty());
            QCOMPARE(b->IconImage()->pos(), b->pos());
            QCOMPARE(b->IconImage()->parentWidget(), w.form.Notebook1->widget(0));
        }
        // The program file's own icon, not the database's.
        const QImage stock = w.form.runButtons(1)[0]->IconImage()->pixmap().toImage();
        QCOMPARE(stock.pixel(16, 16), qRgb(200, 0, 0));
        QVERIFY(dialogs.calls().isEmpty());
    }

    void dropsLandAtTheRightEndAndRenumberEveryBar() {
        MessageDialogsDouble dialogs;
        QVERIFY(PgFixture::instance().superExec("update quorvane.user_prog_db set ordinal = 0 "
                                                "where username = 'mari' and database_id = 10"));
        Window w(MariUser, MariPassword);
        QCOMPARE(w.hints("ACME"), QStringList());

        for (const char* name : {"Payroll", "Ledger", "Invoices"}) {
            QVERIFY(w.select("ACME", name));
            QVERIFY(w.dragSelectedOntoBar());
        }
        QCOMPARE(w.hints("ACME"), QStringList({"Payroll", "Ledger", "Invoices"}));
        QCOMPARE(w.lefts("ACME"), QList<int>({5, 39, 73}));
        // One counter over all pages in page order: BALTIC's Stock moves from 3 to 4.
        QCOMPARE(storedBars(), QStringList({"ACME:Payroll:1", "ACME:Ledger:2", "ACME:Invoices:3",
                                            "BALTIC:Stock:4"}));

        QVERIFY(w.select("CEDAR", "Calculator"));
        QVERIFY(w.dragSelectedOntoBar());
        QCOMPARE(w.lefts("CEDAR"), QList<int>({5}));
        QCOMPARE(w.form.runButtons(2)[0]->CommandLine(),
                 QString("c:\\qv\\tools\\calc.exe ORCL mari Kask2026 30"));
        QCOMPARE(storedBars(), QStringList({"ACME:Payroll:1", "ACME:Ledger:2", "ACME:Invoices:3",
                                            "BALTIC:Stock:4", "CEDAR:Calculator:5"}));
        // Another user's rows are not touched.
        QCOMPARE(storedBars(JaanUser), QStringList({"BALTIC:Stock:1", "BALTIC:Routes:2"}));
        QVERIFY(dialogs.calls().isEmpty());
    }

    void programIsDroppedOncePerCompanyPage() {
        MessageDialogsDouble dialogs;
        Window w(MariUser, MariPassword);
        const QStringList before = storedBars();

        QVERIFY(w.select("ACME", "Ledger"));
        bool accept = true;
        w.form.Notebook1DragOver(w.form.DBCtrlGrid1, accept);
        QVERIFY(!accept);
        QVERIFY(!w.dragSelectedOntoBar());
        QCOMPARE(w.hints("ACME"), QStringList({"Ledger", "Invoices"}));
        QCOMPARE(storedBars(), before);

        // The same program from BALTIC's list carries BALTIC's number, so it is new there.
        QVERIFY(w.select("BALTIC", "Ledger"));
        QVERIFY(w.dragSelectedOntoBar());
        QCOMPARE(w.hints("BALTIC"), QStringList({"Stock", "Ledger"}));
        QCOMPARE(w.form.runButtons(1)[1]->CommandLine(),
                 QString("c:\\qv\\finance\\ledger.exe ORCL mari Kask2026 20"));
        QCOMPARE(storedBars(), QStringList({"ACME:Ledger:1", "ACME:Invoices:2", "BALTIC:Stock:3",
                                            "BALTIC:Ledger:4"}));
        // And now it is refused there too.
        QVERIFY(!w.dragSelectedOntoBar());
        QCOMPARE(w.hints("BALTIC").size(), 2);
    }

    // What another program drags over the bar (a file, text, even data of the launcher's own
    // type) is refused at every step and nothing is added, though a new program is selected.
    void foreignDragsAreRefused_data() {
        QTest::addColumn<QString>("type");
        QTest::newRow("file from a file manager") << "text/uri-list";
        QTest::newRow("text") << "text/plain";
        QTest::newRow("own type from elsewhere") << QString(TQuorvaneForm::ProgramDragType);
    }
    void foreignDragsAreRefused() {
        QFETCH(QString, type);
        MessageDialogsDouble dialogs;
        Window w(MariUser, MariPassword);
        const QStringList before = storedBars();
        QVERIFY(w.select("CEDAR", "Notepad"));
        QMimeData mime;
        mime.setData(type, QByteArray("file:///tmp/notes.txt\r\n"));
        const QPoint over(200, 16);
        QDragEnterEvent enter(over, Qt::CopyAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(w.form.Notebook1, &enter);
        QVERIFY(!enter.isAccepted());
        QDragMoveEvent move(over, Qt::CopyAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(w.form.Notebook1, &move);
        QVERIFY(!move.isAccepted());
        // A drop that comes anyway is refused, and so told. (Qt delivers a drop only to the
        // target of a real drag, so it is handed to the bar as the drop target would.)
        QDropEvent drop(over, Qt::CopyAction, &mime, Qt::LeftButton, {});
        QVERIFY(!w.form.answerBarDrag(&drop, nullptr));
        QVERIFY(!drop.isAccepted());
        QCOMPARE(drop.dropAction(), Qt::IgnoreAction);
        QCOMPARE(w.hints("CEDAR"), QStringList());
        QCOMPARE(storedBars(), before);
    }

    void dropAsksAgainAndRefusesAProgramTheBarGotMeanwhile() {
        MessageDialogsDouble dialogs;
        Window w(MariUser, MariPassword);
        QVERIFY(w.select("ACME", "Payroll"));
        // While the drag is over the bar, the current row moves to a program the bar holds.
        QVERIFY(!w.dragSelectedOntoBar([&w] { QVERIFY(w.select("ACME", "Ledger")); }));
        QCOMPARE(w.hints("ACME"), QStringList({"Ledger", "Invoices"}));
    }

    void dropOutsideTheBarChangesNothing() {
        MessageDialogsDouble dialogs;
        Window w(MariUser, MariPassword);
        const QStringList before = storedBars();
        QVERIFY(w.select("CEDAR", "Notepad"));
        w.form.DBImage1EndDrag(w.form.TabSet);
        w.form.DBImage1EndDrag(nullptr);
        QCOMPARE(w.hints("CEDAR"), QStringList());
        QCOMPARE(storedBars(), before);
    }

    void nextBuildShowsEachPageInItsSavedOrder() {
        MessageDialogsDouble dialogs;
        QVERIFY(emptyMarisBars());
        {
            Window w(MariUser, MariPassword);
            for (const char* name : {"Calculator", "Notepad", "Ledger"}) {
                QVERIFY(w.select("ACME", name));
                QVERIFY(w.dragSelectedOntoBar());
            }
            QVERIFY(w.select("BALTIC", "Routes"));
            QVERIFY(w.dragSelectedOntoBar());
            QVERIFY(w.select("BALTIC", "Stock"));
            QVERIFY(w.dragSelectedOntoBar());
        }
        Window again(MariUser, MariPassword);
        QCOMPARE(again.hints("ACME"), QStringList({"Calculator", "Notepad", "Ledger"}));
        QCOMPARE(again.hints("BALTIC"), QStringList({"Routes", "Stock"}));
        QCOMPARE(again.lefts("BALTIC"), QList<int>({5, 39}));
    }

    // The button is stored under its own program's exe name, whatever blanks, "\\" or ":" the
    // rest of its command line holds, and so comes back at the next build.
    void droppedButtonIsStoredUnderItsProgramsExeName_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("commandLine");
        QTest::newRow("separators in the credentials")
            << "alter role mari password 'Ka\\sk:26'"
            << "Ka\\sk:26"
            << "c:\\qv\\finance\\invoice.exe ORCL mari Ka\\sk:26 10";
        QTest::newRow("blank in the client folder")
            << "update quorvane.quorvane_prog set clientpath = 'c:\\Program Files\\Ledger' "
               "where prog_name = 'Invoices'"
            << MariPassword << "c:\\Program Files\\Ledger\\invoice.exe ORCL mari Kask2026 10";
    }
    void droppedButtonIsStoredUnderItsProgramsExeName() {
        QFETCH(QString, setup);
        QFETCH(QString, password);
        QFETCH(QString, commandLine);
        MessageDialogsDouble dialogs;
        QVERIFY(PgFixture::instance().superExec(setup));
        QVERIFY(emptyMarisBars());
        {
            Window w(MariUser, password);
            QVERIFY(w.select("ACME", "Invoices"));
            QVERIFY(w.dragSelectedOntoBar());
            QCOMPARE(w.form.runButtons(0)[0]->CommandLine(), commandLine);
            QCOMPARE(storedBars(), QStringList({"ACME:Invoices:1"}));
        }
        Window again(MariUser, password);
        QCOMPARE(again.hints("ACME"), QStringList({"Invoices"}));
        QCOMPARE(again.form.runButtons(0)[0]->CommandLine(), commandLine);
        QVERIFY(dialogs.calls().isEmpty());
    }

    void barButtonStartsItsProgramAndAFailedStartChangesNothing() {
        MessageDialogsDouble dialogs;
        Window w(MariUser, MariPassword);
        const QList<TRunButton*> acme = w.form.runButtons(0);

        QTest::mouseClick(acme[0], Qt::LeftButton);
        QVERIFY(ArgRecorder::waitForRecords(m_records, 1));
        QCOMPARE(ArgRecorder::readRecords(m_records).first().mid(1),
                 QStringList({"ORCL", "mari", "Kask2026", "10"}));
        QVERIFY(dialogs.calls().isEmpty());

        // invoice.exe is not on the drive.
        QTest::mouseClick(acme[1], Qt::LeftButton);
        QCOMPARE(dialogs.calls().size(), 1);
        QCOMPARE(dialogs.last().call, DialogCall::ErrorBox);
        QCOMPARE(dialogs.last().text, QString("Error executing program. Code: 2."));
        QVERIFY(!QApplication::overrideCursor());
        QCOMPARE(w.form.runButtons(0), acme);
        QCOMPARE(w.hints("ACME"), QStringList({"Ledger", "Invoices"}));
        QCOMPARE(w.lefts("ACME"), QList<int>({5, 39}));
    }

    void clearRemovesAllButtonsWhateverTheirNumber() {
        MessageDialogsDouble dialogs;
        Window w(MariUser, MariPassword);
        for (int page = 0; page < 3; ++page) {
            for (int i = 0; i < 100; ++i) {
                auto* b = new TRunButton(w.form.Notebook1->widget(page));
                b->setCommandLine(QStringLiteral("c:\\qv\\x%1.exe A").arg(i));
                b->SetupIcon();
            }
        }
        QCOMPARE(w.form.runButtons(0).size(), 102);
        w.form.ClearRunButtons();
        for (int page = 0; page < w.form.Notebook1->count(); ++page) {
            QCOMPARE(w.form.runButtons(page).size(), 0);
            QCOMPARE(w.form.Notebook1->widget(page)->findChildren<TRunImage*>().size(), 0);
        }
        // The bars stay usable: the next load fills them again.
        w.form.LoadRunButtons();
        QCOMPARE(w.hints("ACME"), QStringList({"Ledger", "Invoices"}));
    }

    void toolbarDialogCancelLeavesTheBarAndOkReloadsIt() {
        MessageDialogsDouble dialogs;
        Window w(MariUser, MariPassword);
        w.form.TabSet->selectTab(w.page("BALTIC"));
        QVERIFY(w.select("BALTIC", "Routes"));
        QVERIFY(w.dragSelectedOntoBar());
        const QList<TRunButton*> acme = w.form.runButtons(0);
        const QList<TRunButton*> baltic = w.form.runButtons(1);
        // A new button may reuse a destroyed one's address; a guard tells them apart.
        const QPointer<TRunButton> firstAcme = acme[0];

        QString shownFor;
        QTimer::singleShot(0, &w.conf, [&] {
            shownFor = w.conf.DbName;
            w.conf.BitBtn2->click();
        });
        w.form.SpeedButton4Click();
        QCOMPARE(shownFor, QString("BALTIC"));
        QCOMPARE(w.form.runButtons(0), acme);
        QCOMPARE(w.form.runButtons(1), baltic);

        // OK after deleting the dialog's current (first) row: every bar is rebuilt.
        QTimer::singleShot(0, &w.conf, [&] {
            w.conf.SpeedButton3Click();
            w.conf.BitBtn1->click();
        });
        w.form.SpeedButton4Click();
        QVERIFY(!w.conf.isVisible());
        QCOMPARE(w.hints("BALTIC"), QStringList({"Routes"}));
        QCOMPARE(w.hints("ACME"), QStringList({"Ledger", "Invoices"}));
        QVERIFY(firstAcme.isNull());
        QCOMPARE(w.lefts("BALTIC"), QList<int>({5}));
    }

    // The same user at two workstations: the first one's toolbar dialog holds BALTIC's rows
    // until OK or Cancel. A drop at the second gives up after the lock time-out with the
    // server's error instead of freezing its window, and no bar is half renumbered.
    void dropWhileAnotherWorkstationsDialogIsOpenGivesUp() {
        MessageDialogsDouble dialogs;
        Window first(MariUser, MariPassword);
        Window second(MariUser, MariPassword);
        const QStringList before = storedBars();
        first.form.TabSet->selectTab(first.page("BALTIC"));
        QVERIFY(second.select("ACME", "Payroll"));
        QString error;
        qint64 waited = -1;
        QTimer::singleShot(0, &first.conf, [&] {
            first.conf.SpeedButton3Click(); // takes Stock off the bar: its row is locked now
            QElapsedTimer clock;
            clock.start();
            try {
                second.dragSelectedOntoBar();
            } catch (const Exception& e) {
                error = e.message();
            }
            waited = clock.elapsed();
            first.conf.BitBtn2->click();
        });
        first.form.SpeedButton4Click();
        QVERIFY2(error.contains("lock timeout"), qPrintable(error));
        QVERIFY2(waited < (Connection::LockTimeoutSeconds + 2) * 1000,
                 qPrintable(QString::number(waited)));
        QCOMPARE(storedBars(), before);
    }
};

int main(int argc, char** argv) {
    QuorvaneApplication app(argc, argv);
    QuickLaunchTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_quicklaunch.moc"
