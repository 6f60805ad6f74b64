// Errors in the main window's handlers, entered the ways Qt enters them (button, tab, double
// click, Enter, drop, timer), and the last-resort box for an error that reaches the event loop.
#include "LauncherHarness.h"
#include "VanishingProxy.h"

#include "data/Connection.h"
#include "data/Query.h"
#include "dialogs/MessageDialogsDouble.h"
#include "launcher/ProgramQueries.h"
#include "launcher/QuorvaneApplication.h"
#include "platform/DriveMapping.h"
#include "platform/Exception.h"

#include <QDragEnterEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QMimeData>
#include <QScopeGuard>
#include <QToolButton>
#include <QtTest>
#include <memory>
#include <new>
#include <system_error>

// The application object, except that an error reaching notify, past every handler's guard,
// is noted before the last resort shows it.
class GuardCheckingApp : public QuorvaneApplication {
public:
    using QuorvaneApplication::QuorvaneApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& error) {
            escaped << QString::fromUtf8(error.what());
            reportCurrentError();
            return true;
        }
    }
    QStringList escaped;
};

class HandlerErrorTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DriveFolder> m_drive;

private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
    }
    void init() {
        QVERIFY(PgFixture::instance().resetData());
        m_drive = std::make_unique<DriveFolder>();
    }

    // An error in a handler, whichever way Qt reached it, ends in the error box, never crosses
    // Qt's frames, and the window goes on working.
    void errorInAHandlerIsShownAndTheWindowGoesOn_data() {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("fault"); // run as superuser before, and undone after
        QTest::addColumn<QString>("repair");
        QTest::addColumn<QString>("shown"); // part of the box's text
        QTest::newRow("button (Refresh)")
            << "button"
            << "revoke select on quorvane.v_sysparams from quorvane_user"
            << "grant select on quorvane.v_sysparams to quorvane_user"
            << "permission denied for view v_sysparams";
        // A Refresh that cannot reach the server ends where it failed: the old session and the
        // bars are gone, the lists closed, until a Refresh that works.
        QTest::newRow("Refresh, server down")
            << "Refresh, server down" << QString() << QString() << "Connection refused";
        QTest::newRow("tab") << "tab"
                             << "revoke execute on procedure quorvane.set_cname(text) "
                                "from quorvane_user"
                             << "grant execute on procedure quorvane.set_cname(text) "
                                "to quorvane_user"
                             << "permission denied for procedure set_cname";
        QTest::newRow("double click")
            << "double click" << QString() << QString() << "Error executing program. Code: 2.";
        QTest::newRow("Enter on the program list")
            << "Enter" << QString() << QString() << "Error executing program. Code: 2.";
        QTest::newRow("drop") << "drop" << QString() << QString()
                              << "Field 'CLIENTPATH' not found.";
        // After a dropped session, the company of the tab is set again and refused: told once,
        // and the next tab change works on its own.
        const QString setName =
            "create or replace procedure quorvane.set_cname(name text) language plpgsql "
            "security invoker set search_path = pg_catalog, pg_temp as $$ begin %1 "
            "perform set_config('quorvane.cname', coalesce(name, ''), false); end $$";
        QTest::newRow("re-run after a dropped session")
            << "re-run"
            << setName.arg("if name = 'ACME' then raise exception 'ACME is closed'; end if;")
            << setName.arg(QString()) << "ACME is closed";
        // The host vanishes (no reset, nothing answers): the click fails within 10 s.
        QTest::newRow("vanished host") << "vanished host" << QString() << QString() << "timed out";
        // The host keeps the connection but answers nothing (a hung server, a stalled proxy):
        // the click fails at the statement bound, and the next action works once it answers.
        QTest::newRow("stalled host") << "stalled host" << QString() << QString()
                                      << "The database server did not answer within 10 seconds.";
        const QString dateFault = "revoke execute on procedure quorvane.outsystem_date(date) "
                                  "from quorvane_user";
        const QString dateRepair = "grant execute on procedure quorvane.outsystem_date(date) "
                                   "to quorvane_user";
        QTest::newRow("timer") << "timer" << dateFault << dateRepair << "The date box failed.";
        QTest::newRow("timer, out of memory")
            << "timer" << dateFault << dateRepair << "Out of memory.";
        QTest::newRow("timer, system error")
            << "timer" << dateFault << dateRepair << "Resource temporarily unavailable.";
    }
    void errorInAHandlerIsShownAndTheWindowGoesOn() {
        QFETCH(QString, entry);
        QFETCH(QString, fault);
        QFETCH(QString, repair);
        QFETCH(QString, shown);
        MessageDialogsDouble dialogs;
        // The vanished host is a relay in front of the server that service ORCL names.
        std::unique_ptr<VanishingProxy> host;
        QTemporaryDir services;
        const QByteArray serviceFile = qgetenv("PGSERVICEFILE");
        const auto restoreServices = qScopeGuard([&] { qputenv("PGSERVICEFILE", serviceFile); });
        if (entry.endsWith("host")) {
            host = std::make_unique<VanishingProxy>(PgFixture::instance().port());
            if (entry == "vanished host" && !host->canVanish()) {
                QSKIP("socket filters are refused to this user: no host can vanish");
            }
            QFile original(PgFixture::instance().serviceFile());
            QFile relayed(services.filePath("pg_service.conf"));
            QVERIFY(original.open(QIODevice::ReadOnly) && relayed.open(QIODevice::WriteOnly));
            relayed.write(QString::fromUtf8(original.readAll())
                              .replace(QString("port=%1").arg(PgFixture::instance().port()),
                                       QString("port=%1").arg(host->port()))
                              .toUtf8());
            relayed.close();
            qputenv("PGSERVICEFILE", relayed.fileName().toLocal8Bit());
        }
        LauncherWindows w;
        w.signIn();
        w.form.SpeedButton1->click();
        auto* app = static_cast<GuardCheckingApp*>(qApp);
        app->escaped.clear();
        if (!fault.isEmpty()) {
            QVERIFY2(PgFixture::instance().superExec(fault),
                     qPrintable(PgFixture::instance().lastError()));
        }
        const auto undo = qScopeGuard([&] {
            if (!repair.isEmpty()) {
                PgFixture::instance().superExec(repair);
            }
        });

        if (entry == "button") {
            QTest::mouseClick(w.form.SpeedButton3, Qt::LeftButton);
        } else if (entry == "tab") {
            QTest::mouseClick(w.form.TabSet, Qt::LeftButton, {},
                              w.form.TabSet->tabRect(2).center());
        } else if (entry == "Refresh, server down") {
            QVERIFY(PgFixture::instance().stopServer());
            QTest::mouseClick(w.form.SpeedButton3, Qt::LeftButton);
            QVERIFY(PgFixture::instance().startServer());
            QVERIFY(columnValues(w.form.QueryGroups, "PROG_GROUP").isEmpty());
            QVERIFY(w.form.runButtons(0).isEmpty());
            QCOMPARE(w.form.QueryProg->recordCount(), 0);
        } else if (entry == "re-run") {
            const QString session =
                w.form.Database1->exec("select pg_backend_pid()").rows.value(0).value(0).toString();
            QVERIFY(PgFixture::instance().endSession(session));
            for (int click = 0; click < 2; ++click) {
                QTest::mouseClick(w.form.TabSet, Qt::LeftButton, {},
                                  w.form.TabSet->tabRect(2).center());
            }
            QCOMPARE(w.form.TabSet->selectedIndex(), 2);
            QCOMPARE(dialogs.calls().size(), 1);
        } else if (entry == "vanished host") {
            host->vanish();
            QElapsedTimer clock;
            clock.start();
            QTest::mouseClick(w.form.TabSet, Qt::LeftButton, {},
                              w.form.TabSet->tabRect(2).center());
            QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
            host->revive();
        } else if (entry == "stalled host") {
            host->stall();
            QElapsedTimer clock;
            clock.start();
            QTest::mouseClick(w.form.TabSet, Qt::LeftButton, {},
                              w.form.TabSet->tabRect(2).center());
            QVERIFY2(clock.elapsed() < 12000, qPrintable(QString::number(clock.elapsed())));
            QCOMPARE(dialogs.calls().size(), 1);
            host->resume();
        } else if (entry == "double click" || entry == "Enter") {
            Query* programs = w.form.QueryProg;
            QVERIFY(programs->recordCount() > 0);
            const QString file = programs->value(0, "CLIENTPATH").toString() + '\\' +
                                 programs->value(0, "PROG_EXE").toString();
            // Away for the double click only; the folder stays, so the start fails for the
            // missing file alone.
            const QString path = mapDrivePath(file);
            QVERIFY(QFile::rename(path, path + ".away"));
            if (entry == "Enter") {
                w.form.DBCtrlGrid1->setFocus();
                QTest::keyClick(w.form.DBCtrlGrid1, Qt::Key_Return);
            } else {
                QTest::mouseDClick(w.form.DBCtrlGrid1->viewport(), Qt::LeftButton, {},
                                   w.form.DBCtrlGrid1->textRect(0).center());
            }
            QVERIFY(QFile::rename(path + ".away", path));
        } else if (entry == "drop") {
            // The program list reads a statement without the client folder.
            w.form.QueryProg->close();
            w.form.QueryProg->setSql(QStringLiteral("select prog_name, prog_exe from "
                                                    "quorvane.quorvane_prog where prog_group = "
                                                    ":prog_group"));
            w.form.QueryProg->open();
            QMimeData mime;
            mime.setData(QStringLiteral("application/x-quorvane-program"), QByteArray("x"));
            QDragEnterEvent enter(QPoint(200, 16), Qt::CopyAction, &mime, Qt::LeftButton, {});
            // Where the bar's drag handling enters, with the program list as the drag's source
            // (a test platform has no drag in progress to name it).
            QVERIFY(!w.form.answerBarDrag(&enter, w.form.DBCtrlGrid1));
            QVERIFY(!enter.isAccepted());
            w.form.QueryProg->close();
            w.form.QueryProg->setSql(ProgramQueries::programs());
            w.form.QueryProg->open();
        } else {
            // The box fails with the row's error: the system's, or one of the standard library.
            dialogs.onCall = [shown](const DialogCall& call) {
                if (call.call != DialogCall::MessageDlg)
                    return;
                if (shown == "Out of memory.")
                    throw std::bad_alloc();
                if (shown.startsWith("Resource"))
                    throw std::system_error(EAGAIN, std::generic_category());
                throw Exception(QStringLiteral("The date box failed"));
            };
            w.form.Timer1->start(1);
            QTRY_VERIFY(!dialogs.calls().isEmpty() && dialogs.last().call == DialogCall::ErrorBox);
            w.form.Timer1->start(300000);
            dialogs.onCall = {};
        }
        QCOMPARE(dialogs.last().call, DialogCall::ErrorBox);
        QCOMPARE(dialogs.last().caption, QString("Quorvane"));
        QVERIFY2(dialogs.last().text.contains(shown), qPrintable(dialogs.last().text));
        QVERIFY2(app->escaped.isEmpty(), qPrintable(app->escaped.join('|')));

        // The window goes on: once the fault is gone, Refresh rebuilds it and a tab changes.
        if (!repair.isEmpty()) {
            QVERIFY(PgFixture::instance().superExec(repair));
        }
        dialogs.clear();
        QTest::mouseClick(w.form.SpeedButton3, Qt::LeftButton);
        QCOMPARE(w.form.runButtons(0).size(), DemoData::MariBarAcme.size());
        QTest::mouseClick(w.form.TabSet, Qt::LeftButton, {}, w.form.TabSet->tabRect(1).center());
        QCOMPARE(w.form.TabSet->selectedIndex(), 1);
        QCOMPARE(w.form.LabelDatabase->text(), serverDateLine());
        QVERIFY(w.form.Timer1->isActive());
        QVERIFY2(dialogs.calls().isEmpty(), qPrintable(dialogs.texts().join('|')));
        QVERIFY(app->escaped.isEmpty());
    }

    void errorBoxAddsFullStopAfterLaterCharacters_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("digit") << "Error executing program. Code: 2"
                               << "Error executing program. Code: 2.";
        QTest::newRow("letter") << "Table not found"
                                << "Table not found.";
        QTest::newRow("bang") << "Password or user name does not match !"
                              << "Password or user name does not match !";
        QTest::newRow("stop") << "Done."
                              << "Done.";
        QTest::newRow("blank") << "Unable to connect database "
                               << "Unable to connect database ";
        QTest::newRow("comma") << "a,"
                               << "a,";
    }
    void errorBoxAddsFullStopAfterLaterCharacters() {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        MessageDialogsDouble dialogs;
        // An error escaping an event handler reaches the application's handler.
        QWidget receiver;
        QObject::connect(&receiver, &QWidget::windowTitleChanged, &receiver,
                         [message] { throw Exception(message); });
        QTimer::singleShot(0, &receiver, [&receiver] { receiver.setWindowTitle("go"); });
        QTRY_COMPARE(dialogs.calls().size(), 1);
        QCOMPARE(dialogs.last().call, DialogCall::ErrorBox);
        QCOMPARE(dialogs.last().caption, QString("Quorvane"));
        QCOMPARE(dialogs.last().text, shown);
    }
};

int main(int argc, char** argv) {
    GuardCheckingApp app(argc, argv);
    HandlerErrorTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "HandlerErrorTest.moc"
