#include "upgrade/UpgradePaths.h"
#include "upgrade/ProgramReplacement.h"

#include "platform/Exception.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

// The path rules of the upgrade and the safe replacement of a program file on real files.
class UpgradePathsTest : public QObject {
    Q_OBJECT

    static bool writeFile(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }
    // The download into the part file, through the descriptor the replacement made it with.
    static bool writePart(ProgramReplacement& r, const QByteArray& bytes) {
        return ::write(r.createPart(), bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    static QByteArray readFile(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    // Part files are made only inside the drive folder.
    void initTestCase() { qputenv("QUORVANE_DRIVE_C", QDir::tempPath().toLocal8Bit()); }

    void hostAndRemoteFile_data() {
        QTest::addColumn<QString>("serverPath");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("remote");
        QTest::newRow("host and folder") << "ftp.example:/pub/prog"
                                         << "ftp.example"
                                         << "pub/prog/a.exe";
        QTest::newRow("address") << "127.0.0.1:/finance"
                                 << "127.0.0.1"
                                 << "finance/a.exe";
        // Only the first colon ends the host; the separator after it is skipped whatever it is.
        QTest::newRow("second colon") << "h:\\x:y"
                                      << "h"
                                      << "x:y/a.exe";
        QTest::newRow("no folder") << "h:/"
                                   << "h"
                                   << "/a.exe";
        QTest::newRow("no colon") << "nohost"
                                  << ""
                                  << "host/a.exe";
        QTest::newRow("empty") << ""
                               << ""
                               << "/a.exe";
        QTest::newRow("folder cut at 100")
            << "h:/" + QString(120, 'f') << "h" << QString(100, 'f') + "/a.exe";
    }
    void hostAndRemoteFile() {
        QFETCH(QString, serverPath);
        QFETCH(QString, host);
        QFETCH(QString, remote);
        QCOMPARE(serverHost(serverPath), host);
        QCOMPARE(remoteFileName(serverPath, serverHost(serverPath), "a.exe"), remote);
    }

    void folderChainFromTopDown_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QStringList>("chain");
        QTest::newRow("one level") << "c:\\a" << QStringList{"c:\\a"};
        QTest::newRow("three levels")
            << "c:\\a\\b\\c" << QStringList{"c:\\a", "c:\\a\\b", "c:\\a\\b\\c"};
        QTest::newRow("trailing backslash")
            << "c:\\a\\b\\" << QStringList{"c:\\a", "c:\\a\\b", "c:\\a\\b\\"};
        QTest::newRow("drive only") << "c:\\" << QStringList{"c:\\"};
    }
    void folderChainFromTopDown() {
        QFETCH(QString, folder);
        QFETCH(QStringList, chain);
        QCOMPARE(folderChain(folder), chain);
    }

    // Nothing from a database row may lead outside the client folders.
    void unsafeNamesAreRefused() {
        for (const QString& good : QStringList{"a.exe", "Stock.exe", "..a.exe", "a..exe"})
            QVERIFY2(isSafeExeName(good), qPrintable(good));
        for (const QString& bad : QStringList{"", ".", "..", "../a.exe", "x/a.exe", "x\\a.exe",
                                              QString("a") + QChar(0) + "b"})
            QVERIFY2(!isSafeExeName(bad), qPrintable(bad));
        for (const QString& good : QStringList{"c:\\qv\\finance", "c:\\a..b", "c:\\..x"})
            QVERIFY2(isSafeClientFolder(good), qPrintable(good));
        for (const QString& bad :
             QStringList{"c:\\..", "c:\\qv\\..\\etc", "c:\\qv/x", "c:\\qv\\..\\"})
            QVERIFY2(!isSafeClientFolder(bad), qPrintable(bad));
    }

    // Commit puts the new bytes in place with execute permission; until then the old ones stay.
    void replacementCommitsWholeFileOnly() {
        QTemporaryDir dir;
        const QString program = dir.filePath("a.exe");
        QVERIFY(writeFile(program, "old"));
        {
            ProgramReplacement r(program);
            QVERIFY(!r.blocked());
            QVERIFY(r.partPath() != program);
            QVERIFY(writePart(r, "new"));
            QCOMPARE(readFile(program), QByteArray("old"));
            r.commit();
        }
        QCOMPARE(readFile(program), QByteArray("new"));
        QVERIFY(QFileInfo(program).isExecutable());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"a.exe"});

        // Not committed: the part file goes, the program stays as it was.
        {
            ProgramReplacement r(program);
            QVERIFY(writePart(r, "broken"));
        }
        QCOMPARE(readFile(program), QByteArray("new"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"a.exe"});

        // A new program in an empty folder.
        const QString fresh = dir.filePath("b.exe");
        ProgramReplacement r(fresh);
        QVERIFY(!r.blocked());
        QVERIFY(writePart(r, "b"));
        r.commit();
        QCOMPARE(readFile(fresh), QByteArray("b"));
    }

    void replacementWithoutPartFileFails() {
        QTemporaryDir dir;
        const QString program = dir.filePath("a.exe");
        QVERIFY(writeFile(program, "old"));
        ProgramReplacement r(program);
        QVERIFY_THROWS_EXCEPTION(Exception, r.commit());
        QCOMPARE(readFile(program), QByteArray("old"));
    }

    // A program marked read-only must not be replaced behind the user's back (also as root).
    void readOnlyProgramIsBlocked() {
        QTemporaryDir dir;
        const QString program = dir.filePath("a.exe");
        QVERIFY(writeFile(program, "old"));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ReadGroup));
        QVERIFY(ProgramReplacement(program).blocked());
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(!ProgramReplacement(program).blocked());
    }

    // Writing into a running program fails with ETXTBSY; a rename over it works, and the
    // running copy goes on.
    void runningProgramIsReplaced() {
        QTemporaryDir dir;
        const QString program = dir.filePath("sleeper.exe");
        QVERIFY(QFile::copy("/bin/sleep", program));
        QVERIFY(
            QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QProcess running;
        running.start(program, {"30"});
        QVERIFY(running.waitForStarted());

        ProgramReplacement r(program);
        QVERIFY(!r.blocked());
        QVERIFY(writePart(r, readFile("/bin/true")));
        r.commit();
        QCOMPARE(running.state(), QProcess::Running);
        QCOMPARE(QProcess::execute(program, {}), 0);
        running.kill();
        running.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(UpgradePathsTest)
#include "UpgradePathsTest.moc"
