// Downloads one 256 MiB file from a local pyftpdlib five times with TFtpClient and five
// times with curl in active mode, each in a process of its own, and prints the median wall
// times, their ratio and each one's peak resident memory beside that of an idle process.
//
//   ftp_download [size-in-MiB]
#include "net/FtpClient.h"

#include "PyFtpServer.h"
#include "ScriptedFtpServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int Runs = 5;
const char* const Mail = "quorvane@workstation.invalid";

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

// The peak resident memory of a running process, in KiB (0 once it has gone). The rusage
// of wait4 cannot be used: it counts the memory of the spawning process as well.
long PeakKiB(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Starts a program, waits for it and returns its wall time and peak resident memory, the
// latter sampled every millisecond while it runs.
Run Measure(const QStringList& command) {
    std::vector<QByteArray> args;
    for (const QString& a : command)
        args.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    Run run;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return run;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        run.peakKiB = std::max(run.peakKiB, PeakKiB(pid));
        usleep(1000);
    }
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

Run Median(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
    Run m = runs[runs.size() / 2];
    for (const Run& r : runs)
        m.peakKiB = std::max(m.peakKiB, r.peakKiB);
    return m;
}

int ClientDownload(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TFtpClient client;
    client.Host = QStringLiteral("127.0.0.1");
    client.Port = QString::fromLocal8Bit(argv[2]).toInt();
    client.UserID = QStringLiteral("ftp");
    client.Password = QLatin1String(Mail);
    try {
        client.Connect();
        client.SetTransferType(2);
        client.Download(QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]));
        client.Disconnect();
    } catch (const Exception& e) {
        std::fprintf(stderr, "download failed: %s\n", e.what());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && QByteArray(argv[1]) == "--idle") {
        // Alive long enough for its memory to be sampled.
        QCoreApplication app(argc, argv);
        TFtpClient client;
        usleep(300000);
        return 0;
    }
    if (argc == 5 && QByteArray(argv[1]) == "--client")
        return ClientDownload(argc, argv);

    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 256;
    const qint64 size = mib << 20;
    QTemporaryDir root, work;
    {
        QFile file(root.filePath(QStringLiteral("big.bin")));
        if (!file.open(QIODevice::WriteOnly))
            return 2;
        for (qint64 at = 0; at < size; at += 1 << 20)
            file.write(ftptest::PatternBytes(at, std::min<qint64>(1 << 20, size - at)));
    }
    ftptest::PyFtpServer server(root.path());
    if (!server.isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
        return 2;
    }
    const QString port = QString::number(server.port());
    const QString self = QCoreApplication::applicationFilePath();
    const QString out = work.filePath(QStringLiteral("out.bin"));
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty()) {
        std::fprintf(stderr, "curl is not installed\n");
        return 2;
    }

    std::vector<Run> ours, theirs;
    for (int i = 0; i < Runs; ++i) {
        ours.push_back(
            Measure({self, QStringLiteral("--client"), port, QStringLiteral("big.bin"), out}));
        if (!ours.back().ok || QFileInfo(out).size() != size) {
            std::fprintf(stderr, "TFtpClient run %d failed\n", i + 1);
            return 1;
        }
        QFile::remove(out);
        theirs.push_back(
            Measure({curl, QStringLiteral("-s"), QStringLiteral("--ftp-port"), QStringLiteral("-"),
                     QStringLiteral("-u"), QStringLiteral("ftp:") + QLatin1String(Mail),
                     QStringLiteral("-o"), out, "ftp://127.0.0.1:" + port + "/big.bin"}));
        if (!theirs.back().ok || QFileInfo(out).size() != size) {
            std::fprintf(stderr, "curl run %d failed\n", i + 1);
            return 1;
        }
        QFile::remove(out);
    }
    const Run idle = Measure({self, QStringLiteral("--idle")});
    const Run a = Median(ours), b = Median(theirs);
    std::printf("file: %lld MiB over loopback from pyftpdlib, %d runs each\n", mib, Runs);
    std::printf("TFtpClient: median %.3f s (%.0f MiB/s), peak RSS %ld KiB\n", a.seconds,
                mib / a.seconds, a.peakKiB);
    std::printf("curl:       median %.3f s (%.0f MiB/s), peak RSS %ld KiB\n", b.seconds,
                mib / b.seconds, b.peakKiB);
    std::printf("ratio TFtpClient/curl: %.2f (target <= 1.20)\n", a.seconds / b.seconds);
    std::printf("idle TFtpClient process: peak RSS %ld KiB; download adds %ld KiB (target <= "
                "32768)\n",
                idle.peakKiB, a.peakKiB - idle.peakKiB);
    return 0;
}
