#include "data/ProfileFile.h"
#include "platform/Exception.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString IniPath = QStringLiteral("c:\\quorvane3\\quorvane.ini");

// Takes every permission off a file while it lives. Root reads any file: a run as root acts
// meanwhile as an unprivileged user, who may search the drive and write the file's folder.
struct UnreadableFile {
    UnreadableFile(const QString& drive, const QString& file) : file(file) {
        QFile::setPermissions(file, {});
        if (!root)
            return;
        for (const QString& folder : {drive, QFileInfo(file).path()})
            ::chmod(QFile::encodeName(folder).constData(), 0777);
        ::setfsuid(65534);
    }
    ~UnreadableFile() {
        if (root)
            ::setfsuid(0);
        QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    }
    const bool root = ::geteuid() == 0;
    const QString file;
};

} // namespace

class ProfileFileTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_drive;
    QString diskPath() const { return m_drive.path() + QStringLiteral("/quorvane3/quorvane.ini"); }
    void writeDisk(const QByteArray& data) {
        QDir(m_drive.path()).mkpath(QStringLiteral("quorvane3"));
        QFile f(diskPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    QByteArray readDisk() const {
        QFile f(diskPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void initTestCase() {
        QVERIFY(m_drive.isValid());
        qputenv("QUORVANE_DRIVE_C", m_drive.path().toLocal8Bit());
    }
    void init() { QDir(m_drive.path() + QStringLiteral("/quorvane3")).removeRecursively(); }

    // The unreadable file also refuses a write: what it holds cannot be kept, so it stays.
    void missingEmptyOrSectionlessFilesReadAlike_data() {
        QTest::addColumn<bool>("create");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("readable");
        QTest::newRow("missing") << false << QByteArray() << true;
        QTest::newRow("empty") << true << QByteArray() << true;
        QTest::newRow("other sections") << true << QByteArray("[other]\nusername=x\n") << true;
        QTest::newRow("unreadable") << true << QByteArray("[lastuser]\nusername=x\n") << false;
    }
    void missingEmptyOrSectionlessFilesReadAlike() {
        QFETCH(bool, create);
        QFETCH(QByteArray, content);
        QFETCH(bool, readable);
        if (create)
            writeDisk(content);
        ProfileFile ini(IniPath);
        std::optional<UnreadableFile> locked;
        if (!readable)
            locked.emplace(m_drive.path(), diskPath());
        QCOMPARE(ini.exists(), create);
        QStringList keys{QStringLiteral("stale")};
        ini.readSection(QStringLiteral("dblist"), keys);
        QVERIFY(keys.isEmpty());
        QCOMPARE(ini.readString(QStringLiteral("lastuser"), QStringLiteral("username"), QString()),
                 QString());
        QCOMPARE(ini.readString(QStringLiteral("progversion"), QStringLiteral("calc.exe"),
                                QStringLiteral("0.000")),
                 QStringLiteral("0.000"));
        if (readable)
            return;
        QVERIFY_THROWS_EXCEPTION(
            Exception,
            ini.writeString(QStringLiteral("dblist"), QStringLiteral("ORCL"), QStringLiteral("Y")));
        locked.reset();
        QCOMPARE(readDisk(), content);
    }

    // Every letter a user types survives the file; one written elsewhere in a single-byte code
    // page reads as Latin-1 and is written back as UTF-8.
    void lettersSurviveTheFile_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("no file") << QByteArray()
                                 << QByteArray("[lastuser]\r\nusername=\xc5\xa0midt\r\n");
        QTest::newRow("Latin-1 file")
            << QByteArray("[dblist]\nJ\xc4RVA=Y\n[lastuser]\nusername=T\xf5nis\n")
            << QByteArray("[dblist]\nJ\xc3\x84RVA=Y\n[lastuser]\nusername=\xc5\xa0midt\n");
    }
    void lettersSurviveTheFile() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QDir(m_drive.path()).mkpath(QStringLiteral("quorvane3"));
        if (!before.isEmpty())
            writeDisk(before);
        ProfileFile ini(IniPath);
        ini.writeString(QStringLiteral("lastuser"), QStringLiteral("username"),
                        QStringLiteral("\u0160midt"));
        QCOMPARE(readDisk(), after);
        QCOMPARE(ini.readString(QStringLiteral("lastuser"), QStringLiteral("username"), QString()),
                 QStringLiteral("\u0160midt"));
    }

    void writesKeepOrderAndPlace() {
        QDir(m_drive.path()).mkpath(QStringLiteral("quorvane3"));
        ProfileFile ini(IniPath);
        ini.writeString(QStringLiteral("lastuser"), QStringLiteral("username"),
                        QStringLiteral("Mari"));
        ini.writeString(QStringLiteral("dblist"), QStringLiteral("ORCL"), QStringLiteral("Y"));
        ini.writeString(QStringLiteral("LastUser"), QStringLiteral("USERNAME"),
                        QStringLiteral("jaan"));
        ini.writeString(QStringLiteral("DBLIST"), QStringLiteral("TEST"), QStringLiteral("Y"));
        ini.writeString(QStringLiteral("dblist"), QStringLiteral("orcl"), QStringLiteral("Y"));
        QCOMPARE(readDisk(),
                 QByteArray("[lastuser]\r\nusername=jaan\r\n[dblist]\r\nORCL=Y\r\nTEST=Y\r\n"));
        QStringList keys;
        ini.readSection(QStringLiteral("DbList"), keys);
        QCOMPARE(keys, (QStringList{"ORCL", "TEST"}));
        QCOMPARE(ini.readString(QStringLiteral("LASTUSER"), QStringLiteral("UserName"), QString()),
                 QStringLiteral("jaan"));
    }

    void emptyValueIsNotTheDefaultAndLongValuesAreCut() {
        writeDisk("[progversion]\ncalc.exe=\nLEDGER.EXE=1.250\nlong=" + QByteArray(3000, 'x') +
                  "\n");
        ProfileFile ini(IniPath);
        QCOMPARE(ini.readString(QStringLiteral("progversion"), QStringLiteral("calc.exe"),
                                QStringLiteral("0.000")),
                 QString(""));
        QCOMPARE(ini.readString(QStringLiteral("progversion"), QStringLiteral("ledger.exe"),
                                QStringLiteral("0.000")),
                 QStringLiteral("1.250"));
        QCOMPARE(
            ini.readString(QStringLiteral("progversion"), QStringLiteral("long"), QString()).size(),
            2047);
    }

    void keyListFitsIntoItsBuffer() {
        // Names of 20 characters take 21 bytes each: 780 fit whole (16380 bytes); the next one is
        // cut to the 2 characters left before its terminator and the list's final one.
        QByteArray data = "[progversion]\n";
        for (int i = 0; i < 1000; ++i)
            data += QByteArray::number(i).rightJustified(16, '0') + ".exe=1.000\n";
        writeDisk(data);
        QStringList keys;
        ProfileFile(IniPath).readSection(QStringLiteral("progversion"), keys);
        QCOMPARE(keys.size(), 781);
        QCOMPARE(keys.at(779), QStringLiteral("0000000000000779.exe"));
        QCOMPARE(keys.last(), QStringLiteral("00"));
    }

    void newKeyGoesToTheEndOfItsSectionInAHandEditedFile() {
        writeDisk("; settings\r\n[dblist]\r\n  ORCL = Y \r\n\r\n[progversion]\r\ncalc.exe=1.000");
        ProfileFile ini(IniPath);
        QStringList keys;
        ini.readSection(QStringLiteral("dblist"), keys);
        QCOMPARE(keys, QStringList{"ORCL"});
        QCOMPARE(ini.readString(QStringLiteral("dblist"), QStringLiteral("orcl"), QString()),
                 QStringLiteral("Y"));
        QCOMPARE(
            ini.readString(QStringLiteral("progversion"), QStringLiteral("CALC.EXE"), QString()),
            QStringLiteral("1.000"));
        ini.writeString(QStringLiteral("dblist"), QStringLiteral("TEST"), QStringLiteral("Y"));
        ini.writeString(QStringLiteral("progversion"), QStringLiteral("CALC.EXE"),
                        QStringLiteral("2.000"));
        QCOMPARE(
            readDisk(),
            QByteArray("; settings\r\n[dblist]\r\n  ORCL = Y \r\nTEST=Y\r\n\r\n[progversion]\r\n"
                       "calc.exe=2.000\r\n"));
    }

    void garbageAndLongLinesNeverCrashTheReader() {
        QByteArray data("\x00\xff\xfe[dblist\n=novalue\n\x01\x02=\x03\n", 30);
        data += QByteArray(200000, 'k') + "\n[dblist]\nORCL=Y\n" + QByteArray(100000, '\xe9');
        writeDisk(data);
        ProfileFile ini(IniPath);
        QStringList keys;
        ini.readSection(QStringLiteral("dblist"), keys);
        QVERIFY(keys.contains(QStringLiteral("ORCL")));
        ini.writeString(QStringLiteral("lastuser"), QStringLiteral("username"),
                        QStringLiteral("T\u00f5nis"));
        QVERIFY(readDisk().endsWith("[lastuser]\nusername=T\xc3\xb5nis\n")); // UTF-8 on disk
        QCOMPARE(ini.readString(QStringLiteral("lastuser"), QStringLiteral("username"), QString()),
                 QStringLiteral("T\u00f5nis"));
    }

    void failedWriteNamesTheFileAndChangesNothing() {
        ProfileFile ini(IniPath);
        try {
            ini.writeString(QStringLiteral("lastuser"), QStringLiteral("username"),
                            QStringLiteral("mari"));
            QFAIL("write without its folder succeeded");
        } catch (const Exception& e) {
            QCOMPARE(e.message(), QStringLiteral("Unable to write to c:\\quorvane3\\quorvane.ini"));
        }
        QVERIFY(!QFileInfo::exists(m_drive.path() + QStringLiteral("/quorvane3")));

        writeDisk("[lastuser]\nusername=mari\n");
        // A line break would plant a section of its own: refused, the file stays as it was.
        QVERIFY_THROWS_EXCEPTION(Exception,
                                 ini.writeString(QStringLiteral("dblist"), QStringLiteral("ORCL"),
                                                 QStringLiteral("Y\n[lastuser]\nusername=evil")));
        QCOMPARE(readDisk(), QByteArray("[lastuser]\nusername=mari\n"));
        // The folder replaced by a file: the write fails for real.
        QDir(m_drive.path() + QStringLiteral("/quorvane3")).removeRecursively();
        QFile blocker(m_drive.path() + QStringLiteral("/quorvane3"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY_THROWS_EXCEPTION(
            Exception,
            ini.writeString(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")));
        QVERIFY(!ini.exists());
        QFile::remove(blocker.fileName());
        // A settings file planted as a link to a file elsewhere: neither read nor written.
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath(QStringLiteral("precious"));
        QVERIFY(QDir().mkpath(m_drive.path() + QStringLiteral("/quorvane3")));
        QFile precious(target);
        QVERIFY(precious.open(QIODevice::WriteOnly) && precious.write("[lastuser]\nusername=x\n"));
        precious.close();
        QVERIFY(QFile::link(target, m_drive.path() + QStringLiteral("/quorvane3/quorvane.ini")));
        QCOMPARE(ini.readString(QStringLiteral("lastuser"), QStringLiteral("username"), "-"), "-");
        QVERIFY_THROWS_EXCEPTION(
            Exception,
            ini.writeString(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")));
        QVERIFY(precious.open(QIODevice::ReadOnly));
        QCOMPARE(precious.readAll(), QByteArray("[lastuser]\nusername=x\n"));
    }

    void pathOffDriveCIsNeverWritten() {
        ProfileFile ini(QStringLiteral("d:\\quorvane3\\quorvane.ini"));
        QVERIFY(!ini.exists());
        QVERIFY_THROWS_EXCEPTION(
            Exception,
            ini.writeString(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")));
    }
};

QTEST_GUILESS_MAIN(ProfileFileTest)
#include "profilefile.moc"
