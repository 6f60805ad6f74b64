// The main window against the throwaway cluster: start-up with the sign-in, the date line
// and its timer, collapse and expand, Refresh and Login, and what ends the program.
#include "LauncherHarness.h"

#include "data/Connection.h"
#include "data/Query.h"
#include "dialogs/MessageDialogsDouble.h"
#include "launcher/Buttrun.h"
#include "launcher/QuorvaneApplication.h"
#include "platform/Exception.h"
#include "upgrade/UpgradeReport.h"

#include <QLabel>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTcpServer>
#include <QToolButton>
#include <QtTest>
#include <memory>
#include <utility>

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DriveFolder> m_drive;

    static QStringList pageNames(const QStackedWidget* pages) {
        QStringList names;
        for (int i = 0; i < pages->count(); ++i) {
            names << pages->widget(i)->objectName();
        }
        return names;
    }

private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
        // A user who may sign in but has no company database.
        QVERIFY2(PgFixture::instance().superExec(
                     "do $$ begin if not exists (select 1 from pg_roles where rolname = 'kalle') "
                     "then create role kalle login password 'Kuusk2026'; "
                     "grant quorvane_user to kalle; end if; end $$"),
                 qPrintable(PgFixture::instance().lastError()));
    }
    void init() {
        QVERIFY(PgFixture::instance().resetData());
        m_drive = std::make_unique<DriveFolder>();
    }

    void startSignsInAloneAndBuildsCollapsed() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        bool mainVisibleDuringLogin = true;
        w.answerLogin("Mari", DemoData::MariPassword,
                      [&] { mainVisibleDuringLogin = w.form.isVisible(); });
        w.form.show();
        QVERIFY(!mainVisibleDuringLogin);
        QVERIFY(w.form.isVisible());
        QCOMPARE(w.form.windowTitle(), QString("Logged on to quorvane. User name: Mari"));
        QCOMPARE(w.form.height(), TQuorvaneForm::CollapsedHeight);
        QVERIFY(!w.form.DBGrid1->isVisibleTo(&w.form));
        QVERIFY(!w.form.DBCtrlGrid1->isVisibleTo(&w.form));
        QVERIFY(w.form.Timer1->isActive());
        QCOMPARE(w.form.Timer1->interval(), 300000);
        QCOMPARE(w.form.LabelDatabase->text(), serverDateLine());
        QVERIFY(dialogs.calls().isEmpty());

        // One tab and one page per company, in server order, then the extra page.
        QCOMPARE(tabTexts(w.form.TabSet), DemoData::MariCompanies);
        QCOMPARE(w.form.TabSet->selectedIndex(), 0);
        QCOMPARE(pageNames(w.form.Notebook1),
                 DemoData::MariCompanies + QStringList{"default page"});
        QCOMPARE(w.form.Notebook1->currentIndex(), 0);
        QCOMPARE(columnValues(w.form.QueryGroups, "PROG_GROUP"),
                 DemoData::groups(DemoData::MariUser, "ACME"));
        QVERIFY(w.form.QueryProg->active());
        QVERIFY(!w.form.QueryDatabases->active());
    }

    void cancelledFirstSignInEndsWithoutShowing() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QSignalSpy closed(&w.form, &TQuorvaneForm::closed);
        w.answerLogin("Mari", QString());
        w.form.show();
        QCOMPARE(closed.count(), 1);
        QVERIFY(!w.form.isVisible());
        QVERIFY(!w.form.Timer1->isActive());
        QVERIFY(!w.form.Database1->connected());
        QVERIFY(dialogs.calls().isEmpty());
        // Closed for good: a later show does not sign in again.
        w.form.show();
        QCOMPARE(closed.count(), 1);
    }

    void userWithoutCompanyEndsTheProgram() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QSignalSpy closed(&w.form, &TQuorvaneForm::closed);
        w.signIn("kalle", "Kuusk2026");
        QCOMPARE(closed.count(), 1);
        QVERIFY(!w.installer.Report->sendPending()); // sent before the program ends
        QVERIFY(!w.form.isVisible());
        QVERIFY(dialogs.calls().isEmpty());
    }

    void expandTwiceIsBackCollapsed() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        w.form.SpeedButton1->click();
        QCOMPARE(w.form.height(), TQuorvaneForm::ExpandedHeight);
        QVERIFY(w.form.DBGrid1->isVisible());
        QVERIFY(w.form.DBCtrlGrid1->isVisible());
        // Expanded, the six program panels fit the list exactly.
        QCOMPARE(w.form.DBCtrlGrid1->viewport()->height(),
                 TDBCtrlGrid::RowCount * TDBCtrlGrid::PanelHeight);
        w.form.SpeedButton1->click();
        QCOMPARE(w.form.height(), TQuorvaneForm::CollapsedHeight);
        QVERIFY(!w.form.DBGrid1->isVisible());
        QVERIFY(!w.form.DBCtrlGrid1->isVisible());
        // Collapsed, the tab strip is the last thing in the window, its tabs drawn whole in it.
        QCOMPARE(w.form.TabSet->geometry().bottom(), w.form.height() - 1);
        QVERIFY(w.form.TabSet->isVisible());
        QCOMPARE(w.form.TabSet->tabRect(0).height(), w.form.TabSet->height());
        // Every window shows the application's icon; header glyphs have pixels for 2x screens.
        for (const QWidget* window : std::initializer_list<const QWidget*>{
                 &w.form, &w.login, &w.toolbarConf, &w.installer}) {
            QVERIFY(!window->windowIcon().isNull());
        }
        QCOMPARE(w.form.SpeedButton1->icon().pixmap(QSize(16, 16), 2.0).size(), QSize(32, 32));
    }

    // Also at a limit of one session for the user: the old session ends before the new one.
    void refreshRebuildsAndCollapses() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        PgFixture& pg = PgFixture::instance();
        QVERIFY(pg.superExec("alter role mari connection limit 1"));
        const auto unlimit =
            qScopeGuard([&pg] { pg.superExec("alter role mari connection limit 20"); });
        const QString caption = w.form.windowTitle();
        w.form.SpeedButton1->click();
        w.form.TabSet->selectTab(2);
        QCOMPARE(w.form.Notebook1->currentIndex(), 2);
        w.form.SpeedButton3->click();
        QCOMPARE(w.form.height(), TQuorvaneForm::CollapsedHeight);
        QVERIFY(!w.form.DBGrid1->isVisible());
        QCOMPARE(w.form.TabSet->selectedIndex(), 0);
        QCOMPARE(w.form.Notebook1->currentIndex(), 0);
        QCOMPARE(tabTexts(w.form.TabSet), DemoData::MariCompanies);
        QCOMPARE(w.form.Notebook1->count(), DemoData::MariCompanies.size() + 1);
        QCOMPARE(w.form.windowTitle(), caption);
        QVERIFY(w.form.Timer1->isActive());
        QVERIFY(w.form.Database1->connected());
        QVERIFY(dialogs.calls().isEmpty());
    }

    // An upgrade run reads through the shared connection, so Refresh, Login, the password
    // change and the toolbar dialog are off until it ends, also when it ends in an error.
    void reconnectingButtonsAreOffWhileAnUpgradeRuns() {
        QFile settings(m_drive->dir.filePath(QStringLiteral("quorvane3/quorvane.ini")));
        QVERIFY(settings.open(QIODevice::ReadOnly));
        QByteArray text = settings.readAll().replace("ledger.exe=99.000", "ledger.exe=1.000");
        settings.close();
        QVERIFY(settings.open(QIODevice::WriteOnly | QIODevice::Truncate));
        settings.write(text);
        settings.close();
        // Nobody listens on the port of a server just closed, so the run stops at its host.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QByteArray port = QByteArray::number(closed.serverPort());
        closed.close();
        qputenv("QUORVANE_FTP_PORT", port);

        LauncherWindows w;
        MessageDialogsDouble dialogs;
        QList<bool> enabledDuringRun;
        dialogs.onCall = [&](const DialogCall&) {
            enabledDuringRun = {w.form.SpeedButton3->isEnabled(), w.form.SpeedButton2->isEnabled(),
                                w.form.SpeedButton5->isEnabled(), w.form.SpeedButton4->isEnabled()};
        };
        w.signIn();
        qunsetenv("QUORVANE_FTP_PORT");
        QCOMPARE(dialogs.texts(),
                 QStringList({"Unable to connect to 127.0.0.1\rInstallation stoped!"}));
        QCOMPARE(enabledDuringRun, QList<bool>({false, false, false, false}));
        QVERIFY(w.form.SpeedButton3->isEnabled());
        QVERIFY(w.form.SpeedButton2->isEnabled());
        QVERIFY(w.form.SpeedButton5->isEnabled());
        QVERIFY(w.form.SpeedButton4->isEnabled());
    }

    void loginSignsInAnewAndRebuilds() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        w.form.SpeedButton1->click();
        QString captionWhileUp;
        bool timerWhileUp = true;
        bool connectedWhileUp = true;
        w.answerLogin("jaan", DemoData::JaanPassword, [&] {
            captionWhileUp = w.form.windowTitle();
            timerWhileUp = w.form.Timer1->isActive();
            connectedWhileUp = w.form.Database1->connected();
        });
        w.form.SpeedButton2->click();
        QCOMPARE(captionWhileUp, QString("Not connected"));
        QVERIFY(!timerWhileUp);
        QVERIFY(!connectedWhileUp);
        QCOMPARE(w.form.windowTitle(), QString("Logged on to quorvane. User name: jaan"));
        QCOMPARE(tabTexts(w.form.TabSet), DemoData::JaanCompanies);
        QCOMPARE(w.form.height(), TQuorvaneForm::CollapsedHeight);
        QVERIFY(w.form.Timer1->isActive());
        QCOMPARE(w.form.LabelDatabase->text(), serverDateLine());
        QVERIFY(dialogs.calls().isEmpty());
    }

    void cancelledLoginEndsTheProgram() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        QSignalSpy closed(&w.form, &TQuorvaneForm::closed);
        w.answerLogin("Mari", QString());
        w.form.SpeedButton2->click();
        QCOMPARE(dialogs.texts(),
                 QStringList{"Sorry, but you dont have any programs in this database"});
        QCOMPARE(dialogs.last().kind, MsgKind::Information);
        QCOMPARE(closed.count(), 1);
        QVERIFY(!w.form.isVisible());
    }

    void loginWhileDisconnectedDoesNothing() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        const QString caption = w.form.windowTitle();
        w.form.Database1->close();
        bool dialogShown = false;
        w.answerLogin("Mari", QString(), [&] { dialogShown = true; });
        w.form.SpeedButton2->click();
        QVERIFY(!dialogShown);
        QCOMPARE(w.form.windowTitle(), caption);
        QVERIFY(w.form.Timer1->isActive());
        QCoreApplication::processEvents(); // let the pending answer find no dialog
    }

    // The new password reaches the login dialog's field, the connection and the next launch;
    // the timer is off only while the dialog is up, after a cancel as after OK.
    void passwordChangeCarriesTheNewPasswordOn() {
        const QString fresh = QStringLiteral("Birch2027");
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        QList<bool> timerWhileUp;
        const auto answerPasswd = [&](bool ok) {
            QTimer::singleShot(0, &w.paswd, [&w, &timerWhileUp, fresh, ok] {
                timerWhileUp << w.form.Timer1->isActive();
                w.paswd.Edit1->setText(DemoData::MariPassword);
                w.paswd.Edit2->setText(fresh);
                w.paswd.Edit3->setText(fresh);
                (ok ? w.paswd.BitBtn2 : w.paswd.BitBtn1)->click();
            });
        };

        answerPasswd(false);
        w.form.SpeedButton5->click();
        QVERIFY(w.form.Timer1->isActive());
        QCOMPARE(w.login.PasswdEdit->text(), DemoData::MariPassword);

        w.form.SpeedButton1->click();
        answerPasswd(true);
        w.form.SpeedButton5->click();
        QCOMPARE(timerWhileUp, QList<bool>({false, false}));
        QVERIFY(w.form.Timer1->isActive());
        QCOMPARE(w.login.PasswdEdit->text(), fresh);
        QCOMPARE(w.form.Database1->param(QStringLiteral("PASSWORD")), fresh);
        QVERIFY(w.form.Database1->connected());
        QVERIFY(w.paswd.Edit2->text().isEmpty());
        QCOMPARE(w.form.height(), TQuorvaneForm::CollapsedHeight);
        QCOMPARE(w.form.runButtons(0).size(), DemoData::MariBarAcme.size());

        QStringList lines;
        for (const TRunButton* button : w.form.runButtons(0)) {
            lines << button->CommandLine();
        }
        QVERIFY(!lines.isEmpty());
        for (const QString& line : lines) {
            QVERIFY2(line.endsWith(QStringLiteral(" Mari ") + fresh + QStringLiteral(" 10")),
                     qPrintable(line));
        }
        QCOMPARE(w.form.MakeCommandLine("c:\\qv\\a.exe", "10"),
                 QStringLiteral("c:\\qv\\a.exe ORCL Mari ") + fresh + QStringLiteral(" 10"));
    }

    // A date call that fails during the build is told after the first tab is selected and
    // again at the end; the label keeps the company name the tab change put there.
    void failingDateCallDuringTheBuildGivesTwoBoxes() {
        const char* revoke =
            "revoke execute on procedure quorvane.outsystem_date(date) from quorvane_user";
        const char* grant =
            "grant execute on procedure quorvane.outsystem_date(date) to quorvane_user";
        QVERIFY2(PgFixture::instance().superExec(revoke),
                 qPrintable(PgFixture::instance().lastError()));
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        QVERIFY2(PgFixture::instance().superExec(grant),
                 qPrintable(PgFixture::instance().lastError()));
        QCOMPARE(dialogs.texts(),
                 (QStringList{"Unable to connect database ", "Unable to connect database "}));
        QCOMPARE(w.form.LabelDatabase->text(), DemoData::MariCompanies.first());
        QCOMPARE(w.form.TabSet->selectedIndex(), 0);
        QVERIFY(w.form.Timer1->isActive());
    }

    // One box per tick, and never a second one stacked on a box still up.
    void stoppedServerGivesBoxOnEveryTick() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        const QString line = w.form.LabelDatabase->text();
        QVERIFY(PgFixture::instance().stopServer());
        bool tickedWhileUp = false;
        dialogs.onCall = [&](const DialogCall&) {
            if (!std::exchange(tickedWhileUp, true))
                w.form.Timer1Timer();
        };
        w.form.Timer1Timer();
        w.form.Timer1Timer();
        dialogs.onCall = nullptr;
        QVERIFY(PgFixture::instance().startServer());
        QCOMPARE(dialogs.texts(),
                 (QStringList{"Unable to connect database ", "Unable to connect database "}));
        QCOMPARE(dialogs.calls().first().kind, MsgKind::Information);
        QCOMPARE(dialogs.calls().first().buttons, int(MbOk));
        QCOMPARE(w.form.LabelDatabase->text(), line);
        QVERIFY(w.form.Timer1->isActive());
        // The server is back: the next tick reconnects and shows the date again.
        dialogs.clear();
        w.form.LabelDatabase->clear();
        w.form.Timer1Timer();
        QVERIFY(dialogs.calls().isEmpty());
        QCOMPARE(w.form.LabelDatabase->text(), serverDateLine());
    }

    // A sign-in anew that fails after the dialog (the build's company call is refused) leaves
    // the timer running, so the date line does not stop for good.
    void failedLoginLeavesTheTimerRunning() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        PgFixture& pg = PgFixture::instance();
        QVERIFY(pg.superExec("revoke execute on procedure quorvane.set_cname(text) from "
                             "quorvane_user"));
        const auto grant = qScopeGuard([&pg] {
            pg.superExec("grant execute on procedure quorvane.set_cname(text) to quorvane_user");
        });
        w.answerLogin("Mari", DemoData::MariPassword);
        QVERIFY_THROWS_EXCEPTION(Exception, w.form.SpeedButton2Click());
        QVERIFY(w.form.Timer1->isActive());
    }

    // The server ends the launcher's idle session: the next timer tick and the next tab click
    // run on a new session with the current company set again, so the lists stay as they were.
    void droppedSessionKeepsTheLists() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        const auto lists = [&w] {
            return columnValues(w.form.QueryGroups, "PROG_GROUP") + QStringList{"|"} +
                   columnValues(w.form.QueryProg, "PROG_NAME");
        };
        const auto dropSession = [&w] {
            return PgFixture::instance().endSession(
                w.form.Database1->exec("select pg_backend_pid()")
                    .rows.value(0)
                    .value(0)
                    .toString());
        };
        w.form.TabSet->selectTab(1);
        const QStringList baltic = lists();
        w.form.TabSet->selectTab(0);
        const QStringList acme = lists();
        QCOMPARE(acme.first(), QStringLiteral("Finance"));

        QVERIFY(dropSession());
        w.form.Timer1Timer();
        QCOMPARE(w.form.LabelDatabase->text(), serverDateLine());
        // The program list asks the new session when the group changes.
        w.form.QueryGroups->moveTo(1);
        w.form.QueryGroups->moveTo(0);
        QCOMPARE(lists(), acme);

        QVERIFY(dropSession());
        w.form.TabSet->selectTab(1);
        QCOMPARE(lists(), baltic);
        QVERIFY2(dialogs.calls().isEmpty(), qPrintable(dialogs.texts().join(" | ")));
    }
};

int main(int argc, char** argv) {
    QuorvaneApplication app(argc, argv);
    MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "MainWindowTest.moc"
