// The launcher killed (SIGKILL) while it writes the settings file: the file is afterwards
// exactly one of the versions it wrote or held before, never a torn or mixed one, and the
// next start reads and writes it as usual.
#include "data/ProfileFile.h"

#include "KillTarget.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QByteArray Prefix = "; workstation settings\r\n[lastuser]\r\nusername=mari\r\n"
                          "[dblist]\r\nORCL=Y\r\n[state]\r\nstamp=";

// Some megabytes of keys after the stamp, so each write takes a while.
QByteArray suffix() {
    QByteArray rest = "\r\n[padding]\r\n";
    for (int i = 0; i < 64000; ++i)
        rest += "key" + QByteArray::number(i) + "=" + QByteArray(60, char('a' + i % 26)) + "\r\n";
    return rest;
}

// The whole file as it is with one generation's stamp.
QByteArray fileOf(qint64 generation) {
    static const QByteArray rest = suffix();
    return Prefix + KillTarget::stamp(generation).toLatin1() + rest;
}

// True while the process has a file of `folder` open for writing: the file a write goes to
// (a temporary file, named or unnamed, or the settings file itself).
bool writing(qint64 pid, const QString& folder) {
    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    for (const QString& fd :
         QDir(proc + QStringLiteral("fd")).entryList(QDir::Files | QDir::System)) {
        char target[4096];
        const ssize_t n =
            ::readlink(QFile::encodeName(proc + QStringLiteral("fd/") + fd).constData(), target,
                       sizeof target - 1);
        if (n <= 0 || !QFile::decodeName(QByteArray(target, int(n))).startsWith(folder + '/'))
            continue;
        QFile info(proc + QStringLiteral("fdinfo/") + fd);
        if (!info.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : info.readAll().split('\n'))
            if (line.startsWith("flags:") && (line.mid(6).trimmed().toInt(nullptr, 8) & O_ACCMODE))
                return true;
    }
    return false;
}

} // namespace

class KillSettingsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_drive;
    QString m_folder;
    QString m_file;

    QByteArray onDisk() const {
        QFile file(m_file);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    void startTarget(QProcess& target, qint64 first, qint64 count) const {
        target.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        target.start(QStringLiteral(QV_KILL_TARGET),
                     {QStringLiteral("settings"), QString::number(first), QString::number(count)});
    }

private slots:
    void initTestCase() {
        QVERIFY(m_drive.isValid());
        qputenv("QUORVANE_DRIVE_C", m_drive.path().toLocal8Bit());
        m_folder = QDir(m_drive.path()).canonicalPath() + QStringLiteral("/quorvane3");
        m_file = m_folder + QStringLiteral("/quorvane.ini");
        QVERIFY(QDir().mkpath(m_folder));
    }

    void killedWhileWriting() {
        QFile initial(m_file);
        QVERIFY(initial.open(QIODevice::WriteOnly));
        QCOMPARE(initial.write(fileOf(0)), fileOf(0).size());
        initial.close();

        static const QRegularExpression stampLine(QStringLiteral("\r\nstamp=g(\\d{9});"));
        qint64 previous = 0;
        for (int round = 1; round <= 6; ++round) {
            const qint64 first = round * 1000000;
            QProcess target;
            startTarget(target, first, 1000000);
            QVERIFY(target.waitForStarted(5000));
            // The kill lands while a write has its temporary file open.
            QDeadlineTimer deadline(5000);
            while (!writing(target.processId(), m_folder) && !deadline.hasExpired())
                QThread::usleep(200);
            QVERIFY2(!deadline.hasExpired(), "the target never wrote");
            QCOMPARE(::kill(pid_t(target.processId()), SIGKILL), 0);
            QVERIFY(target.waitForFinished(5000));
            QCOMPARE(target.exitStatus(), QProcess::CrashExit);

            const QByteArray bytes = onDisk();
            const auto match = stampLine.match(QString::fromLatin1(bytes.left(4096)));
            QVERIFY2(match.hasMatch(), qPrintable(QStringLiteral("round %1").arg(round)));
            const qint64 generation = match.captured(1).toLongLong();
            // The old file, or one this run wrote in whole.
            QVERIFY2(generation == previous ||
                         (generation >= first && generation < first + 1000000),
                     qPrintable(QString::number(generation)));
            QVERIFY2(bytes == fileOf(generation),
                     qPrintable(QStringLiteral("round %1: a torn file").arg(round)));
            previous = generation;
        }

        // Started again, the program reads the file and writes it to the end.
        QProcess target;
        startTarget(target, 9000000, 3);
        QVERIFY(target.waitForFinished(10000));
        QCOMPARE(target.exitStatus(), QProcess::NormalExit);
        QCOMPARE(target.exitCode(), 0);
        QCOMPARE(onDisk(), fileOf(9000002));
        ProfileFile ini(KillTarget::SettingsPath);
        QCOMPARE(ini.readString(QStringLiteral("lastuser"), QStringLiteral("username"), QString()),
                 QStringLiteral("mari"));
        QCOMPARE(ini.readString(KillTarget::StampSection, KillTarget::StampKey, QString()),
                 KillTarget::stamp(9000002));
    }
};

QTEST_GUILESS_MAIN(KillSettingsTest)
#include "KillSettingsTest.moc"
