#include "platform/DriveMapping.h"

#include <QDir>
#include <QTest>

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
