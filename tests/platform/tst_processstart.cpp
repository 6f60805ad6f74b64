#include "platform/DriveMapping.h"
#include "platform/Exception.h"
#include "platform/ProcessStart.h"
#include "programs/ArgRecorder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

// Processes whose parent is this test and that are zombies, read from /proc.
QStringList zombieChildren() {
    QStringList zombies;
    const QString self = QString::number(::getpid());
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + pid + "/stat");
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        // "pid (name) state ppid ...": the name may hold blanks, so read after its ")".
        const QByteArray line = stat.readAll();
        const QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (rest.size() > 1 && rest.at(1) == self.toLatin1() && rest.at(0) == "Z") {
            zombies.append(pid);
        }
    }
    return zombies;
}

} // namespace

class TestProcessStart : public QObject {
    Q_OBJECT

    QTemporaryDir m_drive;
    QString m_records;
    SystemProcessStarter m_starter;

    // Puts a program file into the drive folder; returns its path on disk.
    QString place(const QString& relative, const QByteArray& content, QFile::Permissions perms) {
        const QString path = m_drive.path() + "/" + relative;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        file.remove();
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            return {};
        }
        file.close();
        file.setPermissions(perms);
        return path;
    }

    QString placeRecorder(const QString& relative) {
        QFile recorder(ArgRecorder::programPath());
        recorder.open(QIODevice::ReadOnly);
        return place(relative, recorder.readAll(), QFile::ReadOwner | QFile::ExeOwner);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_drive.isValid());
        qputenv("QUORVANE_DRIVE_C", m_drive.path().toLocal8Bit());
        m_records = m_drive.path() + "/records.jsonl";
        qputenv("QV_ARGS_OUT", m_records.toLocal8Bit());
    }

    void init() { QFile::remove(m_records); }

    void errorCodes() {
        place("notes.txt", "just text\n", QFile::ReadOwner | QFile::ExeOwner);
        place("data/plain.txt", "x", QFile::ReadOwner | QFile::WriteOwner);
        placeRecorder("locked/ledger.exe");
        QFile::setPermissions(m_drive.path() + "/locked/ledger.exe",
                              QFile::ReadOwner | QFile::WriteOwner);
        QDir().mkpath(m_drive.path() + "/folder.exe");

        QCOMPARE(m_starter.winExec("c:\\missing.exe ORCL user pass 1", SW_SHOWNORMAL), 2u);
        QCOMPARE(m_starter.winExec("c:\\nowhere\\ledger.exe ORCL", SW_SHOWNORMAL), 3u);
        QCOMPARE(m_starter.winExec("c:\\data\\plain.txt\\ledger.exe", SW_SHOWNORMAL), 3u);
        QCOMPARE(m_starter.winExec("d:\\ledger.exe ORCL", SW_SHOWNORMAL), 3u);
        QCOMPARE(m_starter.winExec("c:\\data\\..\\notes.txt", SW_SHOWNORMAL), 3u);
        QCOMPARE(m_starter.winExec("c:\\locked\\ledger.exe ORCL", SW_SHOWNORMAL), 5u);
        QCOMPARE(m_starter.winExec("c:\\folder.exe", SW_SHOWNORMAL), 5u);
        // A text file with the execute bit: the kernel refuses it and no shell steps in.
        QCOMPARE(m_starter.winExec("c:\\notes.txt a b", SW_SHOWNORMAL), 11u);
        QCOMPARE(m_starter.winExec("", SW_SHOWNORMAL), 2u);
        QCOMPARE(m_starter.winExec(" c:\\notes.txt", SW_SHOWNORMAL), 2u);
        // Another account's folder on the way, or a program swapped for a link after install.
        if (::geteuid() == 0) {
            placeRecorder("theirs/ledger.exe");
            QCOMPARE(
                ::chown(QFile::encodeName(m_drive.path() + "/theirs").constData(), 65534, 65534),
                0);
            QCOMPARE(m_starter.winExec("c:\\theirs\\ledger.exe ORCL", SW_SHOWNORMAL), 5u);
        }
        placeRecorder("swapped/ledger.exe");
        QVERIFY(QFile::remove(m_drive.path() + "/swapped/ledger.exe") &&
                QFile::link(m_drive.path() + "/locked/ledger.exe",
                            m_drive.path() + "/swapped/ledger.exe"));
        QCOMPARE(m_starter.winExec("c:\\swapped\\ledger.exe ORCL", SW_SHOWNORMAL), 3u);
        QCOMPARE(ArgRecorder::readRecords(m_records).size(), 0);
    }

    void runsWithArgumentsSplitAtSingleBlanks() {
        placeRecorder("Prog Files/ledger.exe");
        placeRecorder("apps/LEDGER.EXE");
        // An empty password and an empty company number keep their places.
        const QString line = "C:\\apps\\LEDGER.EXE ORCL mari  1.5 ";
        QVERIFY(m_starter.winExec(line, SW_SHOWNORMAL) >= 32);
        QVERIFY(m_starter.winExec("c:\\apps\\\\LEDGER.EXE a\tb \"q\" p=ä", SW_SHOWNORMAL) >= 32);
        QVERIFY(ArgRecorder::waitForRecords(m_records, 2));
        QList<QStringList> records = ArgRecorder::readRecords(m_records);
        QCOMPARE(records.size(), 2);
        // Which one ran first is up to the scheduler.
        if (records.at(0).size() != 6) {
            records.swapItemsAt(0, 1);
        }
        QCOMPARE(records.at(0),
                 QStringList({"C:\\apps\\LEDGER.EXE", "ORCL", "mari", "", "1.5", ""}));
        QCOMPARE(records.at(1), QStringList({"c:\\apps\\\\LEDGER.EXE", "a\tb", "\"q\"", "p=ä"}));
        // A blank inside the program path splits it: the program is "c:\Prog".
        QCOMPARE(m_starter.winExec("c:\\Prog Files\\ledger.exe", SW_SHOWNORMAL), 2u);
    }

    void leavesNoZombieAndDoesNotWait() {
        placeRecorder("bin/long.exe");
        qputenv("QV_ARGS_SLEEP_MS", "400");
        QVERIFY(m_starter.winExec("c:\\bin\\long.exe first", SW_SHOWNORMAL) >= 32);
        QVERIFY(m_starter.winExec("c:\\bin\\long.exe second", SW_SHOWNORMAL) >= 32);
        qunsetenv("QV_ARGS_SLEEP_MS");
        QVERIFY(ArgRecorder::waitForRecords(m_records, 2));
        QCOMPARE(zombieChildren(), QStringList());
        // Programs that have ended leave nothing behind either.
        QVERIFY(m_starter.winExec("c:\\bin\\long.exe third", SW_SHOWNORMAL) >= 32);
        QVERIFY(ArgRecorder::waitForRecords(m_records, 3));
        QTest::qWait(50);
        QCOMPARE(zombieChildren(), QStringList());
    }

    void inheritsCurrentFolderAndEnvironment() {
        const QString out = m_drive.path() + "/where.txt";
        place("tools/where.sh", "#!/bin/sh\necho \"$(pwd) $QV_PROBE\" > \"$1\"\n",
              QFile::ReadOwner | QFile::ExeOwner);
        const QString work = m_drive.path() + "/work";
        QDir().mkpath(work);
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(work));
        qputenv("QV_PROBE", "probe-value");
        const unsigned result = m_starter.winExec("c:\\tools\\where.sh " + out, SW_SHOWNORMAL);
        QDir::setCurrent(before);
        qunsetenv("QV_PROBE");
        QVERIFY(result >= 32);
        QTRY_VERIFY(QFile(out).size() > 0);
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().trimmed(),
                 (QDir(work).canonicalPath() + " probe-value").toLocal8Bit());
    }

    // The command line carries the password: nothing outside the drive folder starts, not by
    // a name relative to the current folder, nor from PATH, nor through a link that leads out.
    void onlyTheDriveFolderStartsPrograms() {
        placeRecorder("work/rel/tool");
        QVERIFY(QFile::link("/bin/true", m_drive.path() + "/work/out.exe"));
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_drive.path() + "/work"));
        const QList<unsigned> refused = {
            m_starter.winExec("rel\\tool x", SW_SHOWNORMAL),
            m_starter.winExec("..\\..\\..\\..\\..\\..\\bin\\sh -c x", SW_SHOWNORMAL),
            m_starter.winExec("true", SW_SHOWNORMAL),
            m_starter.winExec("c:\\work\\out.exe", SW_SHOWNORMAL)};
        QDir::setCurrent(before);
        QCOMPARE(refused, (QList<unsigned>{3, 3, 3, 3}));
        QVERIFY(m_starter.winExec("\\WORK\\rel\\tool y", SW_SHOWNORMAL) >= 32);
        QVERIFY(ArgRecorder::waitForRecords(m_records, 1));
        QCOMPARE(ArgRecorder::readRecords(m_records).first(),
                 QStringList({"\\WORK\\rel\\tool", "y"}));
    }

    // Wine by its absolute path only (one on PATH is never taken), in a prefix of the user's
    // data folder whose c: is the drive folder; the program gets its Windows path first.
    void windowsProgramsRunThroughWine() {
        const QByteArray pe = QByteArray("MZ") + QByteArray(200, '\x90');
        place("win/app.exe", pe, QFile::ReadOwner | QFile::WriteOwner);
        QTemporaryDir data;
        qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
        qunsetenv("WINEPREFIX");
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", (m_drive.path() + "/winebin:").toLocal8Bit());
        placeRecorder("winebin/wine");
        qputenv("QUORVANE_WINE", (m_drive.path() + "/nowine/wine").toLocal8Bit());
        const unsigned withoutWine = m_starter.winExec("c:\\win\\app.exe a", SW_SHOWNORMAL);
        const QString wine = m_drive.path() + "/winebin/wine";
        qputenv("QUORVANE_WINE", wine.toLocal8Bit());
        const unsigned withWine = m_starter.winExec("\\win\\APP.exe a  b", SW_SHOWNORMAL);
        // A prefix named by the administrator must have the drive folder as its c:.
        qputenv("WINEPREFIX", data.path().toLocal8Bit());
        QString refused;
        try {
            m_starter.winExec("c:\\win\\app.exe", SW_SHOWNORMAL);
        } catch (const Exception& error) {
            refused = error.message();
        }
        qunsetenv("WINEPREFIX");
        qunsetenv("QUORVANE_WINE");
        qunsetenv("XDG_DATA_HOME");
        qputenv("PATH", path);
        QCOMPARE(withoutWine, 11u);
        QVERIFY(withWine >= 32);
        QVERIFY(ArgRecorder::waitForRecords(m_records, 1));
        QCOMPARE(ArgRecorder::readRecords(m_records),
                 QList<QStringList>({{wine, "c:\\win\\APP.exe", "a", "", "b"}}));
        QCOMPARE(QFileInfo(data.path() + "/quorvane/wine/dosdevices/c:").canonicalFilePath(),
                 QFileInfo(m_drive.path()).canonicalFilePath());
        QVERIFY2(refused.startsWith("The wine prefix " + data.path() +
                                    " (WINEPREFIX) does not "
                                    "have the drive folder "),
                 qPrintable(refused));
    }

    void defaultStarterAndReplacement() {
        struct Recording : ProcessStarter {
            QString line;
            unsigned winExec(const QString& commandLine, int) override {
                line = commandLine;
                return 2;
            }
        } recording;
        ProcessStarter* real = &processStarter();
        QVERIFY(dynamic_cast<SystemProcessStarter*>(real));
        setProcessStarter(&recording);
        QCOMPARE(WinExec("c:\\x.exe a", SW_SHOWNORMAL), 2u);
        QCOMPARE(recording.line, QStringLiteral("c:\\x.exe a"));
        setProcessStarter(nullptr);
        QCOMPARE(&processStarter(), real);
    }
};

QTEST_GUILESS_MAIN(TestProcessStart)
#include "tst_processstart.moc"
