// The upgrade run against the scripted FTP server: what goes on the wire host by host, what
// lands in the client folders and the settings file, and how every failure ends.
#include "upgrade/cinstall.h"

#include "data/Connection.h"
#include "data/ProfileFile.h"
#include "net/FtpClient.h"
#include "upgrade/InstalledState.h"
#include "upgrade/UpgradePaths.h"

#include "ScriptedFtpServer.h"
#include "dialogs/MessageDialogsDouble.h"
#include "programs/TestDrive.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using ftptest::FtpScript;
using ftptest::ScriptedFtpServer;

namespace {

const QString Stopped = QStringLiteral("\rInstallation stoped!");

// The commands with the PORT address left out (it changes every run).
QStringList Normalized(const QStringList& commands) {
    QStringList out;
    static const QRegularExpression port(QStringLiteral("^PORT 127,0,0,1,\\d+,\\d+$"));
    for (const QString& c : commands)
        out << (port.match(c).hasMatch() ? QStringLiteral("PORT *") : c);
    return out;
}

QStringList Login() {
    return {QStringLiteral("USER ftp"), QStringLiteral("PASS ") + TFormInstaller::FtpPassword,
            QStringLiteral("TYPE I")};
}

QString sha256(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QStringList Fetch(const QString& remote) {
    return {QStringLiteral("TYPE I"), QStringLiteral("PORT *"), QStringLiteral("RETR ") + remote};
}

} // namespace

class UpgradeRunTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> drive;
    std::unique_ptr<ScriptedFtpServer> server;
    std::unique_ptr<MessageDialogsDouble> dialogs;
    std::unique_ptr<Connection> database;
    std::unique_ptr<TFormInstaller> form;

    QString disk(const QString& windowsPath) const {
        return TestDrive::diskPath(drive->path(), windowsPath);
    }
    QByteArray contents(const QString& windowsPath) const {
        return TestDrive::contents(disk(windowsPath));
    }
    bool put(const QString& windowsPath, const QByteArray& bytes) const {
        QDir().mkpath(QFileInfo(disk(windowsPath)).path());
        QFile f(disk(windowsPath));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }
    QString recorded(const QString& exe) const {
        return ProfileFile(QStringLiteral("c:\\quorvane3\\quorvane.ini"))
            .readString(QStringLiteral("progversion"), exe, QStringLiteral("<none>"));
    }
    void record(const QString& exe, const QString& version) const {
        ProfileFile(QStringLiteral("c:\\quorvane3\\quorvane.ini"))
            .writeString(QStringLiteral("progversion"), exe, version);
    }
    void entry(const QString& exe, const QString& folder, const QString& serverPath,
               const QString& version = QStringLiteral("1.000"), const QString& digest = {},
               qint64 size = -1) {
        UpgradeEntry e;
        e.target = folderKey(folder) + QLatin1Char('\\') + exe.toCaseFolded();
        e.exe = exe;
        e.clientPath = folder;
        e.serverPath = serverPath;
        e.version = version;
        e.prog = folder + QLatin1Char('\\') + exe;
        e.sha256 = digest;
        e.size = size;
        form->Entries << e;
    }
    // Files left in a client folder besides the programs (part files of broken downloads).
    QStringList leftovers(const QString& folder) const {
        return QDir(disk(folder))
            .entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden);
    }
    QString host() const { return server->host(); }

private slots:
    void init() {
        drive = std::make_unique<QTemporaryDir>();
        qputenv("QUORVANE_DRIVE_C", drive->path().toLocal8Bit());
        QVERIFY(QDir().mkpath(drive->path() + QStringLiteral("/quorvane3")));
        server = std::make_unique<ScriptedFtpServer>();
        dialogs = std::make_unique<MessageDialogsDouble>();
        database = std::make_unique<Connection>();
        form = std::make_unique<TFormInstaller>(database.get());
        form->FTP1->Port = server->port();
        form->FTP1->IdleTimeOut = 5000;
    }
    void cleanup() {
        form.reset();
        database.reset();
        dialogs.reset();
        server.reset();
        drive.reset();
    }

    void windowLayout() {
        QCOMPARE(form->windowTitle(), QStringLiteral("Setup"));
        QCOMPARE(form->size(), QSize(482, 104));
        QVERIFY(!form->windowFlags().testFlag(Qt::WindowCloseButtonHint));
        QCOMPARE(form->Panel1Text->text(),
                 QStringLiteral("Quorvane upgrade utility. please wait !"));
        QCOMPARE(form->BaseFolder, QStringLiteral("c:\\quorvane3"));
        QCOMPARE(form->Settings->fileName(), QStringLiteral("c:\\quorvane3\\quorvane.ini"));
        QCOMPARE(form->FTP1->TimeOut, 0);
        QVERIFY(form->ProgressBar1->isHidden());
        QVERIFY(!form->isVisible());
    }

    // Two programs of one host: one login, one fetch each, QUIT; both files in place with
    // execute permission, nested folders created, versions recorded.
    void twoProgramsOnOneHost() {
        server->files.insert(QStringLiteral("finance/ledger.exe"), "LEDGER v2");
        server->files.insert(QStringLiteral("finance/tools/invoice.exe"),
                             QByteArray("INV\0\r\n", 6));
        QVERIFY(put(QStringLiteral("c:\\qv\\readme"), "the top folder exists"));
        // Part files of launchers long gone, of another program (no process has such an id).
        QVERIFY(put("c:\\qv\\finance\\bin\\.old.exe.99999999.part", "stale"));
        QVERIFY(put("c:\\qv\\finance\\bin\\.Old.exe.99999999.x1y2.part", "stale"));
        entry("ledger.exe", "c:\\qv\\finance\\bin", host() + ":/finance", "1.250");
        entry("invoice.exe", "c:\\qv\\finance\\bin", host() + ":/finance/tools", "2.000");

        QStringList statusAtRetr;
        QList<bool> visibleAtRetr;
        connect(server.get(), &ScriptedFtpServer::commandReceived, this, [&](const QString& c) {
            if (c.startsWith(QLatin1String("RETR"))) {
                statusAtRetr << form->StatusPanels[1]->text();
                visibleAtRetr << (form->isVisible() && form->ProgressBar1->isVisible() &&
                                  form->running());
            }
        });
        QSignalSpy runningSpy(form.get(), &TFormInstaller::runningChanged);
        form->RunUpgradeWindow();

        QCOMPARE(Normalized(server->commands()), Login() + Fetch("finance/ledger.exe") +
                                                     Fetch("finance/tools/invoice.exe") +
                                                     QStringList{"QUIT"});
        QCOMPARE(statusAtRetr,
                 (QStringList{"retrieving " + host() + "://ledger.exe->ledger.exe",
                              "retrieving " + host() + "://invoice.exe->invoice.exe"}));
        QCOMPARE(visibleAtRetr, (QList<bool>{true, true}));
        QCOMPARE(contents("c:\\qv\\finance\\bin\\ledger.exe"), QByteArray("LEDGER v2"));
        QCOMPARE(contents("c:\\qv\\finance\\bin\\invoice.exe"), QByteArray("INV\0\r\n", 6));
        QVERIFY(QFileInfo(disk("c:\\qv\\finance\\bin\\ledger.exe")).isExecutable());
        QCOMPARE(recorded("ledger.exe"), QStringLiteral("1.250"));
        QCOMPARE(recorded("invoice.exe"), QStringLiteral("2.000"));
        QCOMPARE(form->LocalFile, QStringLiteral("c:\\qv\\finance\\bin\\invoice.exe"));
        QCOMPARE(form->ProgressBar1->maximum(), 2);
        QCOMPARE(form->ProgressBar1->value(), 2);
        QVERIFY(form->StatusPanels[1]->text().isEmpty());
        QVERIFY(!form->isVisible());
        QVERIFY(!form->running());
        QCOMPARE(runningSpy.size(), 2);
        QVERIFY(leftovers("c:\\qv\\finance\\bin").isEmpty());
        QVERIFY(dialogs->calls().isEmpty());
    }

    // One exe name in two client folders: both are installed, and the higher version stays
    // recorded, so neither row is outdated again at the next check.
    void oneExeNameInTwoFolders() {
        server->files.insert(QStringLiteral("a/1.exe"), "one");
        entry("1.exe", "c:\\p", "127.0.0.1:/a", "2.000");
        entry("1.exe", "c:\\q", "127.0.0.1:/a", "1.500");
        form->RunUpgradeWindow();
        QCOMPARE(contents("c:\\q\\1.exe"), QByteArray("one"));
        QCOMPARE(recorded("1.exe"), QStringLiteral("2.000"));
    }

    // Three programs on host A, one on host B: one connection each, QUIT in between.
    void hostByHost() {
        for (const char* name : {"a/1.exe", "a/2.exe", "a/3.exe", "b/4.exe"})
            server->files.insert(QString::fromLatin1(name), name);
        entry("1.exe", "c:\\p", "127.0.0.1:/a");
        entry("2.exe", "c:\\p", "127.0.0.1:/a");
        entry("3.exe", "c:\\p", "127.0.0.1:/a");
        entry("4.exe", "c:\\p", "localhost:/b");
        // A part file of a launcher that still runs (this one) is left alone.
        const QString live =
            ".1.exe." + QString::number(QCoreApplication::applicationPid()) + ".x.part";
        QVERIFY(put("c:\\p\\" + live, "live"));
        form->RunUpgradeWindow();
        QCOMPARE(leftovers("c:\\p"), QStringList{live});
        QCOMPARE(server->sessions(), 2);
        QCOMPARE(Normalized(server->commands()),
                 Login() + Fetch("a/1.exe") + Fetch("a/2.exe") + Fetch("a/3.exe") +
                     QStringList{"QUIT"} + Login() + Fetch("b/4.exe") + QStringList{"QUIT"});
        QCOMPARE(contents("c:\\p\\4.exe"), QByteArray("b/4.exe"));
    }

    // A broken download costs nothing: the old program stays, its old version stays
    // recorded, no part file is left, and the next program (pinned to its digest) follows.
    // Whole bytes that differ from the database's digest are a broken download too, reported
    // at status level 1.
    void brokenDownloadKeepsOldProgram() {
        QFETCH(FtpScript, retr);
        QFETCH(QString, digest);
        QFETCH(QString, report);
        QFETCH(bool, swapPart);
        QFETCH(qint64, size);
        QTemporaryDir outside;
        const QString victim = outside.filePath(QStringLiteral("victim"));
        QVERIFY(put("c:\\p\\a.exe", "A old"));
        QVERIFY(QFile(victim).open(QIODevice::WriteOnly));
        int swapped = 0;
        QStringList reports;
        form->FTP1->ReportLevel = 1;
        form->FTP1->OnStatus = [&](QObject*, const QString& text) { reports << text; };
        server->on(QStringLiteral("RETR"), [&](const QString& name) {
            // Another account swaps the part file for a link to a file of the user's.
            if (swapPart && name == QLatin1String("f/a.exe"))
                for (const QString& part : leftovers("c:\\p"))
                    swapped += QFile::remove(disk("c:\\p\\" + part)) &&
                               QFile::link(victim, disk("c:\\p\\" + part));
            return name == QLatin1String("f/a.exe") ? retr : server->serveFile(name);
        });
        server->files.insert(QStringLiteral("f/b.exe"), "B new");
        record("a.exe", "1.000");
        entry("a.exe", "c:\\p", host() + ":/f", "2.000", digest, size);
        entry("b.exe", "c:\\p", host() + ":/f", "2.000", sha256("B new"));
        form->RunUpgradeWindow();

        QCOMPARE(contents("c:\\p\\a.exe"), QByteArray("A old"));
        QCOMPARE(recorded("a.exe"), QStringLiteral("1.000"));
        QCOMPARE(contents("c:\\p\\b.exe"), QByteArray("B new"));
        QCOMPARE(recorded("b.exe"), QStringLiteral("2.000"));
        QVERIFY(leftovers("c:\\p").isEmpty());
        QCOMPARE(swapped, swapPart ? 1 : 0);
        QCOMPARE(TestDrive::contents(victim), QByteArray());
        QVERIFY(QFileInfo(disk("c:\\p\\a.exe")).isFile());
        QVERIFY(dialogs->calls().isEmpty());
        QVERIFY(!form->isVisible());
        QCOMPARE(reports.filter(QStringLiteral("not installed")),
                 report.isEmpty() ? QStringList() : QStringList{report});
    }
    void brokenDownloadKeepsOldProgram_data() {
        QTest::addColumn<FtpScript>("retr");
        QTest::addColumn<QString>("digest");
        QTest::addColumn<QString>("report");
        QTest::addColumn<bool>("swapPart");
        QTest::addColumn<qint64>("size"); // listed; -1: none
        QTest::newRow("550") << FtpScript().reply("550 No such file.\r\n") << QString() << QString()
                             << false << qint64(-1);
        QTest::newRow("426 midway") << FtpScript()
                                           .reply("150 Opening BINARY mode (100000 bytes).\r\n")
                                           .connectData()
                                           .sendData(QByteArray(40000, 'x'))
                                           .pause(30)
                                           .reply("426 Connection closed; transfer aborted.\r\n")
                                    << QString() << QString() << false << qint64(-1);
        QTest::newRow("451 completion") << FtpScript()
                                               .reply("150 Opening BINARY mode (3 bytes).\r\n")
                                               .connectData()
                                               .sendData("xyz")
                                               .closeData()
                                               .reply("451 Local error in processing.\r\n")
                                        << QString() << QString() << false << qint64(-1);
        QTest::newRow("completion no reply") << FtpScript()
                                                    .reply("150 Opening BINARY mode (3 bytes).\r\n")
                                                    .connectData()
                                                    .sendData("xyz")
                                                    .closeData()
                                                    .reply("Transfer complete.\r\n")
                                             << QString() << QString() << false << qint64(-1);
        QTest::newRow("short file") << FtpScript()
                                           .reply("150 Opening BINARY mode (1000 bytes).\r\n")
                                           .connectData()
                                           .sendData(QByteArray(600, 'y'))
                                           .closeData()
                                           .reply("226 Transfer complete.\r\n")
                                    << QString() << QString() << false << qint64(-1);
        QTest::newRow("more than the listed size")
            << FtpScript()
                   .reply("150 Opening BINARY mode (5 bytes).\r\n")
                   .connectData()
                   .sendData(QByteArray(300000, 'A'))
                   .closeData()
                   .reply("226 Transfer complete.\r\n")
            << QString() << QString() << false << qint64(5);
        const QString published = sha256("A new");
        const QString tampered = sha256("A evil");
        QTest::newRow("digest differs")
            << FtpScript()
                   .reply("150 Opening BINARY mode (6 bytes).\r\n")
                   .connectData()
                   .sendData("A evil")
                   .closeData()
                   .reply("226 Transfer complete.\r\n")
            << published
            << "Program a.exe not installed: SHA-256 of the download is " + tampered +
                   ", the database lists " + published
            << false << qint64(-1);
        QTest::newRow("part file swapped for a link")
            << FtpScript()
                   .reply("150 Opening BINARY mode (5 bytes).\r\n")
                   .connectData()
                   .sendData("A new")
                   .closeData()
                   .reply("226 Transfer complete.\r\n")
            << QString() << QString() << true << qint64(-1);
    }

    // A settings file that cannot be written does not undo an install: the program is in, the
    // installed state knows its version (so the next check finds it current), the failure is
    // told; and a lower version never replaces the higher one the settings file records.
    void recordingAfterTheInstall() {
        QFETCH(QString, before);
        QFETCH(QString, after);
        server->files.insert(QStringLiteral("f/a.exe"), "A new");
        QStringList reports;
        form->FTP1->ReportLevel = 1;
        form->FTP1->OnStatus = [&](QObject*, const QString& text) { reports << text; };
        if (before.isEmpty())
            QVERIFY(QDir().mkpath(disk("c:\\quorvane3\\quorvane.ini")));
        else
            record("a.exe", before);
        entry("a.exe", "c:\\p", host() + ":/f", "2.000");
        form->RunUpgradeWindow();
        QCOMPARE(contents("c:\\p\\a.exe"), QByteArray("A new"));
        QCOMPARE(recorded("a.exe"), after);
        QCOMPARE(reports.filter(QStringLiteral("quorvane.ini")).size(), before.isEmpty() ? 1 : 0);
        InstalledState state(QStringLiteral("c:\\quorvane3\\quorvane.installed"));
        state.load();
        const InstalledState::Record* installed =
            state.current(form->Entries.at(0).target, "c:\\p\\a.exe", false);
        QVERIFY(installed);
        QCOMPARE(installed->version, QStringLiteral("2.000"));
        QCOMPARE(installed->sha256, sha256("A new"));
    }
    void recordingAfterTheInstall_data() {
        QTest::addColumn<QString>("before"); // empty: the settings file cannot be written
        QTest::addColumn<QString>("after");
        QTest::newRow("settings file unwritable") << QString() << QStringLiteral("<none>");
        QTest::newRow("higher version recorded") << "999.999" << QStringLiteral("999.999");
        QTest::newRow("lower version recorded") << "1.000" << QStringLiteral("2.000");
    }

    // The server dies in the middle of a file: that program and every later one of the host
    // keep their old files.
    void serverGoneMidFile() {
        server->on(QStringLiteral("RETR"), FtpScript()
                                               .reply("150 Opening BINARY mode (100000 bytes).\r\n")
                                               .connectData()
                                               .sendData(QByteArray(30000, 'x'))
                                               .closeControl());
        QVERIFY(put("c:\\p\\a.exe", "A old"));
        QVERIFY(put("c:\\p\\b.exe", "B old"));
        entry("a.exe", "c:\\p", host() + ":/f", "2.000");
        entry("b.exe", "c:\\p", host() + ":/f", "2.000");
        form->RunUpgradeWindow();
        QCOMPARE(contents("c:\\p\\a.exe"), QByteArray("A old"));
        QCOMPARE(contents("c:\\p\\b.exe"), QByteArray("B old"));
        QCOMPARE(recorded("a.exe"), QStringLiteral("<none>"));
        QVERIFY(leftovers("c:\\p").isEmpty());
        QVERIFY(!form->isVisible());
    }

    void connectionRefusedEndsTheRun() {
        QFETCH(QString, word);
        QFETCH(QByteArray, reply);
        if (!word.isEmpty())
            server->on(word, FtpScript().reply(reply));
        server->files.insert(QStringLiteral("f/a.exe"), "A");
        entry("a.exe", "c:\\p", host() + ":/f");
        entry("b.exe", "c:\\p", "localhost:/f");
        if (word.isEmpty()) // nobody listens on that port
            form->FTP1->Port = ScriptedFtpServer().port();
        form->RunUpgradeWindow();
        QCOMPARE(dialogs->texts(), QStringList{"Unable to connect to " + host() + Stopped});
        QCOMPARE(dialogs->last().call, DialogCall::MessageBox);
        QVERIFY(!server->commands().contains(QStringLiteral("RETR f/a.exe")));
        QVERIFY(!QFile::exists(disk("c:\\p\\a.exe")));
        QVERIFY(!form->isVisible());
        QVERIFY(!form->running());
    }
    void connectionRefusedEndsTheRun_data() {
        QTest::addColumn<QString>("word");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("no server") << QString() << QByteArray();
        QTest::newRow("USER 530") << "USER" << QByteArray("530 Not logged in.\r\n");
        QTest::newRow("PASS 530") << "PASS" << QByteArray("530 Login incorrect.\r\n");
        QTest::newRow("TYPE 504") << "TYPE" << QByteArray("504 Type not implemented.\r\n");
    }

    void serverPathWithoutColon() {
        entry("a.exe", "c:\\p", "nohost/f");
        form->RunUpgradeWindow();
        QCOMPARE(dialogs->texts(), QStringList{"Unable to connect to " + Stopped});
        QCOMPARE(server->sessions(), 0);
    }

    // A client folder that cannot be created ends the run: QUIT, no later program.
    void clientFolderCannotBeCreated() {
        server->files.insert(QStringLiteral("f/a.exe"), "A");
        server->files.insert(QStringLiteral("f/b.exe"), "B");
        QVERIFY(put("c:\\qv\\blocked", "a file where a folder should be"));
        entry("a.exe", "c:\\qv\\ok", host() + ":/f");
        entry("b.exe", "c:\\qv\\blocked\\sub", host() + ":/f");
        entry("c.exe", "c:\\qv\\ok", host() + ":/f");
        form->RunUpgradeWindow();
        QCOMPARE(dialogs->texts(),
                 QStringList{"Creating directory c:\\qv\\blocked failed!" + Stopped});
        QCOMPARE(Normalized(server->commands()), Login() + Fetch("f/a.exe") + QStringList{"QUIT"});
        QCOMPARE(contents("c:\\qv\\ok\\a.exe"), QByteArray("A"));
        QVERIFY(!QFile::exists(disk("c:\\qv\\ok\\c.exe")));
        QCOMPARE(recorded("c.exe"), QStringLiteral("<none>"));
    }

    // A database row can never write outside the client folders.
    void unsafeRowsAreRefused() {
        QFETCH(QString, exe);
        QFETCH(QString, folder);
        QFETCH(QString, linked);
        QTemporaryDir outside;
        if (!linked.isEmpty())
            QVERIFY(QFile::link(outside.path(), disk(linked)));
        server->files.insert("f/" + exe, "EVIL");
        entry(exe, folder, host() + ":/f");
        entry("b.exe", "c:\\qv", host() + ":/f");
        form->RunUpgradeWindow();
        QCOMPARE(dialogs->texts(),
                 QStringList{"Creating directory " + (linked.isEmpty() ? folder : linked) +
                             " failed!" + Stopped});
        QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
        if (!linked.isEmpty())
            QVERIFY(QFile::remove(disk(linked)));
        QVERIFY(!server->commands().contains("RETR f/" + exe));
        QVERIFY(!server->commands().contains(QStringLiteral("RETR f/b.exe")));
        QCOMPARE(QDir(drive->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"quorvane3"});
        QVERIFY(!QFile::exists(drive->path() + "/../evil.exe"));
    }
    void unsafeRowsAreRefused_data() {
        QTest::addColumn<QString>("exe");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("linked"); // made a link to a folder outside the drive
        QTest::newRow("name climbs up") << "..\\..\\evil.exe"
                                        << "c:\\qv" << QString();
        QTest::newRow("name with slash") << "../evil.exe"
                                         << "c:\\qv" << QString();
        QTest::newRow("folder climbs up") << "evil.exe"
                                          << "c:\\qv\\..\\.." << QString();
        QTest::newRow("folder with slash") << "evil.exe"
                                           << "c:\\qv/../.." << QString();
        QTest::newRow("folder links out") << "evil.exe"
                                          << "c:\\out"
                                          << "c:\\out";
        QTest::newRow("folder on the way links out") << "evil.exe"
                                                     << "c:\\out\\sub"
                                                     << "c:\\out";
    }

    // A read-only program: the question; No skips it (the bar still advances), Yes after the
    // user unlocked the file fetches it.
    void readOnlyProgram() {
        QFETCH(int, answer);
        server->files.insert(QStringLiteral("f/a.exe"), "A new");
        QVERIFY(put("c:\\p\\a.exe", "A old"));
        QVERIFY(QFile::setPermissions(disk("c:\\p\\a.exe"), QFile::ReadOwner));
        record("a.exe", "1.000");
        entry("a.exe", "c:\\p", host() + ":/f", "2.000");
        dialogs->answer(answer);
        dialogs->onCall = [&](const DialogCall&) {
            if (answer == MbYes)
                QFile::setPermissions(disk("c:\\p\\a.exe"), QFile::ReadOwner | QFile::WriteOwner);
        };
        form->RunUpgradeWindow();

        QCOMPARE(dialogs->calls().size(), 1);
        QCOMPARE(dialogs->last().text,
                 QStringLiteral("Program a.exe needs to be upgraded!\rInstaller cannot delete it "
                                "because it is read-only!\rDelete it and press Yes\rPress No to "
                                "skip upgrade"));
        QCOMPARE(dialogs->last().kind, MsgKind::Information);
        QCOMPARE(dialogs->last().buttons, MbYes | MbNo);
        QCOMPARE(form->ProgressBar1->value(), 1);
        const bool fetched = answer == MbYes;
        QCOMPARE(server->commands().contains(QStringLiteral("RETR f/a.exe")), fetched);
        QCOMPARE(contents("c:\\p\\a.exe"), fetched ? QByteArray("A new") : QByteArray("A old"));
        QCOMPARE(recorded("a.exe"), fetched ? QStringLiteral("2.000") : QStringLiteral("1.000"));
    }
    void readOnlyProgram_data() {
        QTest::addColumn<int>("answer");
        QTest::newRow("No") << int(MbNo);
        QTest::newRow("Yes") << int(MbYes);
    }

    // An error reply to the last QUIT reaches the caller after every file is recorded; one to
    // the QUIT that leaves a host is a failure to reach the next host.
    void quitErrors() {
        QFETCH(QString, second); // host of the second program
        QFETCH(QString, raised);
        QFETCH(QStringList, shown);
        server->on(QStringLiteral("QUIT"),
                   FtpScript().reply("500 QUIT failed.\r\n").closeControl());
        server->files.insert(QStringLiteral("f/a.exe"), "A");
        server->files.insert(QStringLiteral("f/b.exe"), "B");
        entry("a.exe", "c:\\p", host() + ":/f", "1.500");
        entry("b.exe", "c:\\p", (second.isEmpty() ? host() : second) + ":/f", "1.500");
        try {
            form->RunUpgradeWindow();
            QCOMPARE(QString(), raised);
        } catch (const Exception& error) {
            QCOMPARE(error.message(), raised);
        }
        QCOMPARE(dialogs->texts(), shown);
        QCOMPARE(recorded("a.exe"), QStringLiteral("1.500"));
        QCOMPARE(recorded("b.exe"), QString(second.isEmpty() ? "1.500" : "<none>"));
        QVERIFY(!form->isVisible());
        QVERIFY(!form->running());
    }
    void quitErrors_data() {
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("raised");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("last QUIT") << QString() << "500 QUIT failed.\r\n" << QStringList();
        QTest::newRow("QUIT leaving a host")
            << "localhost" << QString() << QStringList{"Unable to connect to localhost" + Stopped};
    }

    // While a run is in progress a second count or run does nothing: the lists stay those of
    // the run, and no second session starts.
    void secondRunWhileRunning() {
        server->files.insert(QStringLiteral("f/a.exe"), "A");
        server->files.insert(QStringLiteral("f/b.exe"), "B");
        entry("a.exe", "c:\\p", host() + ":/f");
        entry("b.exe", "c:\\p", host() + ":/f");
        QList<int> counts;
        connect(server.get(), &ScriptedFtpServer::commandReceived, this, [&](const QString& c) {
            if (c == QLatin1String("RETR f/a.exe")) {
                counts << form->CountOutdated();
                form->RunUpgradeWindow();
            }
        });
        form->RunUpgradeWindow();
        QCOMPARE(counts, QList<int>{0});
        QCOMPARE(form->Entries.size(), 2);
        QCOMPARE(form->Entries.at(1).exe, QStringLiteral("b.exe"));
        QCOMPARE(server->sessions(), 1);
        QCOMPARE(contents("c:\\p\\b.exe"), QByteArray("B"));
        QVERIFY(!form->running());
    }
};

QTEST_MAIN(UpgradeRunTest)
#include "UpgradeRunTest.moc"
