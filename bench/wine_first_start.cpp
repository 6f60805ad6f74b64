// Prints the seconds from the start call until the Windows test program has written its record:
// through the launcher's process start on a new account (its wine prefix is made on the way)
// and through a plain `wine` in a new prefix, each followed by a second start.
#include "platform/ProcessStart.h"
#include "platform/WinePrefix.h"
#include "programs/ArgRecorder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// Seconds until `records` holds `count` records, or -1 after five minutes.
double untilRecorded(const QElapsedTimer& clock, const QString& records, int count) {
    if (!ArgRecorder::waitForRecords(records, count, 300000))
        return -1;
    return double(clock.nsecsElapsed()) / 1e9;
}

void stopWineServer(const QString& prefix) {
    QProcess::execute(QStringLiteral("env"), {QStringLiteral("WINEPREFIX=") + prefix,
                                              QStringLiteral("wineserver"), QStringLiteral("-k")});
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString program = ArgRecorder::windowsProgramPath();
    if (program.isEmpty() || WinePrefix::wineProgram().isEmpty()) {
        std::fprintf(stderr, "wine_first_start: needs wine and mingw-w64\n");
        return 1;
    }
    QTemporaryDir work;
    const QString drive = work.filePath(QStringLiteral("c"));
    const QString data = work.filePath(QStringLiteral("data"));
    const QString plain = work.filePath(QStringLiteral("plain"));
    QDir().mkpath(drive + QStringLiteral("/qv"));
    QFile::copy(program, drive + QStringLiteral("/qv/rec.exe"));
    qputenv("QUORVANE_DRIVE_C", drive.toLocal8Bit());
    qputenv("XDG_DATA_HOME", data.toLocal8Bit());
    qunsetenv("WINEPREFIX");
    qputenv("WINEDEBUG", "-all");

    SystemProcessStarter starter;
    double launcher[2] = {};
    for (int run = 0; run < 2; ++run) {
        QElapsedTimer clock;
        clock.start();
        if (starter.winExec(QStringLiteral("c:\\qv\\rec.exe ORCL mari pw 10"), 1) < 32)
            return 1;
        // Three records per start: its arguments, its own file, the settings file.
        launcher[run] =
            untilRecorded(clock, drive + QStringLiteral("/records.jsonl"), 3 * (run + 1));
    }
    stopWineServer(WinePrefix::ownPrefix());

    // The same program in a new prefix of wine's own making, started by path.
    qputenv("WINEPREFIX", plain.toLocal8Bit());
    qputenv("WINEDLLOVERRIDES", "mscoree,mshtml=");
    const QString inPlain = plain + QStringLiteral("/drive_c/records.jsonl");
    double wine[2] = {};
    for (int run = 0; run < 2; ++run) {
        QElapsedTimer clock;
        clock.start();
        QProcess::startDetached(QString::fromLocal8Bit(WinePrefix::wineProgram()),
                                {drive + QStringLiteral("/qv/rec.exe"), QStringLiteral("ORCL")});
        wine[run] = untilRecorded(clock, inPlain, 3 * (run + 1));
    }
    stopWineServer(plain);

    std::printf("%-44s %10s %10s\n", "Windows program started by", "new prefix", "again");
    std::printf("%-44s %9.2fs %9.2fs\n", "the launcher (its own prefix, c: = drive)", launcher[0],
                launcher[1]);
    std::printf("%-44s %9.2fs %9.2fs\n", "plain wine (wine's own prefix)", wine[0], wine[1]);
    return 0;
}
