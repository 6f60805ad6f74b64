// The FTP client against real servers nobody here wrote: pyftpdlib always, vsftpd when it
// is installed. Files must arrive byte for byte, line ends included.
#include "net/FtpClient.h"

#include "PyFtpServer.h"
#include "ScriptedFtpServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr qint64 BigSize = 64ll << 20;
constexpr qint64 Piece = 1 << 20;

const QByteArray SmallText("first line\r\nsecond line\nthird\r\r\n\0binary tail", 45);

void WriteGenerated(const QString& path, qint64 size) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    for (qint64 at = 0; at < size; at += Piece)
        file.write(ftptest::PatternBytes(at, qMin(Piece, size - at)));
}

// Compares a file with the generated pattern piece by piece, so neither is held whole.
bool MatchesGenerated(const QString& path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != size)
        return false;
    for (qint64 at = 0; at < size; at += Piece)
        if (file.read(Piece) != ftptest::PatternBytes(at, qMin(Piece, size - at)))
            return false;
    return true;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// vsftpd as an unprivileged anonymous read-only server on loopback.
class VsFtpd {
public:
    VsFtpd(const QString& root, const QString& configDir) : m_port(FreePort()) {
        const QString config = configDir + QStringLiteral("/vsftpd.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.write(QStringLiteral("listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
                                  "listen_port=%1\nbackground=NO\nrun_as_launching_user=YES\n"
                                  "anonymous_enable=YES\nno_anon_password=YES\nanon_root=%2\n"
                                  "local_enable=NO\nwrite_enable=NO\nconnect_from_port_20=NO\n"
                                  "seccomp_sandbox=NO\npasv_enable=NO\n")
                       .arg(m_port)
                       .arg(root)
                       .toLocal8Bit());
        file.close();
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start(QStandardPaths::findExecutable(QStringLiteral("vsftpd")), {config});
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(200)) {
                m_running = true;
                return;
            }
            QTest::qWait(50);
        }
    }
    ~VsFtpd() {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    bool isRunning() const { return m_running; }
    quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port;
    bool m_running = false;
};

} // namespace

class FtpInteropTest : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    QTemporaryDir work;
    std::unique_ptr<ftptest::PyFtpServer> pyftpd;
    std::unique_ptr<VsFtpd> vsftpd;

    // A logged-in client with image type set, against the server of the current data row.
    std::unique_ptr<TFtpClient> login() {
        QFETCH_GLOBAL(QString, kind);
        auto client = std::make_unique<TFtpClient>();
        client->Host = QStringLiteral("127.0.0.1");
        if (kind == QLatin1String("pyftpdlib")) {
            client->Port = pyftpd->port();
        } else {
            if (!vsftpd)
                vsftpd = std::make_unique<VsFtpd>(root.path(), work.path());
            if (!vsftpd->isRunning())
                return nullptr;
            client->Port = vsftpd->port();
        }
        client->UserID = QStringLiteral("ftp");
        client->Password = QStringLiteral("quorvane@workstation.invalid");
        client->IdleTimeOut = 20000;
        client->Connect();
        client->SetTransferType(2);
        return client;
    }

    QString local(const QString& name) const {
        QFETCH_GLOBAL(QString, kind);
        return work.filePath(kind + QLatin1Char('-') + name);
    }

private slots:
    void initTestCase_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("pyftpdlib") << QStringLiteral("pyftpdlib");
        QTest::newRow("vsftpd") << QStringLiteral("vsftpd");
    }

    void initTestCase() {
        QVERIFY(root.isValid() && work.isValid());
        QFile(root.filePath(QStringLiteral("empty.exe"))).open(QIODevice::WriteOnly);
        QFile small(root.filePath(QStringLiteral("small.txt")));
        QVERIFY(small.open(QIODevice::WriteOnly));
        small.write(SmallText);
        small.close();
        WriteGenerated(root.filePath(QStringLiteral("big.bin")), BigSize);
        pyftpd = std::make_unique<ftptest::PyFtpServer>(root.path());
        QVERIFY2(pyftpd->isRunning(), qPrintable(pyftpd->errorText()));
    }

    void init() {
        QFETCH_GLOBAL(QString, kind);
        if (kind == QLatin1String("vsftpd") &&
            QStandardPaths::findExecutable(QStringLiteral("vsftpd")).isEmpty())
            QSKIP("vsftpd is not installed; its interop cases are skipped");
    }

    void cleanupTestCase() {
        vsftpd.reset();
        pyftpd.reset();
    }

    void loginAndImageType() {
        auto client = login();
        QVERIFY(client);
        QVERIFY(client->IsConnected);
        QCOMPARE(client->ReplyNumber, qint16(200));
        client->Disconnect();
        QVERIFY(!client->IsConnected);
    }

    void downloadsArriveByteForByte() {
        auto client = login();
        QVERIFY(client);
        client->Download(QStringLiteral("empty.exe"), local("empty.exe"));
        QVERIFY(QFile::exists(local("empty.exe")));
        QCOMPARE(QFileInfo(local("empty.exe")).size(), 0);
        client->Download(QStringLiteral("/small.txt"), local("small.txt"));
        QCOMPARE(ReadAll(local("small.txt")), SmallText);
        client->Download(QStringLiteral("big.bin"), local("big.bin"));
        QCOMPARE(client->TransferSize, BigSize);
        QVERIFY(MatchesGenerated(local("big.bin"), BigSize));
        QFile::remove(local("big.bin"));
        client->Disconnect();
    }

    void missingFile() {
        auto client = login();
        QVERIFY(client);
        try {
            client->Download(QStringLiteral("no-such.exe"), local("no-such.exe"));
            QFAIL("a missing file was reported as downloaded");
        } catch (const FTPException& e) {
            QVERIFY2(e.message().startsWith(QLatin1String("550")), qPrintable(e.message()));
            QVERIFY(e.message().endsWith(QLatin1String("\r\n")));
        }
        QVERIFY(!QFile::exists(local("no-such.exe")));
        // The session is still good for the next file.
        client->Download(QStringLiteral("small.txt"), local("again.txt"));
        QCOMPARE(ReadAll(local("again.txt")), SmallText);
        client->Disconnect();
    }
};

QTEST_GUILESS_MAIN(FtpInteropTest)
#include "FtpInteropTest.moc"
