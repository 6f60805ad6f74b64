// Downloads one 256 MiB file from a local pyftpdlib five times with TFtpClient, five times
// with TFtpClient hashing it (SHA-256) as it arrives and five times with curl in active mode,
// each in a process of its own, and prints the median wall times, their ratios and each one's
// peak resident memory beside that of an idle process. The digest TFtpClient reports is
// checked against sha256sum.
//
//   ftp_download [size-in-MiB]
#include "Measure.h"

#include "net/FtpClient.h"

#include "PyFtpServer.h"
#include "ScriptedFtpServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Runs = 5;
const char* const Mail = "quorvane@workstation.invalid";

// --client PORT REMOTE LOCAL [DIGEST-FILE]: with a digest file, the download is hashed as
// it arrives and the hex digest written there.
int ClientDownload(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TFtpClient client;
    client.ComputeSha256 = argc == 6;
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
    if (client.ComputeSha256) {
        QFile digest(QString::fromLocal8Bit(argv[5]));
        if (!digest.open(QIODevice::WriteOnly) || digest.write(client.ReceivedSha256()) < 0)
            return 1;
    }
    return 0;
}

QByteArray Sha256Sum(const QString& path) {
    QProcess sum;
    sum.start(QStringLiteral("sha256sum"), {path});
    if (!sum.waitForFinished(-1) || sum.exitCode() != 0)
        return {};
    return sum.readAllStandardOutput().split(' ').value(0);
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
    if ((argc == 5 || argc == 6) && QByteArray(argv[1]) == "--client")
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

    const QByteArray expected = Sha256Sum(root.filePath(QStringLiteral("big.bin")));
    const QString digest = work.filePath(QStringLiteral("digest"));
    bool digestsMatch = !expected.isEmpty();

    std::vector<Run> ours, hashing, theirs;
    for (int i = 0; i < Runs; ++i) {
        ours.push_back(
            Measure({self, QStringLiteral("--client"), port, QStringLiteral("big.bin"), out}));
        if (!ours.back().ok || QFileInfo(out).size() != size) {
            std::fprintf(stderr, "TFtpClient run %d failed\n", i + 1);
            return 1;
        }
        QFile::remove(out);
        hashing.push_back(Measure(
            {self, QStringLiteral("--client"), port, QStringLiteral("big.bin"), out, digest}));
        if (!hashing.back().ok || QFileInfo(out).size() != size) {
            std::fprintf(stderr, "TFtpClient run %d with SHA-256 failed\n", i + 1);
            return 1;
        }
        QFile reported(digest);
        digestsMatch =
            digestsMatch && reported.open(QIODevice::ReadOnly) && reported.readAll() == expected;
        QFile::remove(out);
        QFile::remove(digest);
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
    const Run a = Median(ours), h = Median(hashing), b = Median(theirs);
    std::printf("file: %lld MiB over loopback from pyftpdlib, %d runs each\n", mib, Runs);
    std::printf("TFtpClient:         median %.3f s (%.0f MiB/s), cpu %.3f s, peak RSS %ld KiB\n",
                a.seconds, mib / a.seconds, a.cpuSeconds, a.peakKiB);
    std::printf("TFtpClient+SHA-256: median %.3f s (%.0f MiB/s), cpu %.3f s, peak RSS %ld KiB\n",
                h.seconds, mib / h.seconds, h.cpuSeconds, h.peakKiB);
    std::printf("curl:               median %.3f s (%.0f MiB/s), cpu %.3f s, peak RSS %ld KiB\n",
                b.seconds, mib / b.seconds, b.cpuSeconds, b.peakKiB);
    std::printf("ratio TFtpClient/curl: %.2f (target <= 1.00)\n", a.seconds / b.seconds);
    std::printf("ratio TFtpClient+SHA-256/curl: %.2f (target <= 1.10)\n", h.seconds / b.seconds);
    std::printf("SHA-256 reported in every run equals sha256sum (%s): %s\n",
                expected.left(16).constData(), digestsMatch ? "yes" : "NO");
    std::printf("idle TFtpClient process: peak RSS %ld KiB; download adds %ld KiB, with SHA-256 "
                "%ld KiB (target <= 2048)\n",
                idle.peakKiB, a.peakKiB - idle.peakKiB, h.peakKiB - idle.peakKiB);
    return digestsMatch ? 0 : 1;
}
