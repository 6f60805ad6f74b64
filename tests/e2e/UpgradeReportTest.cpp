// What a workstation reports after its upgrade check, end to end: the launcher's windows, the
// throwaway cluster and a pyftpdlib server, read back as an administrator reads it.
#include "LauncherHarness.h"

#include "PyFtpServer.h"
#include "data/DatabaseError.h"
#include "dialogs/MessageDialogsDouble.h"
#include "pg/DemoSignIn.h"
#include "programs/TestIcons.h"
#include "upgrade/UpgradeReport.h"

#include <QCryptographicHash>
#include <QProgressBar>
#include <QToolButton>
#include <QtTest>

namespace {

const QStringList Remote = {"finance/ledger.exe", "finance/invoice.exe", "stock/Stock.exe",
                            "tools/calc.exe"};

QString sha256(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString sourceText(const QString& relative) {
    QFile file(qEnvironmentVariable("QV_SOURCE_DIR") + QLatin1Char('/') + relative);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Mari's rows as an administrator sees them, one text per program.
QStringList adminView(Connection& admin) {
    QStringList rows;
    const auto found = admin.exec(
        "select format('%s %s %s %s %s/%s', exe_name, outcome, state, installed_version, "
        "coalesce(sha256, '-'), coalesce(received_sha256, '-')), host_name = $1 and machine_id "
        "= $2 from quorvane.workstation_programs where username = 'mari' order by prog_id",
        {UpgradeReport::hostName(), UpgradeReport::machineId()});
    for (const auto& row : found.rows)
        rows << row.value(0).toString() + (row.value(1).toBool() ? "" : " (other workstation)");
    return rows;
}

} // namespace

class UpgradeReportTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_ftpRoot;
    std::unique_ptr<ftptest::PyFtpServer> m_ftp;
    QByteArray m_build;
    std::unique_ptr<QTemporaryDir> m_drive;
    Connection m_admin;

    QStringList adminView() { return ::adminView(m_admin); }
    void serve(const QString& remote, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(m_ftpRoot.filePath(remote)).path());
        QVERIFY(TestIcons::writeFile(m_ftpRoot.filePath(remote), bytes));
    }
    void super(const QString& sql) {
        QVERIFY2(PgFixture::instance().superExec(sql),
                 qPrintable(PgFixture::instance().lastError()));
    }
    // Mari signs in, or refreshes; nothing is shown but the main window, whatever the report
    // meets, and the report has gone when the window is up.
    void signIn(LauncherWindows& w, bool refresh = false) {
        MessageDialogsDouble dialogs;
        if (refresh)
            w.form.SpeedButton3->click();
        else
            w.signIn();
        QCOMPARE(tabTexts(w.form.TabSet), DemoData::MariCompanies);
        QVERIFY(w.installer.Report->sendPending());
        QTRY_VERIFY(!w.installer.Report->sendPending());
        QVERIFY2(dialogs.calls().isEmpty(), qPrintable(dialogs.texts().join(" | ")));
    }

private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
        QFile recorder(ArgRecorder::programPath());
        QVERIFY(recorder.open(QIODevice::ReadOnly));
        m_build = recorder.readAll();
        m_ftp = std::make_unique<ftptest::PyFtpServer>(m_ftpRoot.path());
        QVERIFY2(m_ftp->isRunning(), qPrintable(m_ftp->errorText()));
        qputenv("QUORVANE_FTP_PORT", QByteArray::number(m_ftp->port()));
        super("drop role if exists anne; create role anne login password 'Lepp2026';"
              "grant quorvane_admin to anne");
        DemoData::setSignIn(m_admin, QStringLiteral("anne"), QStringLiteral("Lepp2026"));
    }
    void init() {
        QVERIFY(PgFixture::instance().resetData());
        super("truncate quorvane.upgrade_report");
        for (const QString& remote : Remote)
            serve(remote, m_build);
        m_drive = std::make_unique<QTemporaryDir>();
        qputenv("QUORVANE_DRIVE_C", m_drive->path().toLocal8Bit());
    }

    // The first sign-in fetches all four; the next fetches a raised Ledger and refuses a
    // tampered Invoices, and the view holds exactly that; a Refresh keeps the digest of what
    // is installed and tells the refusal again.
    void fetchAndRefusalAreWhatTheViewShows() {
        LauncherWindows w;
        signIn(w);
        const QString first = sha256(m_build);
        QCOMPARE(adminView(), (QStringList{"ledger.exe fetched at 1.250 " + first + "/-",
                                           "invoice.exe fetched at 2.000 " + first + "/-",
                                           "Stock.exe fetched at 3.100 " + first + "/-",
                                           "calc.exe fetched at 10.500 " + first + "/-"}));

        const QByteArray ledger = m_build + "ledger 1.300";
        const QByteArray tampered = m_build + "not what was published";
        serve(Remote[0], ledger);
        serve(Remote[1], tampered);
        super("update quorvane.quorvane_prog set version = 1.3, sha256 = '" + sha256(ledger) +
              "' where prog_id = 1; update quorvane.quorvane_prog set version = 2.1, sha256 = '" +
              sha256(m_build + "published") + "' where prog_id = 2");
        const QStringList second = {"ledger.exe fetched at 1.300 " + sha256(ledger) + "/-",
                                    "invoice.exe digest mismatch refused 2.000 " + first + "/" +
                                        sha256(tampered),
                                    "Stock.exe up to date at 3.100 " + first + "/-",
                                    "calc.exe up to date at 10.500 " + first + "/-"};
        LauncherWindows again;
        signIn(again);
        QCOMPARE(adminView(), second);
        // The fetch as its report tells it: the version before, the bytes, a time, no retry.
        QCOMPARE(m_admin
                     .exec("select previous_version, fetched_bytes, fetch_ms >= 0, retries from "
                           "quorvane.workstation_programs where exe_name = 'ledger.exe'")
                     .rows,
                 (QVector<QVector<QVariant>>{{"1.250", double(ledger.size()), true, 0.0}}));
        signIn(again, true);
        QStringList refreshed = second;
        refreshed[0].replace("fetched", "up to date");
        QCOMPARE(adminView(), refreshed);

        const auto status = m_admin.exec(
            "select format('%s %s/%s/%s/%s', exe_name, at_version, behind, failed, refused) "
            "from quorvane.rollout_status order by prog_id");
        QCOMPARE(status.rows, (QVector<QVector<QVariant>>{{"ledger.exe 1/0/0/0"},
                                                          {"invoice.exe 0/0/0/1"},
                                                          {"Stock.exe 1/0/0/0"},
                                                          {"calc.exe 1/0/0/0"}}));
    }

    // Jaan, a launcher user too, neither reads nor changes Mari's reports, reaches no view,
    // and his own call writes his own rows only.
    void anotherUserCannotReadOrChangeTheReports() {
        LauncherWindows w;
        signIn(w);
        const QStringList mari = adminView();
        QCOMPARE(mari.size(), 4);
        Connection jaan;
        DemoData::setSignIn(jaan, DemoData::JaanUser, DemoData::JaanPassword);
        QCOMPARE(jaan.exec("select * from quorvane.upgrade_report").rows.size(), 0);
        for (const char* refused :
             {"update quorvane.upgrade_report set outcome = 'failed'",
              "delete from quorvane.upgrade_report",
              "insert into quorvane.upgrade_report (username, host_name, machine_id, exe_name, "
              "outcome) values ('mari', 'x', '', 'ledger.exe', 'failed')",
              "select * from quorvane.workstation_programs",
              "select * from quorvane.rollout_status", "create temp table scratch (t text)"})
            QVERIFY_THROWS_EXCEPTION(EDatabaseError, jaan.exec(QString::fromLatin1(refused)));
        QCOMPARE(jaan.exec("show temp_file_limit").rows, (QVector<QVector<QVariant>>{{"256MB"}}));
        jaan.exec("call quorvane.report_upgrade('x', '', '{ledger.exe}', '{9}', '{NULL}', "
                  "'{failed}', '{NULL}', '{NULL}')");
        QCOMPARE(adminView(), mari);
        QCOMPARE(PgFixture::instance().superRows("select username, installed_version from "
                                                 "quorvane.upgrade_report where host_name = 'x'"),
                 (QList<QVariantList>{{"jaan", "9"}}));
    }

    // A server's reply with a NUL, an escape and more than the column holds still reaches
    // the administrator, cleaned and cut, with the rest of the report.
    void aCraftedMessageNeverLosesTheReport() {
        LauncherWindows w;
        signIn(w);
        UpgradeReport& report = *w.installer.Report;
        report.begin();
        report.listed("ledger.exe", "1.250");
        report.outdated("ledger.exe");
        report.failed("ledger.exe",
                      QString("550 a") + QChar(0) + "b\x1b[2J" + QString(990, 'x') + "\r\n");
        report.send();
        QCOMPARE(PgFixture::instance().superRows("select message from quorvane.upgrade_report "
                                                 "where exe_name = 'ledger.exe'"),
                 (QList<QVariantList>{{"550 a b [2J" + QString(989, 'x')}}));
    }

    // The report neither joins a transaction the user holds (the toolbar dialog) nor reopens a
    // connection the user closed (Login); the next report takes its entries along.
    void aWaitingReportLeavesTheUsersSessionAlone() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        QVERIFY(w.installer.Report->sendPending());
        w.form.Database1->startTransaction();
        QTRY_VERIFY(!w.installer.Report->sendPending());
        w.form.Database1->rollback();
        w.installer.Report->sendSoon();
        w.form.Database1->close();
        QTRY_VERIFY(!w.installer.Report->sendPending());
        QVERIFY(!w.form.Database1->connected());
        QVERIFY(adminView().isEmpty());
        super("delete from quorvane.user_prog_db where quorvane_prog_id = 10");
        signIn(w, true);
        QCOMPARE(adminView().size(), 4);
        QVERIFY(adminView().last().startsWith("calc.exe fetched at 10.500 "));
    }

    // A call the server refuses costs the sign-in nothing; its entries ride along once with
    // the next report (Calculator, no longer Mari's by then). A database of an earlier schema
    // without the procedure signs in as before.
    void aFailedReportOrAnOlderSchemaChangesNothingForTheUser() {
        super("create function quorvane.refuse() returns trigger language plpgsql as "
              "$$begin raise exception 'no reports today'; end$$;"
              "create trigger refuse before insert on quorvane.upgrade_report "
              "execute function quorvane.refuse()");
        LauncherWindows w;
        signIn(w);
        super("drop function quorvane.refuse() cascade;"
              "delete from quorvane.user_prog_db where quorvane_prog_id = 10");
        QVERIFY(adminView().isEmpty());
        signIn(w, true);
        QCOMPARE(adminView().size(), 4);
        QVERIFY(adminView().last().startsWith("calc.exe fetched at 10.500 "));

        const QString update = sourceText("db/update.sql");
        QVERIFY(!update.isEmpty());
        super("drop view quorvane.rollout_status, quorvane.workstation_programs;"
              "drop procedure quorvane.report_upgrade; drop table quorvane.upgrade_report");
        m_drive = std::make_unique<QTemporaryDir>();
        qputenv("QUORVANE_DRIVE_C", m_drive->path().toLocal8Bit());
        LauncherWindows older;
        signIn(older);
        QCOMPARE(older.installer.ProgressBar1->value(), 3);
        super(update);
    }
};

QTEST_MAIN(UpgradeReportTest)
#include "UpgradeReportTest.moc"
