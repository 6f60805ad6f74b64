// The login dialog against the throwaway cluster: wrong and right passwords, the caption and
// connection parameters, the settings file read on show and written after a sign-in.
#include "data/Connection.h"
#include "dialogs/MessageDialogsDouble.h"
#include "pg/DemoData.h"
#include "pg/PgFixture.h"
#include "signin/QuorvaneUserLogin.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>

class LoginDialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_drive;
    QString settingsPath() const { return m_drive->path() + "/quorvane3/quorvane.ini"; }
    void writeSettings(const QByteArray& text) {
        QDir().mkpath(m_drive->path() + "/quorvane3");
        QFile file(settingsPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    QByteArray readSettings() const {
        QFile file(settingsPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Shows the dialog modally and runs `act` once it is up; a dialog still open afterwards is
    // cancelled so that a failing case cannot hang.
    int runDialog(TUserLoginForm& dialog, const std::function<void()>& act) {
        QTimer::singleShot(0, &dialog, [&dialog, act] {
            act();
            if (dialog.isVisible()) {
                dialog.BitBtn2->click();
            }
        });
        return dialog.exec();
    }
    // What `action` writes on standard error.
    static QByteArray standardErrorOf(const std::function<void()>& action) {
        QTemporaryFile file;
        if (!file.open())
            return {};
        std::fflush(stderr);
        const int saved = ::dup(STDERR_FILENO);
        ::dup2(file.handle(), STDERR_FILENO);
        action();
        std::fflush(stderr);
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        file.seek(0);
        return file.readAll();
    }
    static void fill(TUserLoginForm& dialog, const QString& server, const QString& user,
                     const QString& password) {
        dialog.ConnComboBox->setEditText(server);
        dialog.LoginEdit->setText(user);
        dialog.PasswdEdit->setText(password);
    }

private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
    }
    void init() {
        m_drive = std::make_unique<QTemporaryDir>();
        qputenv("QUORVANE_DRIVE_C", m_drive->path().toLocal8Bit());
    }

    void wrongThenRightPassword() {
        MessageDialogsDouble dialogs;
        Connection db;
        TUserLoginForm dialog;
        dialog.Database = &db;
        QString captionAfterFailure;
        QString passwordAfterFailure;
        QString maskAfterFailure;
        bool openAfterFailure = true;
        QByteArray reason;
        const int result = runDialog(dialog, [&] {
            fill(dialog, "orcl", "Mari", "wrong");
            reason = standardErrorOf([&] { dialog.BitBtn1->click(); });
            captionAfterFailure = dialog.LogonCaption;
            passwordAfterFailure = dialog.PasswdEdit->text();
            maskAfterFailure = dialog.PasswdEdit->displayText();
            openAfterFailure = db.connected();
            QVERIFY(dialog.isVisible());
            dialog.PasswdEdit->setText(DemoData::MariPassword);
            dialog.BitBtn1->click();
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(dialogs.texts(), QStringList{"Password or user name does not match !"});
        // The one text for every failure; the reason for whoever runs the workstation.
        QVERIFY2(reason.startsWith("Quorvane: sign-in of Mari to ORCL failed: ") &&
                     reason.contains("password authentication failed"),
                 reason.constData());
        QCOMPARE(dialogs.last().kind, MsgKind::Information);
        QCOMPARE(dialogs.last().buttons, int(MbOk));
        QCOMPARE(captionAfterFailure, QString());
        QCOMPARE(passwordAfterFailure, QString("wrong"));
        QCOMPARE(maskAfterFailure, QString("*****")); // "*" per character, not the style's sign
        QVERIFY(!openAfterFailure);

        QVERIFY(db.connected());
        QCOMPARE(dialog.LogonCaption, QString("Logged on to quorvane. User name: Mari"));
        QCOMPARE(dialog.ConnComboBox->currentText(), QString("ORCL"));
        QCOMPARE(db.param("SERVER NAME"), QString("ORCL"));
        QCOMPARE(db.param("USER NAME"), QString("Mari"));
        QCOMPARE(db.param("PASSWORD"), DemoData::MariPassword);
    }

    void cancelAfterFailureLeavesConnectionClosed() {
        MessageDialogsDouble dialogs;
        Connection db;
        TUserLoginForm dialog;
        dialog.Database = &db;
        const int result = runDialog(dialog, [&] {
            fill(dialog, "ORCL", DemoData::MariUser, "nope");
            dialog.BitBtn1->click();
            dialog.BitBtn2->click();
        });
        QCOMPARE(result, int(QDialog::Rejected));
        QVERIFY(!db.connected());
        QVERIFY(!QFile::exists(settingsPath()));
    }

    void escapeCancels() {
        Connection db;
        TUserLoginForm dialog;
        dialog.Database = &db;
        const int result = runDialog(dialog, [&] {
            fill(dialog, "ORCL", DemoData::MariUser, DemoData::MariPassword);
            QTest::keyClick(&dialog, Qt::Key_Escape);
        });
        QCOMPARE(result, int(QDialog::Rejected));
        QVERIFY(!db.connected());
    }

    void newServerIsAppendedAndPasswordNeverWritten() {
        MessageDialogsDouble dialogs;
        writeSettings("[dblist]\r\nTEST=Y\r\n[lastuser]\r\nusername=jaan\r\n");
        Connection db;
        TUserLoginForm dialog;
        dialog.Database = &db;
        QString shownServer;
        QString shownUser;
        const int result = runDialog(dialog, [&] {
            shownServer = dialog.ConnComboBox->currentText();
            shownUser = dialog.LoginEdit->text();
            fill(dialog, "Orcl", "Mari", DemoData::MariPassword);
            dialog.BitBtn1->click();
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(shownServer, QString("TEST"));
        QCOMPARE(shownUser, QString("jaan"));
        // In memory the new server is on top; in the file it comes last.
        QCOMPARE(dialog.ConnComboBox->itemText(0), QString("ORCL"));
        QCOMPARE(dialog.ConnComboBox->count(), 2);
        const QByteArray text = readSettings();
        QVERIFY2(text.indexOf("TEST=Y") < text.indexOf("ORCL=Y"), text.constData());
        QVERIFY(text.contains("username=Mari"));
        QVERIFY(!text.contains(DemoData::MariPassword.toLatin1()));
        QVERIFY(dialogs.calls().isEmpty());

        // The next showing preselects the server that stands first in the file.
        const int again =
            runDialog(dialog, [&] { shownServer = dialog.ConnComboBox->currentText(); });
        QCOMPARE(again, int(QDialog::Rejected));
        QCOMPARE(shownServer, QString("TEST"));
        QCOMPARE(dialog.PasswdEdit->text(), QString());
    }

    void knownServerInOtherCaseIsNotAdded() {
        writeSettings("[dblist]\nOrcl=Y\n[lastuser]\nusername=mari\n");
        const QByteArray before = readSettings();
        Connection db;
        TUserLoginForm dialog;
        dialog.Database = &db;
        const int result = runDialog(dialog, [&] {
            fill(dialog, "orcl", "mari", DemoData::MariPassword);
            dialog.BitBtn1->click();
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(dialog.ConnComboBox->count(), 1);
        QCOMPARE(readSettings(), before);
    }

    void focusFollowsTheSettingsFile_data() {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("user");
        QTest::newRow("no file") << QByteArray() << "ConnComboBox"
                                 << ""
                                 << "";
        QTest::newRow("servers and user")
            << QByteArray("[dblist]\nORCL=Y\nTEST=Y\n[lastuser]\nusername=Mari\n") << "PasswdEdit"
            << "ORCL"
            << "Mari";
        QTest::newRow("user but no servers")
            << QByteArray("[lastuser]\nusername=Mari\n") << "ConnComboBox"
            << ""
            << "Mari";
        QTest::newRow("servers but no user") << QByteArray("[dblist]\nTEST=Y\n") << "LoginEdit"
                                             << "TEST"
                                             << "";
    }
    void focusFollowsTheSettingsFile() {
        QFETCH(QByteArray, settings);
        QFETCH(QString, focus);
        QFETCH(QString, server);
        QFETCH(QString, user);
        if (!settings.isEmpty()) {
            writeSettings(settings);
        }
        Connection db;
        TUserLoginForm dialog;
        dialog.Database = &db;
        QWidget* focused = nullptr;
        QString shownServer;
        QString shownUser;
        QString shownPassword = "x";
        runDialog(dialog, [&] {
            focused = dialog.focusWidget();
            shownServer = dialog.ConnComboBox->currentText();
            shownUser = dialog.LoginEdit->text();
            shownPassword = dialog.PasswdEdit->text();
        });
        QWidget* expected = focus == "ConnComboBox" ? static_cast<QWidget*>(dialog.ConnComboBox)
                            : focus == "LoginEdit"  ? static_cast<QWidget*>(dialog.LoginEdit)
                                                    : static_cast<QWidget*>(dialog.PasswdEdit);
        QVERIFY(focused == expected || (focused && expected->isAncestorOf(focused)));
        QCOMPARE(shownServer, server);
        QCOMPARE(shownUser, user);
        QCOMPARE(shownPassword, QString());
    }

    // The address form after the dialog's capitals: the database name is folded as the server
    // folds an unquoted name; in double quotes it keeps its case (and there is no QUORVANE).
    void addressFormAfterCapitals_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("signedIn");
        const QString address = QStringLiteral("127.0.0.1:%1/").arg(PgFixture::instance().port());
        QTest::newRow("unquoted") << address + DemoData::DatabaseName << true;
        QTest::newRow("quoted") << address + '"' + DemoData::DatabaseName + '"' << false;
    }
    void addressFormAfterCapitals() {
        QFETCH(QString, server);
        QFETCH(bool, signedIn);
        MessageDialogsDouble dialogs;
        Connection db;
        TUserLoginForm dialog;
        dialog.Database = &db;
        const int result = runDialog(dialog, [&] {
            fill(dialog, server, "Mari", DemoData::MariPassword);
            dialog.BitBtn1->click();
        });
        QCOMPARE(dialog.ConnComboBox->currentText(), server.toUpper());
        QCOMPARE(result == QDialog::Accepted, signedIn);
        if (signedIn)
            QCOMPARE(db.exec("select current_database()").rows.value(0).value(0).toString(),
                     DemoData::DatabaseName);
        else
            QCOMPARE(dialogs.texts(), QStringList{"Password or user name does not match !"});
    }

    void missingSettingsFolderKeepsTheSignIn() {
        MessageDialogsDouble dialogs;
        Connection db;
        TUserLoginForm dialog;
        dialog.Database = &db;
        const int result = runDialog(dialog, [&] {
            fill(dialog, "orcl", "mari", DemoData::MariPassword);
            dialog.BitBtn1->click();
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QVERIFY(db.connected());
        QCOMPARE(dialog.LogonCaption, QString("Logged on to quorvane. User name: mari"));
        QVERIFY(dialogs.calls().isEmpty());
        QVERIFY(!QFile::exists(settingsPath()));
        QCOMPARE(dialog.ConnComboBox->itemText(0), QString("ORCL"));
    }
};

QTEST_MAIN(LoginDialogTest)
#include "LoginDialogTest.moc"
