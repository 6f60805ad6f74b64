// The whole system end to end: the five windows built as the main block builds them, the
// throwaway cluster with the demo data, and a real pyftpdlib server (vsftpd for one case)
// holding the client programs (the argument recorder under each exe name), on a workstation
// that starts empty.
// Sign-ins upgrade what is outdated, and the fetched programs start with the right arguments.
//
// Host by host on the wire (three programs on one host, one on another: one connection each,
// QUIT between) is checked in tests/upgrade/UpgradeRunTest.cpp, hostByHost, where the scripted
// server records every command.
#include "LauncherHarness.h"

#include "PyFtpServer.h"
#include "ScriptedFtpServer.h"
#include "VsFtpServer.h"
#include "data/Connection.h"
#include "data/ProfileFile.h"
#include "data/Query.h"
#include "dialogs/MessageDialogsDouble.h"
#include "net/FtpClient.h"
#include "programs/TestIcons.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>
#include <QProgressBar>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QToolButton>
#include <QtTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using ftptest::FtpScript;
using ftptest::PyFtpServer;
using ftptest::ScriptedFtpServer;
using ftptest::VsFtpServer;

namespace {

// The programs the upgrade utility keeps current for Mari, where they land on the drive.
struct Fetched {
    QString exe;
    QString local;  // below the drive folder
    QString remote; // below the FTP root
    QString version;
};
const QList<Fetched> MariPrograms = {
    {"ledger.exe", "qv/finance/ledger.exe", "finance/ledger.exe", "1.250"},
    {"invoice.exe", "qv/finance/invoice.exe", "finance/invoice.exe", "2.000"},
    {"Stock.exe", "qv/stock/Stock.exe", "stock/Stock.exe", "3.100"},
    {"calc.exe", "qv/tools/calc.exe", "tools/calc.exe", "10.500"},
};

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The file's identity: a replacement is a new file, a file left alone keeps its inode.
ino_t inode(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

// Where a running process's program file is; " (deleted)" follows a file replaced since.
QString programOfProcess(qint64 pid) {
    char target[4096];
    const QByteArray link = "/proc/" + QByteArray::number(pid) + "/exe";
    const ssize_t size = ::readlink(link.constData(), target, sizeof target);
    return size > 0 ? QFile::decodeName(QByteArray(target, int(size))) : QString();
}

int rowOf(const Dataset* data, const QString& field, const QString& value) {
    for (int row = 0; row < data->recordCount(); ++row)
        if (data->value(row, field).toString() == value)
            return row;
    return -1;
}

} // namespace

class SignInUpgradeTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_ftpRoot;
    // The trusted key folder, and a key store outside it.
    QTemporaryDir m_keys;
    QTemporaryDir m_keyStore;
    const QString m_trustedKey = m_keys.filePath(QStringLiteral("trusted"));
    const QString m_otherKey = m_keyStore.filePath(QStringLiteral("other"));
    std::unique_ptr<PyFtpServer> m_ftp;
    std::unique_ptr<VsFtpServer> m_vsftpd;
    QByteArray m_recorder;
    std::unique_ptr<QTemporaryDir> m_drive;
    QString m_argsFile;

    QString onDrive(const QString& path) const { return m_drive->path() + QLatin1Char('/') + path; }
    QString served(const QString& path) const { return m_ftpRoot.path() + QLatin1Char('/') + path; }
    // A newer build of a program on the server: the recorder with a mark of its own behind it.
    QByteArray serveNewBuild(const Fetched& p) {
        const QByteArray bytes = m_recorder + "\nnew build of " + p.exe.toLatin1() + "\n";
        TestIcons::writeFile(served(p.remote), bytes);
        return bytes;
    }
    void raiseVersion(const QString& exe, const QString& version) {
        QVERIFY2(PgFixture::instance().superExec(
                     QStringLiteral("update quorvane.quorvane_prog set version = %1 "
                                    "where prog_exe = '%2'")
                         .arg(version, exe)),
                 qPrintable(PgFixture::instance().lastError()));
    }
    void pin(const QString& exe, const QString& digest) {
        QVERIFY2(PgFixture::instance().superExec(
                     QStringLiteral("update quorvane.quorvane_prog set sha256 = %1 "
                                    "where prog_exe = '%2'")
                         .arg(digest.isEmpty() ? QStringLiteral("null") : "'" + digest + "'", exe)),
                 qPrintable(PgFixture::instance().lastError()));
    }
    // The administrator's signed publish of `file` as invoice.exe's release, through the command.
    void publishSigned(const QString& file, const QString& version, const QString& key) {
        const PgFixture& pg = PgFixture::instance();
        QProcess publish;
        publish.setProcessChannelMode(QProcess::MergedChannels);
        publish.start(qEnvironmentVariable("QV_SOURCE_DIR") + "/scripts/quorvane-publish",
                      {"--key", key, file, version, "--", "-h", pg.directory(), "-p",
                       QString::number(pg.port()), "-U", "postgres", "-d", "quorvane"});
        QVERIFY(publish.waitForFinished(60000));
        QVERIFY2(publish.exitCode() == 0, publish.readAll().constData());
    }
    QString recorded(const QString& exe) const {
        return ProfileFile(QStringLiteral("c:\\quorvane3\\quorvane.ini"))
            .readString(QStringLiteral("progversion"), exe, QStringLiteral("<none>"));
    }
    // Part files of downloads that did not complete, anywhere on the drive.
    QStringList partFiles() const {
        QStringList found;
        QDirIterator it(m_drive->path(), {QStringLiteral("*.part"), QStringLiteral(".*.part")},
                        QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
        return found;
    }
    static void doubleClickProgram(TQuorvaneForm& form, const QString& name) {
        if (form.DBGrid1->isHidden())
            form.SpeedButton1->click();
        const int row = rowOf(form.QueryProg, QStringLiteral("PROG_NAME"), name);
        QVERIFY(row >= 0);
        QTest::mouseDClick(form.DBCtrlGrid1->viewport(), Qt::LeftButton, {},
                           form.DBCtrlGrid1->textRect(row).center());
    }
    // One start of the launcher: Mari signs in and the main window is built. Returns the
    // number of upgrade runs the sign-in made.
    int signIn(LauncherWindows& w, MessageDialogsDouble& dialogs) {
        QSignalSpy runs(&w.installer, &TFormInstaller::runningChanged);
        w.signIn();
        [&] {
            QVERIFY(w.form.isVisible());
            QCOMPARE(tabTexts(w.form.TabSet), DemoData::MariCompanies);
            QVERIFY(!w.installer.isVisible());
            QVERIFY(!w.installer.running());
            QVERIFY2(dialogs.calls().isEmpty(), qPrintable(dialogs.texts().join(" | ")));
        }();
        return int(runs.count()) / 2;
    }
    // The first start on the empty workstation, as every case begins.
    void firstSignIn() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QCOMPARE(signIn(w, dialogs), 1);
    }

private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
        // Two publisher keys; the workstations trust the first only.
        for (const QString& key : {m_trustedKey, m_otherKey})
            QCOMPARE(QProcess::execute(qEnvironmentVariable("QV_SOURCE_DIR") +
                                           "/scripts/quorvane-publish",
                                       {"--new-key", key}),
                     0);
        m_recorder = readAll(ArgRecorder::programPath());
        QVERIFY(m_recorder.startsWith("\x7f"
                                      "ELF"));
        m_ftp = std::make_unique<PyFtpServer>(m_ftpRoot.path());
        QVERIFY2(m_ftp->isRunning(), qPrintable(m_ftp->errorText()));
        m_vsftpd = std::make_unique<VsFtpServer>(m_ftpRoot.path());
        QVERIFY2(m_vsftpd->isRunning(), qPrintable(m_vsftpd->errorText()));
    }
    void init() {
        QVERIFY(PgFixture::instance().resetData());
        for (const Fetched& p : MariPrograms) {
            QDir().mkpath(QFileInfo(served(p.remote)).path());
            QVERIFY(TestIcons::writeFile(served(p.remote), m_recorder));
        }
        m_drive = std::make_unique<QTemporaryDir>();
        qputenv("QUORVANE_DRIVE_C", m_drive->path().toLocal8Bit());
        m_argsFile = m_drive->path() + QStringLiteral("/args.jsonl");
        qputenv("QV_ARGS_OUT", m_argsFile.toLocal8Bit());
        qputenv("QUORVANE_FTP_PORT", QByteArray::number(m_ftp->port()));
    }
    void cleanup() { m_drive.reset(); }

    // An empty workstation: the first sign-in fetches every listed program into its nested
    // client folder, executable, records each version, leaves no part file, and a double
    // click starts a fetched program with the server, user, password and company. vsftpd
    // announces "(N bytes)" after the file's name, here in a folder with "byte" in its name.
    void firstSignInFetchesEverything_data() {
        QTest::addColumn<bool>("vsftpd");
        QTest::newRow("pyftpdlib") << false;
        QTest::newRow("vsftpd, Ledger in host:/ByteTools") << true;
    }
    void firstSignInFetchesEverything() {
        QFETCH(bool, vsftpd);
        if (vsftpd) {
            QDir().mkpath(served("ByteTools"));
            QVERIFY(TestIcons::writeFile(served("ByteTools/ledger.exe"), m_recorder));
            QVERIFY(PgFixture::instance().superExec(
                "update quorvane.quorvane_prog set serverpath = '127.0.0.1:/ByteTools' "
                "where prog_exe = 'ledger.exe'"));
            qputenv("QUORVANE_FTP_PORT", QByteArray::number(m_vsftpd->port()));
        }
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QCOMPARE(signIn(w, dialogs), 1);
        // The sign-in ran on TLS (ORCL names no sslmode: verify-full).
        const auto tls =
            w.form.Database1->exec("select ssl from pg_stat_ssl where pid = pg_backend_pid()");
        QCOMPARE(tls.rows.value(0).value(0), QVariant(true));
        QCOMPARE(w.installer.ProgressBar1->maximum(), MariPrograms.size());
        QCOMPARE(w.installer.ProgressBar1->value(), MariPrograms.size());
        for (const Fetched& p : MariPrograms) {
            QCOMPARE(readAll(onDrive(p.local)), m_recorder);
            QVERIFY(QFileInfo(onDrive(p.local)).isExecutable());
            QCOMPARE(recorded(p.exe), p.version);
        }
        QVERIFY(partFiles().isEmpty());
        // Nothing the database does not list: Payroll is no upgrade program, Shipping is on d:.
        QVERIFY(!QFileInfo::exists(onDrive("apps")));
        QVERIFY(!QFileInfo::exists(onDrive("logistics")));

        doubleClickProgram(w.form, "Ledger");
        QVERIFY(ArgRecorder::waitForRecords(m_argsFile, 1));
        QCOMPARE(ArgRecorder::readRecords(m_argsFile).first(),
                 (QStringList{"c:\\qv\\finance\\ledger.exe", "ORCL", "Mari", DemoData::MariPassword,
                              "10"}));
        QVERIFY(dialogs.calls().isEmpty());
    }

    // A new account, as after installing the package: an empty home folder, no drive-folder
    // and no XDG variables. The first sign-in makes the drive folder, then fetches and records
    // every program; the login dialog wrote before c:\quorvane3 existed, so the second sign-in
    // is the one that remembers the server and the user. A file where the drive folder belongs
    // is told once, by the folder's name on disk, and the sign-in still works.
    void firstRunOnANewAccount() {
        const QByteArray savedHome = qgetenv("HOME");
        const auto restoreHome = qScopeGuard([&] { qputenv("HOME", savedHome); });
        for (const char* name : {"QUORVANE_DRIVE_C", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                                 "XDG_CACHE_HOME", "XDG_STATE_HOME"})
            qunsetenv(name);
        QTemporaryDir home;
        qputenv("HOME", home.path().toLocal8Bit());
        const QString drive = home.path() + "/.local/share/quorvane/c/";
        const ProfileFile settings(QStringLiteral("c:\\quorvane3\\quorvane.ini"));
        for (int start = 1; start <= 2; ++start) {
            MessageDialogsDouble dialogs;
            LauncherWindows w;
            QCOMPARE(signIn(w, dialogs), start == 1 ? 1 : 0);
            for (const Fetched& p : MariPrograms) {
                QCOMPARE(readAll(drive + p.local), m_recorder);
                QCOMPARE(recorded(p.exe), p.version);
            }
            QCOMPARE(settings.readString("lastuser", "username", "<none>"),
                     QString(start == 1 ? "<none>" : "Mari"));
        }
        QStringList servers;
        settings.readSection("dblist", servers);
        QCOMPARE(servers, QStringList{"ORCL"});
        QVERIFY(!(QFileInfo(drive).permissions() & 0x0077));

        QTemporaryDir blocked;
        qputenv("HOME", blocked.path().toLocal8Bit());
        QFile inTheWay(blocked.path() + "/.local");
        QVERIFY(inTheWay.open(QIODevice::WriteOnly));
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        QCOMPARE(tabTexts(w.form.TabSet), DemoData::MariCompanies);
        const QString told = dialogs.texts().value(0);
        QVERIFY2(told.startsWith("Creating directory " + blocked.path() +
                                 "/.local/share/quorvane/c failed: "),
                 qPrintable(told));
    }

    // The next start finds everything current: no upgrade run, every file untouched.
    void secondSignInFetchesNothing() {
        firstSignIn();
        QList<ino_t> before;
        for (const Fetched& p : MariPrograms)
            before << inode(onDrive(p.local));

        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QCOMPARE(signIn(w, dialogs), 0);
        QCOMPARE(w.installer.CountOutdated(), 0);
        for (qsizetype i = 0; i < MariPrograms.size(); ++i) {
            QCOMPARE(inode(onDrive(MariPrograms[i].local)), before[i]);
            QCOMPARE(recorded(MariPrograms[i].exe), MariPrograms[i].version);
        }
    }

    // A version raised in the database fetches that program alone, over the old one.
    void raisedVersionFetchesOnlyThatProgram() {
        firstSignIn();
        QList<ino_t> before;
        for (const Fetched& p : MariPrograms)
            before << inode(onDrive(p.local));
        const Fetched& invoice = MariPrograms[1];
        const QByteArray newBuild = serveNewBuild(invoice);
        raiseVersion(invoice.exe, "2.100");

        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QCOMPARE(signIn(w, dialogs), 1);
        QCOMPARE(w.installer.ProgressBar1->maximum(), 1);
        QCOMPARE(readAll(onDrive(invoice.local)), newBuild);
        QCOMPARE(recorded(invoice.exe), QStringLiteral("2.100"));
        for (qsizetype i = 0; i < MariPrograms.size(); ++i) {
            if (i == 1)
                continue;
            QCOMPARE(inode(onDrive(MariPrograms[i].local)), before[i]);
            QCOMPARE(recorded(MariPrograms[i].exe), MariPrograms[i].version);
        }

        doubleClickProgram(w.form, "Invoices");
        QVERIFY(ArgRecorder::waitForRecords(m_argsFile, 1));
        QCOMPARE(ArgRecorder::readRecords(m_argsFile).first().first(),
                 QStringLiteral("c:\\qv\\finance\\invoice.exe"));
    }

    // The database pins a program to the digest of the build the administrator published: a
    // file on the server with other bytes is never installed nor recorded (the old program
    // stays and is listed again), the published one is, and a program without a digest is
    // fetched unchecked. A stale row for the same file at the old version, pinned to the old
    // build, sorting first and spelling the folder in other letters, changes nothing. With a
    // trusted key configured only a release signed by it over exactly what the row lists
    // installs; any other is refused before it is fetched.
    void digestDecidesWhatIsInstalled_data() {
        QTest::addColumn<bool>("tampered");
        QTest::addColumn<bool>("pinned");
        QTest::addColumn<QString>("duplicate"); // a second row for the same file
        QTest::addColumn<QString>("signing");   // empty: no key configured
        QTest::addColumn<QString>("refusal");
        const auto row = [](const char* name, bool tampered, bool pinned, const char* duplicate,
                            const char* signing, const char* refusal) {
            QTest::newRow(name) << tampered << pinned << QString::fromLatin1(duplicate)
                                << QString::fromLatin1(signing) << QString::fromLatin1(refusal);
        };
        row("tampered file", true, true, "", "", "");
        row("published file", false, true, "", "", "");
        row("no digest", false, false, "", "", "");
        row("unpinned row first", true, true, "first", "", "");
        row("stale row at the old version", false, true, "stale", "", "");
        row("signed by a trusted key", false, true, "", "trusted", "");
        row("signed by an unknown key", false, true, "", "untrusted", "is not trusted");
        row("not signed, keys configured", false, true, "", "none", "the release is not signed");
        row("version changed after signing", false, true, "", "version = 2.2", "does not verify");
        row("size changed after signing", false, true, "", "file_size = file_size + 1",
            "does not verify");
        row("digest changed after signing", true, true, "", "sha256 = '%1'", "does not verify");
    }
    void digestDecidesWhatIsInstalled() {
        QFETCH(bool, tampered);
        QFETCH(bool, pinned);
        QFETCH(QString, duplicate);
        QFETCH(QString, signing);
        QFETCH(QString, refusal);
        firstSignIn();
        const Fetched& invoice = MariPrograms[1];
        const ino_t before = inode(onDrive(invoice.local));
        const QByteArray published = serveNewBuild(invoice);
        const QByteArray tamperedBuild = published + "and something else\n";
        const QString tamperedDigest = QString::fromLatin1(
            QCryptographicHash::hash(tamperedBuild, QCryptographicHash::Sha256).toHex());
        // Sorting first, the folder spelled in other letters; pinned like the program's row when
        // it is there before the publish, left at the old version and build when it is stale.
        const auto addDuplicate = [&](const QByteArray& bytes, const QString& version) {
            QDir().mkpath(served("copy"));
            QVERIFY(TestIcons::writeFile(served("copy/invoice.exe"), bytes));
            QVERIFY2(PgFixture::instance().superExec(
                         "insert into quorvane.quorvane_prog (prog_id, prog_name, prog_exe, "
                         "prog_group, clientpath, serverpath, version, prog_type, sha256) values "
                         "(90, 'Invoices copy', 'invoice.exe', 'Finance', 'c:\\QV\\Finance', "
                         "'127.0.0.1:/copy', " +
                         version + ", 1, '" +
                         QCryptographicHash::hash(m_recorder, QCryptographicHash::Sha256).toHex() +
                         "'); insert into quorvane.user_prog_db (username, database_id, "
                         "quorvane_prog_id) values ('mari', 10, 90)"),
                     qPrintable(PgFixture::instance().lastError()));
        };
        if (duplicate == QLatin1String("first"))
            addDuplicate(tamperedBuild, "2.000");
        const QString listed = QString::fromLatin1(
            QCryptographicHash::hash(published, QCryptographicHash::Sha256).toHex());
        pin(invoice.exe, pinned ? listed : QString());
        raiseVersion(invoice.exe, "2.100");
        if (duplicate == QLatin1String("stale"))
            addDuplicate(m_recorder, "2.000");
        if (!signing.isEmpty()) {
            qputenv("QUORVANE_KEYS", m_keys.path().toLocal8Bit());
            if (signing != QLatin1String("none"))
                publishSigned(served(invoice.remote), "2.100",
                              signing == QLatin1String("untrusted") ? m_otherKey : m_trustedKey);
            if (signing.contains(QLatin1Char('=')))
                QVERIFY(PgFixture::instance().superExec("update quorvane.quorvane_prog set " +
                                                        signing.arg(tamperedDigest) +
                                                        " where prog_id = 2"));
        }
        const auto noKeys = qScopeGuard([] { qunsetenv("QUORVANE_KEYS"); });
        if (tampered && duplicate.isEmpty())
            QVERIFY(TestIcons::writeFile(served(invoice.remote), tamperedBuild));

        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QStringList reports;
        w.installer.FTP1->ReportLevel = 1;
        w.installer.FTP1->OnStatus = [&](QObject*, const QString& text) { reports << text; };
        QCOMPARE(signIn(w, dialogs), refusal.isEmpty() ? 1 : 0);
        QVERIFY(partFiles().isEmpty());
        if (!refusal.isEmpty()) {
            QCOMPARE(inode(onDrive(invoice.local)), before);
            QCOMPARE(recorded(invoice.exe), invoice.version);
            const QStringList told = reports.filter(QStringLiteral("not installed"));
            QCOMPARE(told.size(), 1);
            QVERIFY2(told.at(0).startsWith("Program invoice.exe not installed: ") &&
                         told.at(0).contains(refusal),
                     qPrintable(told.at(0)));
            QCOMPARE(w.installer.CountOutdated(), 0);
        } else if (tampered) {
            QCOMPARE(inode(onDrive(invoice.local)), before);
            QCOMPARE(readAll(onDrive(invoice.local)), m_recorder);
            QCOMPARE(recorded(invoice.exe), invoice.version);
            QCOMPARE(reports.filter(QStringLiteral("not installed")),
                     QStringList{"Program invoice.exe not installed: SHA-256 of the download is " +
                                 tamperedDigest + ", the database lists " + listed});
            QCOMPARE(w.installer.CountOutdated(), 1);
        } else {
            QCOMPARE(readAll(onDrive(invoice.local)), published);
            QCOMPARE(recorded(invoice.exe), QStringLiteral("2.100"));
            QVERIFY(reports.filter(QStringLiteral("not installed")).isEmpty());
            QCOMPARE(w.installer.CountOutdated(), 0);
        }
    }

    // A workstation never goes below the highest signed version it installed at a target, also
    // when the file is gone; a forged version no key signed (installed before keys were
    // configured) does not count, so the genuine signed release replaces it.
    void rollbackAndRecovery_data() {
        QTest::addColumn<QString>("first");
        QTest::addColumn<bool>("firstSigned");
        QTest::addColumn<bool>("deleted");
        QTest::addColumn<bool>("installs");
        QTest::newRow("genuine release after a forged 999.999")
            << "999.999" << false << false << true;
        QTest::newRow("below the signed one installed") << "2.300" << true << false << false;
        QTest::newRow("below it, the file deleted") << "2.300" << true << true << false;
    }
    void rollbackAndRecovery() {
        QFETCH(QString, first);
        QFETCH(bool, firstSigned);
        QFETCH(bool, deleted);
        QFETCH(bool, installs);
        const auto noKeys = qScopeGuard([] { qunsetenv("QUORVANE_KEYS"); });
        const Fetched& invoice = MariPrograms[1];
        const QByteArray forged = serveNewBuild(invoice);
        if (firstSigned) {
            qputenv("QUORVANE_KEYS", m_keys.path().toLocal8Bit());
            publishSigned(served(invoice.remote), first, m_trustedKey);
        } else {
            pin(invoice.exe,
                QString::fromLatin1(
                    QCryptographicHash::hash(forged, QCryptographicHash::Sha256).toHex()));
            raiseVersion(invoice.exe, first);
        }
        firstSignIn();
        QCOMPARE(readAll(onDrive(invoice.local)), forged);

        const QByteArray genuine = forged + "genuine\n";
        QVERIFY(TestIcons::writeFile(served(invoice.remote), genuine));
        qputenv("QUORVANE_KEYS", m_keys.path().toLocal8Bit());
        publishSigned(served(invoice.remote), "2.200", m_trustedKey);
        if (deleted)
            QVERIFY(QFile::remove(onDrive(invoice.local)));
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QStringList reports;
        w.installer.FTP1->ReportLevel = 1;
        w.installer.FTP1->OnStatus = [&](QObject*, const QString& text) { reports << text; };
        QCOMPARE(signIn(w, dialogs), installs ? 1 : 0);
        QCOMPARE(readAll(onDrive(invoice.local)), installs  ? genuine
                                                  : deleted ? QByteArray("<missing>")
                                                            : forged);
        // The settings file's version never goes down; the installed state knows the file.
        QCOMPARE(recorded(invoice.exe), first);
        QCOMPARE(reports.filter(QStringLiteral("invoice.exe not installed")),
                 installs ? QStringList()
                          : QStringList{"Program invoice.exe not installed: version 2.200 is "
                                        "below version 2.300 installed before"});
    }

    // The server drops the session in the middle of Ledger (a scripted server serving the same
    // files): the old Ledger stays, still recorded at its old version, and still starts;
    // Invoices, next on that host, is fetched over a new session, and Calculator, on the other
    // host, too. The sign-in goes on to the main window.
    void serverDyingMidFileKeepsTheOldProgram() {
        firstSignIn();
        const ino_t ledgerBefore = inode(onDrive("qv/finance/ledger.exe"));
        for (const Fetched& p : MariPrograms)
            serveNewBuild(p);
        raiseVersion("ledger.exe", "1.300");
        raiseVersion("invoice.exe", "2.100");
        raiseVersion("calc.exe", "10.600");

        ScriptedFtpServer dying;
        dying.folder = m_ftpRoot.path();
        const QByteArray announced = "150 Opening BINARY mode data connection (" +
                                     QByteArray::number(m_recorder.size()) + " bytes).\r\n";
        dying.on(QStringLiteral("RETR"), [&](const QString& name) {
            if (name != QLatin1String("finance/ledger.exe"))
                return dying.serveFile(name);
            return FtpScript()
                .reply(announced)
                .connectData()
                .sendData(m_recorder.left(m_recorder.size() / 2))
                .closeControl();
        });
        qputenv("QUORVANE_FTP_PORT", QByteArray::number(dying.port()));

        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QCOMPARE(signIn(w, dialogs), 1);
        QVERIFY(dying.commands().contains(QStringLiteral("RETR finance/ledger.exe")));
        QCOMPARE(dying.sessions(), 3);

        QCOMPARE(inode(onDrive("qv/finance/ledger.exe")), ledgerBefore);
        QCOMPARE(readAll(onDrive("qv/finance/ledger.exe")), m_recorder);
        QCOMPARE(recorded("ledger.exe"), QStringLiteral("1.250"));
        QCOMPARE(readAll(onDrive("qv/finance/invoice.exe")),
                 readAll(served("finance/invoice.exe")));
        QCOMPARE(recorded("invoice.exe"), QStringLiteral("2.100"));
        QCOMPARE(readAll(onDrive("qv/tools/calc.exe")), readAll(served("tools/calc.exe")));
        QCOMPARE(recorded("calc.exe"), QStringLiteral("10.600"));
        QVERIFY(partFiles().isEmpty());

        doubleClickProgram(w.form, "Ledger");
        QVERIFY(ArgRecorder::waitForRecords(m_argsFile, 1));
        QCOMPARE(ArgRecorder::readRecords(m_argsFile).first().mid(1),
                 (QStringList{"ORCL", "Mari", DemoData::MariPassword, "10"}));
    }

    // A program running while it is upgraded: the new build takes its place and the running
    // copy goes on (it runs from the old file, now unlinked); the next start runs the new one.
    void runningProgramIsReplacedAndKeepsRunning() {
        firstSignIn();
        QProcess running;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QV_ARGS_SLEEP_MS"), QStringLiteral("30000"));
        running.setProcessEnvironment(env);
        running.start(onDrive("qv/finance/ledger.exe"), {QStringLiteral("already-running")});
        QVERIFY(running.waitForStarted());
        QVERIFY(ArgRecorder::waitForRecords(m_argsFile, 1));

        const QByteArray newBuild = serveNewBuild(MariPrograms[0]);
        raiseVersion("ledger.exe", "1.300");
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QCOMPARE(signIn(w, dialogs), 1);
        QCOMPARE(readAll(onDrive("qv/finance/ledger.exe")), newBuild);
        QCOMPARE(recorded("ledger.exe"), QStringLiteral("1.300"));

        QCOMPARE(running.state(), QProcess::Running);
        const QString runningFrom = programOfProcess(running.processId());
        QVERIFY2(runningFrom.endsWith(QLatin1String(" (deleted)")), qPrintable(runningFrom));

        doubleClickProgram(w.form, "Ledger");
        QVERIFY(ArgRecorder::waitForRecords(m_argsFile, 2));
        QCOMPARE(ArgRecorder::readRecords(m_argsFile).at(1).mid(1),
                 (QStringList{"ORCL", "Mari", DemoData::MariPassword, "10"}));

        QCOMPARE(running.state(), QProcess::Running);
        running.kill();
        QVERIFY(running.waitForFinished());
    }
};

QTEST_MAIN(SignInUpgradeTest)
#include "SignInUpgradeTest.moc"
