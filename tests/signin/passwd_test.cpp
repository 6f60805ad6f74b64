#include "signin/passwd2.h"

#include "DemoData.h"
#include "PgFixture.h"
#include "data/Connection.h"
#include "data/StoredProc.h"
#include "dialogs/MessageDialogsDouble.h"
#include "platform/Exception.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

using namespace DemoData;

namespace {

const QString ServerName = QStringLiteral("ORCL");
const QString NewPassword = QStringLiteral("Birch2027");

void signIn(Connection& c, const QString& user, const QString& password) {
    c.setParam(QStringLiteral("SERVER NAME"), ServerName);
    c.setParam(QStringLiteral("USER NAME"), user);
    c.setParam(QStringLiteral("PASSWORD"), password);
}

// A second, independent sign-in: what the server holds now.
bool canSignIn(const QString& user, const QString& password) {
    Connection other(QStringLiteral("CHECK"));
    signIn(other, user, password);
    try {
        other.open();
    } catch (const Exception&) {
        return false;
    }
    return other.connected();
}

QString storedSecret(const QString& role) {
    const QList<QVariantList> rows = PgFixture::instance().superRows(
        QStringLiteral("select rolpassword from pg_authid where rolname = '%1'").arg(role));
    return rows.isEmpty() ? QString() : rows.first().value(0).toString();
}

// The server's log from `offset` on; every statement goes there in this test.
QByteArray serverLog(qint64 offset = 0) {
    QFile log(PgFixture::instance().directory() + QStringLiteral("/server.log"));
    if (!log.open(QIODevice::ReadOnly) || !log.seek(offset))
        return {};
    return log.readAll();
}

QString changed() {
    return QStringLiteral("Your password in database ORCL has been changed!");
}

QStringList failed() {
    return {QStringLiteral("Unable to change Your password in ORCL\rContact SYSTEM-ADMINISTRATOR!"),
            QStringLiteral("Your password in database ORCLwas not changed!")};
}

// The main window's part: the signed-in connection and the dialog's fields.
struct Session {
    Connection connection;
    TFormPaswd dialog;
    explicit Session(const QString& user = MariUser, const QString& stored = MariPassword) {
        signIn(connection, user, stored);
        connection.open();
        dialog.UserName = user;
        dialog.StoredPassword = stored;
        dialog.Database = &connection;
    }
    void type(const QString& current, const QString& fresh, const QString& again) {
        dialog.Edit1->setText(current);
        dialog.Edit2->setText(fresh);
        dialog.Edit3->setText(again);
    }
};

} // namespace

class PasswdTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
        QVERIFY2(PgFixture::instance().resetData(), qPrintable(PgFixture::instance().lastError()));
        // As on an audited server: every statement in the log.
        QVERIFY(PgFixture::instance().superExec(
            QStringLiteral("alter system set log_statement = 'all'")));
        QVERIFY(PgFixture::instance().superExec(QStringLiteral("select pg_reload_conf()")));
        QTRY_COMPARE(
            PgFixture::instance().superRows(QStringLiteral("show log_statement")).value(0).value(0),
            QVariant(QStringLiteral("all")));
    }
    // These cases change only passwords; restoring them is much cheaper than a reload.
    void init() {
        QVERIFY2(PgFixture::instance().superExec(
                     QStringLiteral("alter role mari password '%1'; alter role jaan password '%2'")
                         .arg(MariPassword, JaanPassword)),
                 qPrintable(PgFixture::instance().lastError()));
    }

    void entriesAndOkButton() {
        MessageDialogsDouble dialogs;
        Session s;
        QCOMPARE(s.dialog.windowTitle(), QStringLiteral("Change database password"));
        s.type(QStringLiteral("leftover"), QStringLiteral("leftover"), QStringLiteral("leftover"));
        s.dialog.show();
        QVERIFY(s.dialog.Edit1->text().isEmpty() && s.dialog.Edit3->text().isEmpty());
        QCOMPARE(s.dialog.Panel1->text(), MariUser);
        QCOMPARE(s.dialog.ServerName, ServerName);
        QVERIFY(!s.dialog.BitBtn2->isEnabled());
        for (QLineEdit* entry : {s.dialog.Edit1, s.dialog.Edit2, s.dialog.Edit3}) {
            QCOMPARE(entry->maxLength(), 16);
            QCOMPARE(entry->echoMode(), QLineEdit::Password);
        }
        s.type(QStringLiteral("Kask22"), QStringLiteral("Kask2"), QString());
        QCOMPARE(s.dialog.Edit1->displayText(), QStringLiteral("******"));
        QCOMPARE(s.dialog.Edit2->displayText(), QStringLiteral("*****"));
        // A short current password keeps OK disabled as well.
        s.type(QStringLiteral("Kask2"), NewPassword, NewPassword);
        QVERIFY(!s.dialog.BitBtn2->isEnabled());
        s.dialog.Edit1->setText(MariPassword);
        QVERIFY(s.dialog.BitBtn2->isEnabled());
        s.dialog.Edit3->setText(QStringLiteral("Birch"));
        QVERIFY(!s.dialog.BitBtn2->isEnabled());
        s.dialog.ClearEntries();
        QVERIFY(s.dialog.Edit2->text().isEmpty());
        QVERIFY(!s.dialog.BitBtn2->isEnabled());
        QVERIFY(dialogs.calls().isEmpty());
    }

    void newPasswordSignsInAndOldOneNoLonger() {
        MessageDialogsDouble dialogs;
        Session s;
        s.dialog.show();
        s.type(MariPassword, NewPassword, NewPassword);
        QTest::mouseClick(s.dialog.BitBtn2, Qt::LeftButton);
        QCOMPARE(dialogs.texts(), QStringList{changed()});
        QCOMPARE(dialogs.last().call, DialogCall::MessageBox);
        QCOMPARE(s.dialog.result(), int(QDialog::Accepted));
        QVERIFY(!s.dialog.isVisible());
        QVERIFY(!s.connection.connected());
        QCOMPARE(s.dialog.Edit2->text(), NewPassword);
        QVERIFY(canSignIn(MariUser, NewPassword));
        QVERIFY(!canSignIn(MariUser, MariPassword));
        // The main window carries the new password into the connection and reopens it.
        s.connection.setParam(QStringLiteral("PASSWORD"), s.dialog.Edit2->text());
        s.connection.open();
        QVERIFY(s.connection.connected());
    }

    void modalRunEndsWithOk() {
        MessageDialogsDouble dialogs;
        Session s(QStringLiteral("Jaan"), JaanPassword);
        QTimer::singleShot(0, &s.dialog, [&s] {
            s.type(JaanPassword, NewPassword, NewPassword);
            QTest::keyClick(s.dialog.Edit3, Qt::Key_Return); // OK is the default button
        });
        QCOMPARE(s.dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(dialogs.texts(), QStringList{changed()});
        QVERIFY(canSignIn(JaanUser, NewPassword));
    }

    void storedPasswordNoLongerValidAtShow() {
        MessageDialogsDouble dialogs;
        Session s;
        QVERIFY(PgFixture::instance().superExec(
            QStringLiteral("alter role mari password 'Elsewhere1'")));
        QCOMPARE(s.dialog.exec(), int(QDialog::Rejected));
        QCOMPARE(dialogs.texts(), QStringList{QStringLiteral(
                                      "Unable to connect because your old passwd is wrong.")});
        QCOMPARE(dialogs.last().call, DialogCall::MessageBox);
        QVERIFY(!s.connection.connected());
        QCOMPARE(s.connection.param(QStringLiteral("PASSWORD")), MariPassword);
    }

    void wrongCurrentPasswordComesBeforeAnyRule_data() {
        QTest::addColumn<QString>("fresh");
        QTest::addColumn<QString>("again");
        QTest::newRow("valid") << NewPassword << NewPassword;
        QTest::newRow("mistyped") << NewPassword << QStringLiteral("Other2027");
        QTest::newRow("digit first") << QStringLiteral("1birch27") << QStringLiteral("1birch27");
        QTest::newRow("same as typed") << QStringLiteral("Kask2025") << QStringLiteral("Kask2025");
    }
    void wrongCurrentPasswordComesBeforeAnyRule() {
        QFETCH(QString, fresh);
        QFETCH(QString, again);
        MessageDialogsDouble dialogs;
        Session s;
        s.dialog.show();
        s.type(QStringLiteral("Kask2025"), fresh, again);
        s.dialog.BitBtn2Click();
        QCOMPARE(dialogs.texts(),
                 QStringList{QStringLiteral("Password (the old one) is not correct!")});
        QVERIFY(s.dialog.isVisible());
        QCOMPARE(s.dialog.Edit2->text(), fresh);
        QVERIFY(!s.connection.connected());
        QVERIFY(canSignIn(MariUser, MariPassword));
    }

    void cancelAfterWrongPasswordLeavesLauncherWorking_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("Cancel button") << 0;
        QTest::newRow("Esc key") << 1;
        QTest::newRow("close box") << 2;
    }
    void cancelAfterWrongPasswordLeavesLauncherWorking() {
        QFETCH(int, how);
        MessageDialogsDouble dialogs;
        Session s;
        s.dialog.show();
        s.type(QStringLiteral("mistyped"), NewPassword, NewPassword);
        s.dialog.BitBtn2Click();
        QCOMPARE(s.connection.param(QStringLiteral("PASSWORD")), QStringLiteral("mistyped"));
        if (how == 0) {
            QTest::mouseClick(s.dialog.BitBtn1, Qt::LeftButton);
        } else if (how == 1) {
            QTest::keyClick(s.dialog.Edit1, Qt::Key_Escape);
        } else {
            s.dialog.close();
        }
        QCOMPARE(s.dialog.result(), int(QDialog::Rejected));
        QVERIFY(!s.dialog.isVisible());
        QVERIFY(!s.connection.connected());
        // The next timer tick calls the server date on the closed connection, which reopens.
        StoredProc sysDate(&s.connection);
        sysDate.setStoredProcName(QStringLiteral("QUORVANE.OUTSYSTEM_DATE"));
        sysDate.execProc();
        QCOMPARE(sysDate.paramByName(QStringLiteral("D")).asDate(), QDate::currentDate());
        QVERIFY(s.connection.connected());
    }

    void rulesInTheirOrder_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("fresh");
        QTest::addColumn<QString>("again");
        QTest::addColumn<QString>("message");
        const QString tooShort =
            QStringLiteral("Password too short. Must be at least 6 characters!");
        const QString mistyped =
            QStringLiteral("You misstyped one of the new passwords, try again!");
        const QString spaces = QStringLiteral("Don't use spaces in password!");
        const QString digit = QStringLiteral("Password must start with a letter (not number)!");
        const QString name = QStringLiteral("Don't use your user-name in password!");
        QTest::newRow("short") << "mari"
                               << "Bir1"
                               << "xx" << tooShort;
        QTest::newRow("case differs") << "mari"
                                      << "Birch2027"
                                      << "birch2027" << mistyped;
        QTest::newRow("mistyped before blank") << "mari"
                                               << "Bir ch27"
                                               << "Bir ch28" << mistyped;
        QTest::newRow("blank") << "mari"
                               << "Birch 27"
                               << "Birch 27" << spaces;
        QTest::newRow("blank before digit") << "mari"
                                            << "1 birch"
                                            << "1 birch" << spaces;
        QTest::newRow("digit first") << "mari"
                                     << "2Birch27"
                                     << "2Birch27" << digit;
        QTest::newRow("digit before name") << "mari"
                                           << "9mari99"
                                           << "9mari99" << digit;
        QTest::newRow("user name") << "mari"
                                   << "xmari123"
                                   << "xmari123" << name;
        QTest::newRow("user name in capitals") << "mari"
                                               << "OurMARI1"
                                               << "OurMARI1" << name;
    }
    void rulesInTheirOrder() {
        QFETCH(QString, user);
        QFETCH(QString, fresh);
        QFETCH(QString, again);
        QFETCH(QString, message);
        MessageDialogsDouble dialogs;
        Session s(user);
        s.dialog.show();
        s.type(MariPassword, fresh, again);
        s.dialog.BitBtn2Click();
        QCOMPARE(dialogs.texts(), QStringList{message});
        QCOMPARE(dialogs.last().call, DialogCall::MessageBox);
        QVERIFY(s.dialog.isVisible());
        QVERIFY(s.connection.connected()); // a broken rule leaves the connection open
        QVERIFY(canSignIn(MariUser, MariPassword));
    }

    // Any text that passes the rules is a password; the server's log never shows it.
    void passingRulesChangesThePassword_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("fresh");
        // The name as typed holds a capital, so the lower-case form never contains it.
        QTest::newRow("name typed with a capital") << "Mari"
                                                   << "xmari123";
        QTest::newRow("differs from old only in case") << "mari"
                                                       << "kask2026";
        QTest::newRow("sixteen characters") << "mari"
                                            << "Abcdefghij123456";
        QTest::newRow("Estonian letters") << "mari" << QStringLiteral("Jõgeva26x");
        QTest::newRow("Estonian capitals") << "mari" << QStringLiteral("ÕunÄÖÜ2026");
        QTest::newRow("quote") << "mari"
                               << "abc'def";
        QTest::newRow("quoted statement") << "mari"
                                          << "x';drop/**/table";
        QTest::newRow("semicolon") << "mari"
                                   << "abc;select/**/1";
        QTest::newRow("comment") << "mari"
                                 << "abc--def";
        QTest::newRow("backslash") << "mari"
                                   << "abc\\def";
        QTest::newRow("double quote") << "mari"
                                      << "ab\"cd\"ef";
        QTest::newRow("punctuation first") << "mari"
                                           << "#birch27";
    }
    void passingRulesChangesThePassword() {
        QFETCH(QString, user);
        QFETCH(QString, fresh);
        MessageDialogsDouble dialogs;
        Session s(user);
        s.dialog.show();
        s.type(MariPassword, fresh, fresh);
        const QString countTables =
            QStringLiteral("select count(*) from pg_tables where schemaname = 'quorvane'");
        const QList<QVariantList> tablesBefore = PgFixture::instance().superRows(countTables);
        QVERIFY(tablesBefore.value(0).value(0).toInt() >= 3);
        const qint64 logStart = serverLog().size();
        s.dialog.BitBtn2Click();
        QCOMPARE(dialogs.texts(), QStringList{changed()});
        QCOMPARE(s.dialog.result(), int(QDialog::Accepted));
        QVERIFY(canSignIn(MariUser, fresh));
        QVERIFY(!canSignIn(MariUser, MariPassword));
        const QByteArray log = serverLog(logStart);
        QVERIFY2(log.contains("ALTER USER \"mari\" PASSWORD 'SCRAM-SHA-256$"), log.constData());
        QVERIFY(!log.contains(fresh.toUtf8()));
        QVERIFY(!log.contains(fresh.toLatin1()));
        QCOMPARE(PgFixture::instance().superRows(countTables), tablesBefore);
    }

    void samePasswordAsks() {
        MessageDialogsDouble dialogs;
        Session s;
        s.dialog.show();
        s.type(MariPassword, MariPassword, MariPassword);
        const QString before = storedSecret(MariUser);
        dialogs.answer(MbNo);
        s.dialog.BitBtn2Click();
        QCOMPARE(dialogs.calls().size(), 1);
        QCOMPARE(dialogs.last().call, DialogCall::MessageDlg);
        QCOMPARE(dialogs.last().text,
                 QStringLiteral("New password is identical with the old one!\rAre You sure!"));
        QCOMPARE(dialogs.last().kind, MsgKind::Warning);
        QCOMPARE(dialogs.last().buttons, int(MbYes | MbNo));
        QVERIFY(s.dialog.isVisible());
        QCOMPARE(storedSecret(MariUser), before);

        dialogs.clear();
        dialogs.answer(MbYes);
        s.dialog.BitBtn2Click();
        QCOMPARE(dialogs.texts().size(), 2);
        QCOMPARE(dialogs.texts().last(), changed());
        QCOMPARE(s.dialog.result(), int(QDialog::Accepted));
        // The statement ran: the server stored the same password anew, with a new salt.
        QVERIFY(storedSecret(MariUser) != before);
        QVERIFY(canSignIn(MariUser, MariPassword));
    }

    // The server refuses the statement (the user's sessions are made read-only): both
    // messages follow, nothing changes, and the next OK, on a session that may write again,
    // goes through.
    void failedStatementKeepsTheDialogOpen() {
        MessageDialogsDouble dialogs;
        Session s;
        s.dialog.show();
        s.type(MariPassword, MariPassword, MariPassword);
        const QString before = storedSecret(MariUser);
        PgFixture& pg = PgFixture::instance();
        // OK opens a new session to check the current password; that one is read-only.
        QVERIFY(pg.superExec("alter role mari set default_transaction_read_only = on"));
        const auto writable = qScopeGuard(
            [&pg] { pg.superExec("alter role mari reset default_transaction_read_only"); });
        dialogs.answer(MbYes);
        s.dialog.BitBtn2Click();
        QVERIFY(pg.superExec("alter role mari reset default_transaction_read_only"));
        QCOMPARE(dialogs.texts().mid(1), failed());
        QVERIFY(s.dialog.isVisible());
        QCOMPARE(s.dialog.result(), int(QDialog::Rejected));
        QCOMPARE(storedSecret(MariUser), before);
        QCOMPARE(s.dialog.Edit2->text(), MariPassword);

        dialogs.clear();
        s.type(MariPassword, NewPassword, NewPassword);
        s.dialog.BitBtn2Click();
        QCOMPARE(dialogs.texts(), QStringList{changed()});
        QVERIFY(canSignIn(MariUser, NewPassword));
    }
};

QTEST_MAIN(PasswdTest)
#include "passwd_test.moc"
