// Fetches 300 small files (1 to 16 KiB) on one connection, five times with TFtpClient and five
// times with curl in active mode (one invocation, which keeps its connection from file to
// file), each in a process of its own, from pyftpdlib and from vsftpd, and prints the median
// wall times and their ratio per server. Every run's files are checked for their sizes.
//
//   ftp_many_files [file-count]
#include "Measure.h"

#include "net/FtpClient.h"

#include "PyFtpServer.h"
#include "ScriptedFtpServer.h"
#include "VsFtpServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

constexpr int Runs = 5;
const char* const Mail = "quorvane@workstation.invalid";

QString FileName(int i) {
    return QStringLiteral("f%1.bin").arg(i, 3, 10, QLatin1Char('0'));
}

qint64 FileSize(int i) {
    return 1024 + (i * 7919) % (15 * 1024);
}

// --client PORT COUNT FOLDER: one session, COUNT downloads, QUIT.
int ClientDownloads(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TFtpClient client;
    client.Host = QStringLiteral("127.0.0.1");
    client.Port = QString::fromLocal8Bit(argv[2]).toInt();
    client.UserID = QStringLiteral("ftp");
    client.Password = QLatin1String(Mail);
    const int count = QByteArray(argv[3]).toInt();
    const QDir folder(QString::fromLocal8Bit(argv[4]));
    try {
        client.Connect();
        client.SetTransferType(2);
        for (int i = 0; i < count; ++i)
            client.Download(FileName(i), folder.filePath(FileName(i)));
        client.Disconnect();
    } catch (const Exception& e) {
        std::fprintf(stderr, "download failed: %s\n", e.what());
        return 1;
    }
    return 0;
}

// True when the folder holds every file at its size; empties the folder for the next run.
bool TakeFiles(const QString& folder, int count) {
    bool ok = true;
    for (int i = 0; i < count; ++i)
        ok = ok && QFileInfo(folder + QLatin1Char('/') + FileName(i)).size() == FileSize(i);
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    return ok;
}

bool Compare(const char* server, quint16 serverPort, int count, const QString& out) {
    const QString port = QString::number(serverPort);
    const QString self = QCoreApplication::applicationFilePath();
    QStringList curl{QStandardPaths::findExecutable(QStringLiteral("curl")),
                     QStringLiteral("-s"),
                     QStringLiteral("--ftp-port"),
                     QStringLiteral("-"),
                     QStringLiteral("-u"),
                     QStringLiteral("ftp:") + QLatin1String(Mail),
                     QStringLiteral("--output-dir"),
                     out,
                     QStringLiteral("--remote-name-all")};
    for (int i = 0; i < count; ++i)
        curl << "ftp://127.0.0.1:" + port + QLatin1Char('/') + FileName(i);

    std::vector<Run> ours, theirs;
    for (int i = 0; i < Runs; ++i) {
        ours.push_back(
            Measure({self, QStringLiteral("--client"), port, QString::number(count), out}));
        if (!TakeFiles(out, count) || !ours.back().ok) {
            std::fprintf(stderr, "TFtpClient run %d from %s failed\n", i + 1, server);
            return false;
        }
        theirs.push_back(Measure(curl));
        if (!TakeFiles(out, count) || !theirs.back().ok) {
            std::fprintf(stderr, "curl run %d from %s failed\n", i + 1, server);
            return false;
        }
    }
    const Run a = Median(ours), b = Median(theirs);
    std::printf("%s: TFtpClient median %.3f s (cpu %.3f s), curl median %.3f s (cpu %.3f s), "
                "ratio TFtpClient/curl %.2f (target <= 1.00)\n",
                server, a.seconds, a.cpuSeconds, b.seconds, b.cpuSeconds, a.seconds / b.seconds);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && QByteArray(argv[1]) == "--client")
        return ClientDownloads(argc, argv);

    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 300;
    QTemporaryDir root, work;
    qint64 total = 0;
    for (int i = 0; i < count; ++i) {
        QFile file(root.filePath(FileName(i)));
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(ftptest::PatternBytes(i, FileSize(i))) != FileSize(i))
            return 2;
        total += FileSize(i);
    }
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty()) {
        std::fprintf(stderr, "curl is not installed\n");
        return 2;
    }
    ftptest::PyFtpServer pyftpd(root.path());
    ftptest::VsFtpServer vsftpd(root.path());
    for (const auto& [running, error] : {std::pair{pyftpd.isRunning(), pyftpd.errorText()},
                                         std::pair{vsftpd.isRunning(), vsftpd.errorText()}})
        if (!running) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 2;
        }
    const QString out = work.filePath(QStringLiteral("out"));
    QDir().mkpath(out);
    std::printf("%d files, %lld KiB in all, one connection per run, %d runs each\n", count,
                total >> 10, Runs);
    if (!Compare("pyftpdlib", pyftpd.port(), count, out) ||
        !Compare("vsftpd", vsftpd.port(), count, out))
        return 1;
    return 0;
}
