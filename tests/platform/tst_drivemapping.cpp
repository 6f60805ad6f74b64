#include "platform/DriveMapping.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <QScopeGuard>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

class TestDriveMapping : public QObject {
    Q_OBJECT

private slots:
    void init() { qputenv("QUORVANE_DRIVE_C", "/drive/c"); }

    void mapsPaths_data() {
        QTest::addColumn<QString>("windows");
        QTest::addColumn<QString>("mapped");
        QTest::newRow("folders") << "c:\\a\\b"
                                 << "/drive/c/a/b";
        QTest::newRow("capital drive") << "C:\\Quorvane3\\quorvane.ini"
                                       << "/drive/c/Quorvane3/quorvane.ini";
        QTest::newRow("drive alone") << "c:"
                                     << "/drive/c";
        QTest::newRow("drive root") << "c:\\"
                                    << "/drive/c";
        QTest::newRow("trailing backslash") << "c:\\a\\"
                                            << "/drive/c/a";
        QTest::newRow("doubled backslash") << "c:\\a\\\\b.exe"
                                           << "/drive/c/a/b.exe";
        QTest::newRow("forward slashes") << "c:/a/b"
                                         << "/drive/c/a/b";
        QTest::newRow("dot component") << "c:\\.\\a"
                                       << "/drive/c/a";
        QTest::newRow("drive-relative") << "c:a\\b"
                                        << "/drive/c/a/b";
        QTest::newRow("blank kept") << "c:\\a b\\c "
                                    << "/drive/c/a b/c ";
        QTest::newRow("dot dot") << "c:\\a\\..\\b"
                                 << "";
        QTest::newRow("dot dot at end") << "c:\\a\\.."
                                        << "";
        QTest::newRow("dot dot at root") << "c:\\..\\etc\\passwd"
                                         << "";
        QTest::newRow("other drive") << "d:\\a"
                                     << "";
        QTest::newRow("relative") << "a\\b"
                                  << "";
        QTest::newRow("rooted without drive") << "\\a"
                                              << "";
        QTest::newRow("unix path") << "/etc/passwd"
                                   << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("letter only") << "c"
                                     << "";
        QTest::newRow("nul inside") << QStringLiteral("c:\\a") + QChar(0) + "b"
                                    << "";
    }
    void mapsPaths() {
        QFETCH(QString, windows);
        QFETCH(QString, mapped);
        QCOMPARE(mapDrivePath(windows), mapped);
    }

    // Windows paths are case-blind: an existing folder or file is found whatever the case of
    // each component; what does not exist yet keeps its spelling.
    void existingEntriesWhateverTheirCase() {
        QTemporaryDir drive;
        qputenv("QUORVANE_DRIVE_C", drive.path().toLocal8Bit());
        QVERIFY(QDir().mkpath(drive.path() + "/QV/Finance"));
        QVERIFY(QFile(drive.path() + "/QV/Finance/Ledger.EXE").open(QIODevice::WriteOnly));
        for (const char* spelling : {"c:\\qv\\finance", "C:\\QV\\FINANCE\\"})
            QCOMPARE(mapDrivePath(spelling), drive.path() + "/QV/Finance");
        QCOMPARE(mapDrivePath("c:\\qv\\finance\\ledger.exe"),
                 drive.path() + "/QV/Finance/Ledger.EXE");
        QCOMPARE(mapDrivePath("c:\\qv\\FINANCE\\New\\a.exe"),
                 drive.path() + "/QV/Finance/New/a.exe");
    }

    // The drive folder is the user's own: one that others may write is tightened, one of
    // another account is refused and then maps nothing.
    void driveFolderIsTheUsersOwn() {
        QTemporaryDir drive;
        qputenv("QUORVANE_DRIVE_C", drive.path().toLocal8Bit());
        QVERIFY(QFile::setPermissions(drive.path(), QFile::Permissions(0x7777)));
        QCOMPARE(createDriveRoot(), QString());
        QCOMPARE(QFileInfo(drive.path()).permissions(), QFile::Permissions(0x7700));
        if (::geteuid() != 0) {
            qputenv("QUORVANE_DRIVE_C", "/usr");
            QVERIFY(createDriveRoot().startsWith("Creating directory /usr failed: "));
            QCOMPARE(mapDrivePath("c:\\bin"), QString());
        }
    }

    // What another account or a planted link can do inside the drive folder: the handle opens
    // only what is the user's alone, tightens what the user owns, and follows no link.
    void handleOpensOnlyWhatIsTheUsersAlone_data() {
        QTest::addColumn<QString>("plant");
        QTest::addColumn<QString>("windows");
        QTest::addColumn<int>("error");
        QTest::newRow("own file") << ""
                                  << "c:\\qv\\finance\\ledger.exe" << 0;
        QTest::newRow("group-writable folder, tightened") << "chmod qv/finance"
                                                          << "c:\\QV\\Finance\\LEDGER.exe" << 0;
        QTest::newRow("folder of another account") << "chown qv/finance"
                                                   << "c:\\qv\\finance\\ledger.exe" << EPERM;
        QTest::newRow("file of another account") << "chown qv/finance/ledger.exe"
                                                 << "c:\\qv\\finance\\ledger.exe" << EPERM;
        QTest::newRow("file swapped for a link after install")
            << "link qv/finance/ledger.exe"
            << "c:\\qv\\finance\\ledger.exe" << ELOOP;
        QTest::newRow("folder swapped for a link inside the drive")
            << "link qv"
            << "c:\\qv\\finance\\ledger.exe" << ELOOP;
        QTest::newRow("settings file planted as a link") << "link quorvane3/quorvane.ini"
                                                         << "c:\\quorvane3\\quorvane.ini" << ELOOP;
        QTest::newRow("file in place of a folder") << ""
                                                   << "c:\\qv\\finance\\ledger.exe\\x" << ENOTDIR;
        QTest::newRow("missing") << ""
                                 << "c:\\qv\\finance\\gone.exe" << ENOENT;
    }
    void handleOpensOnlyWhatIsTheUsersAlone() {
        QFETCH(QString, plant);
        QFETCH(QString, windows);
        QFETCH(int, error);
        QTemporaryDir drive;
        qputenv("QUORVANE_DRIVE_C", drive.path().toLocal8Bit());
        const QString outside = drive.path() + "/../" + QFileInfo(drive.path()).fileName() + ".out";
        QVERIFY(QDir().mkpath(drive.path() + "/qv/finance") &&
                QDir().mkpath(drive.path() + "/quorvane3") &&
                QDir().mkpath(drive.path() + "/elsewhere/finance"));
        for (const char* file : {"/qv/finance/ledger.exe", "/elsewhere/finance/ledger.exe"})
            QVERIFY(QFile(drive.path() + file).open(QIODevice::WriteOnly));
        QVERIFY(QFile(outside).open(QIODevice::WriteOnly));
        const auto removeOutside = qScopeGuard([&] { QFile::remove(outside); });
        const QString target = drive.path() + "/" + plant.section(' ', 1);
        const QByteArray name = QFile::encodeName(target);
        if (plant.startsWith("chmod")) {
            QCOMPARE(::chmod(name.constData(), 0777), 0);
        } else if (plant.startsWith("chown")) {
            if (::geteuid() != 0)
                QSKIP("giving a file to another account needs root");
            QCOMPARE(::chown(name.constData(), 65534, 65534), 0);
        } else if (plant.startsWith("link")) {
            QDir().rename(target, target + ".old");
            QVERIFY(QFile::link(plant.endsWith(".ini") ? outside
                                : plant.endsWith("qv")
                                    ? drive.path() + "/elsewhere"
                                    : drive.path() + "/elsewhere/finance/ledger.exe",
                                target));
        }
        const DriveHandle handle = openDrivePath(windows, DriveAccess::File);
        QCOMPARE(handle.error(), error);
        QCOMPARE(handle.isOpen(), error == 0);
        if (error == 0) {
            QCOMPARE(handle.diskPath(), drive.path() + "/qv/finance/ledger.exe");
            QCOMPARE(QFileInfo(drive.path() + "/qv/finance").permissions() &
                         (QFile::WriteGroup | QFile::WriteOther),
                     QFile::Permissions());
        }
    }

    // Missing levels are made; the drive folder stays the one opened at start, whatever a
    // link on its way points at later.
    void handleMakesFoldersBelowTheDriveOpenedAtStart() {
        QTemporaryDir place;
        const QString link = place.path() + "/drive";
        QVERIFY(QDir().mkpath(place.path() + "/first") && QDir().mkpath(place.path() + "/second"));
        QVERIFY(QFile::link(place.path() + "/first", link));
        qputenv("QUORVANE_DRIVE_C", link.toLocal8Bit());
        QCOMPARE(createDriveRoot(), QString());
        QVERIFY(QFile::remove(link) && QFile::link(place.path() + "/second", link));
        QVERIFY(openDrivePath("c:\\qv\\new\\deep", DriveAccess::MakeFolders).isOpen());
        QVERIFY(QFileInfo(place.path() + "/first/qv/new/deep").isDir());
        QVERIFY(!QFileInfo::exists(place.path() + "/second/qv"));
    }

    void rootWithTrailingSlash() {
        qputenv("QUORVANE_DRIVE_C", "/drive/c//");
        QCOMPARE(driveRoot(), QStringLiteral("/drive/c"));
        QCOMPARE(mapDrivePath("c:\\x"), QStringLiteral("/drive/c/x"));
        qputenv("QUORVANE_DRIVE_C", "/");
        QCOMPARE(mapDrivePath("c:\\x"), QStringLiteral("/x"));
        QCOMPARE(mapDrivePath("c:\\"), QStringLiteral("/"));
    }

    void rootFromDataHome() {
        qunsetenv("QUORVANE_DRIVE_C");
        qputenv("XDG_DATA_HOME", "/data/home");
        QCOMPARE(driveRoot(), QStringLiteral("/data/home/quorvane/c"));
        QCOMPARE(mapDrivePath("C:\\q\\f"), QStringLiteral("/data/home/quorvane/c/q/f"));
        // A relative data home is no data home.
        qputenv("XDG_DATA_HOME", "relative/dir");
        QCOMPARE(driveRoot(), QDir::homePath() + "/.local/share/quorvane/c");
        qunsetenv("XDG_DATA_HOME");
        QCOMPARE(driveRoot(), QDir::homePath() + "/.local/share/quorvane/c");
        qputenv("QUORVANE_DRIVE_C", "");
        QCOMPARE(driveRoot(), QDir::homePath() + "/.local/share/quorvane/c");
    }
};

QTEST_GUILESS_MAIN(TestDriveMapping)
#include "tst_drivemapping.moc"
