// The launcher killed (SIGKILL), or its main window closed, in the middle of an upgrade
// download: the old program still runs and the settings file still records its old version;
// started again, the launcher fetches the program whole and the new one runs. The program
// list comes from the throwaway cluster, the files from the scripted FTP server.
#include "data/ProfileFile.h"

#include "DemoData.h"
#include "KillTarget.h"
#include "PgFixture.h"
#include "ScriptedFtpServer.h"
#include "programs/TestDrive.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using ftptest::FtpScript;
using ftptest::ScriptedFtpServer;

namespace {

// A program that says which version it is, padded so its download takes many blocks.
constexpr int ProgramSize = 1024 * 1024;
QByteArray script(const QByteArray& says) {
    QByteArray text = "#!/bin/sh\necho " + says + "\nexit 0\n";
    return text + "#" + QByteArray(ProgramSize - text.size() - 2, 'p') + "\n";
}

// Every download sends half of `program`, then the server stalls: a run is caught
// mid-download, once the part file holds bytes (more than the client buffers before it writes).
void stallHalfway(ScriptedFtpServer& server, const QByteArray& program) {
    server.on(QStringLiteral("RETR"), [program](const QString&) {
        return FtpScript()
            .reply("150 Opening BINARY mode data connection (1048576 bytes).\r\n")
            .connectData()
            .sendData(program.left(ProgramSize / 2))
            .pause(30000);
    });
}

} // namespace

class KillUpgradeTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_drive;

    QString disk(const QString& windowsPath) const {
        return TestDrive::diskPath(m_drive.path(), windowsPath);
    }
    QByteArray contents(const QString& windowsPath) const {
        return TestDrive::contents(disk(windowsPath));
    }
    void install(const QString& windowsPath, const QByteArray& bytes) const {
        QVERIFY(QDir().mkpath(QFileInfo(disk(windowsPath)).path()));
        QFile f(disk(windowsPath));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        QVERIFY(f.setPermissions(f.permissions() | QFileDevice::ExeOwner));
    }
    // What the program at the path prints when it is run.
    QByteArray run(const QString& windowsPath) const {
        QProcess program;
        program.start(disk(windowsPath), {});
        if (!program.waitForFinished(5000))
            return "<did not run: " + program.errorString().toUtf8() + ">";
        return program.readAllStandardOutput().trimmed();
    }
    // The part file of Ledger that the launcher with that process id writes into, or empty.
    QString partFile(qint64 pid) const {
        const QDir folder(disk(QStringLiteral("c:\\qv\\finance")));
        const QStringList parts = folder.entryList(
            {QStringLiteral(".ledger.exe.%1.*.part").arg(pid)}, QDir::Files | QDir::Hidden);
        return parts.isEmpty() ? QString() : folder.filePath(parts.first());
    }
    // Starts the launcher stand-in for jaan against the server, from its environment.
    void startLauncher(QProcess& launcher, const ScriptedFtpServer& server,
                       const QString& mode = QStringLiteral("upgrade")) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QUORVANE_FTP_PORT"), QString::number(server.port()));
        launcher.setProcessEnvironment(env);
        launcher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        launcher.start(QStringLiteral(QV_KILL_TARGET),
                       {mode, DemoData::JaanUser, DemoData::JaanPassword});
    }

private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
        QVERIFY(PgFixture::instance().resetData());
        QVERIFY(m_drive.isValid());
        qputenv("QUORVANE_DRIVE_C", m_drive.path().toLocal8Bit());
    }

    void killedInTheMiddleOfADownload() {
        // Jaan's programs for the upgrade: ledger.exe 1.250 (c:\qv\finance) and Stock.exe
        // 3.100 (c:\qv\stock); both installed in older versions.
        install(QStringLiteral("c:\\qv\\finance\\ledger.exe"), script("old ledger"));
        install(QStringLiteral("c:\\qv\\stock\\Stock.exe"), script("old stock"));
        ProfileFile ini(KillTarget::SettingsPath);
        QVERIFY(QDir().mkpath(disk(QStringLiteral("c:\\quorvane3"))));
        ini.writeString(QStringLiteral("lastuser"), QStringLiteral("username"), DemoData::JaanUser);
        ini.writeString(QStringLiteral("progversion"), QStringLiteral("ledger.exe"),
                        QStringLiteral("1.000"));
        ini.writeString(QStringLiteral("progversion"), QStringLiteral("Stock.exe"),
                        QStringLiteral("3.000"));
        const QByteArray settingsBefore = contents(KillTarget::SettingsPath);
        QCOMPARE(run(QStringLiteral("c:\\qv\\finance\\ledger.exe")), QByteArray("old ledger"));

        // Half the new ledger comes, then the server stalls: the kill lands mid-download.
        const QByteArray newLedger = script("new ledger");
        const QByteArray newStock = script("new stock");
        {
            ScriptedFtpServer stalling;
            stallHalfway(stalling, newLedger);
            QProcess launcher;
            startLauncher(launcher, stalling);
            QVERIFY(launcher.waitForStarted(5000));
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partFile(launcher.processId())).size() > 0, 10000);
            QCOMPARE(::kill(pid_t(launcher.processId()), SIGKILL), 0);
            QVERIFY(launcher.waitForFinished(5000));
            QCOMPARE(launcher.exitStatus(), QProcess::CrashExit);
            QCOMPARE(stalling.commands().filter(QStringLiteral("RETR")),
                     QStringList{QStringLiteral("RETR finance/ledger.exe")});
        }
        QCOMPARE(run(QStringLiteral("c:\\qv\\finance\\ledger.exe")), QByteArray("old ledger"));
        QCOMPARE(contents(QStringLiteral("c:\\qv\\finance\\ledger.exe")), script("old ledger"));
        QCOMPARE(contents(KillTarget::SettingsPath), settingsBefore);

        // Started again against a server that works: both programs fetched whole.
        ScriptedFtpServer server;
        server.files.insert(QStringLiteral("finance/ledger.exe"), newLedger);
        server.files.insert(QStringLiteral("stock/Stock.exe"), newStock);
        QProcess launcher;
        startLauncher(launcher, server);
        QVERIFY(launcher.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(launcher.state() == QProcess::NotRunning, 15000);
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.exitCode(), 0);
        QCOMPARE(launcher.readAllStandardOutput(), QByteArray("outdated 2\ndone\n"));
        QCOMPARE(run(QStringLiteral("c:\\qv\\finance\\ledger.exe")), QByteArray("new ledger"));
        QCOMPARE(run(QStringLiteral("c:\\qv\\stock\\Stock.exe")), QByteArray("new stock"));
        QCOMPARE(ini.readString(QStringLiteral("progversion"), QStringLiteral("ledger.exe"), {}),
                 QStringLiteral("1.250"));
        QCOMPARE(ini.readString(QStringLiteral("progversion"), QStringLiteral("Stock.exe"), {}),
                 QStringLiteral("3.100"));
        QCOMPARE(ini.readString(QStringLiteral("lastuser"), QStringLiteral("username"), {}),
                 DemoData::JaanUser);
        // The killed run's part file went with the next run that fetched into its folder.
        QCOMPARE(QDir(disk(QStringLiteral("c:\\qv\\finance")))
                     .entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden),
                 QStringList());
    }

    // The main window closed while an upgrade run that Refresh started is fetching: the
    // program is gone within a second, as after a kill, the old program still runs, and the
    // next start removes the part file left behind and fetches the program whole.
    void closedInTheMiddleOfARefreshDownload() {
        install(QStringLiteral("c:\\qv\\finance\\ledger.exe"), script("old ledger"));
        install(QStringLiteral("c:\\qv\\stock\\Stock.exe"), script("stock"));
        ProfileFile ini(KillTarget::SettingsPath);
        QVERIFY(QDir().mkpath(disk(QStringLiteral("c:\\quorvane3"))));
        // Current at the sign-in; the stand-in records ledger.exe as old before Refresh.
        ini.writeString(QStringLiteral("progversion"), QStringLiteral("ledger.exe"),
                        QStringLiteral("1.250"));
        ini.writeString(QStringLiteral("progversion"), QStringLiteral("Stock.exe"),
                        QStringLiteral("3.100"));
        const QByteArray newLedger = script("new ledger");
        QString part;
        {
            ScriptedFtpServer stalling;
            stallHalfway(stalling, newLedger);
            QProcess launcher;
            startLauncher(launcher, stalling, QStringLiteral("refresh"));
            QVERIFY(launcher.waitForStarted(5000));
            const qint64 pid = launcher.processId();
            // The server answers from this thread's event loop meanwhile.
            QTRY_VERIFY_WITH_TIMEOUT(launcher.canReadLine(), 20000);
            QCOMPARE(launcher.readLine(), QByteArray("closing\n"));
            part = partFile(pid);
            QTRY_VERIFY_WITH_TIMEOUT(launcher.state() == QProcess::NotRunning, 1000);
            QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
            QCOMPARE(launcher.exitCode(), 0);
            QCOMPARE(launcher.readAll(), QByteArray()); // Refresh never came back
        }
        QVERIFY(QFileInfo(part).size() > 0);
        QCOMPARE(run(QStringLiteral("c:\\qv\\finance\\ledger.exe")), QByteArray("old ledger"));

        ScriptedFtpServer server;
        server.files.insert(QStringLiteral("finance/ledger.exe"), newLedger);
        QProcess launcher;
        startLauncher(launcher, server);
        QVERIFY(launcher.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(launcher.state() == QProcess::NotRunning, 15000);
        QCOMPARE(launcher.readAllStandardOutput(), QByteArray("outdated 1\ndone\n"));
        QCOMPARE(run(QStringLiteral("c:\\qv\\finance\\ledger.exe")), QByteArray("new ledger"));
        QVERIFY(!QFileInfo::exists(part));
    }
};

QTEST_GUILESS_MAIN(KillUpgradeTest)
#include "KillUpgradeTest.moc"
