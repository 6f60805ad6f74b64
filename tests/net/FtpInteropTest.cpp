// The FTP client against real servers nobody here wrote: pyftpdlib and vsftpd. Files must
// arrive byte for byte, line ends included; an error fails its case, never the program.
#include "net/FtpClient.h"

#include "PyFtpServer.h"
#include "ScriptedFtpServer.h"
#include "VsFtpServer.h"

#include <QDir>
#include <QFile>
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

} // namespace

class FtpInteropTest : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    QTemporaryDir work;
    std::unique_ptr<ftptest::PyFtpServer> pyftpd;
    std::unique_ptr<ftptest::VsFtpServer> vsftpd;

    // A client for the server of the current data row; LogIn connects it.
    std::unique_ptr<TFtpClient> client() const {
        QFETCH_GLOBAL(QString, kind);
        auto client = std::make_unique<TFtpClient>();
        client->Host = QStringLiteral("127.0.0.1");
        client->Port = kind == QLatin1String("pyftpdlib") ? pyftpd->port() : vsftpd->port();
        client->UserID = QStringLiteral("ftp");
        client->Password = QStringLiteral("quorvane@workstation.invalid");
        client->IdleTimeOut = 20000;
        return client;
    }
    static void LogIn(TFtpClient& client) {
        client.Connect();
        client.SetTransferType(2);
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
        QVERIFY(QDir(root.path()).mkdir(QStringLiteral("sub")));
        QFile small(root.filePath(QStringLiteral("sub/small.txt")));
        QVERIFY(small.open(QIODevice::WriteOnly));
        small.write(SmallText);
        small.close();
        // A name beyond Latin-1, as the server stores it: UTF-8.
        QVERIFY(small.copy(root.filePath(QStringLiteral("sub/\u017durnaal.exe"))));
        WriteGenerated(root.filePath(QStringLiteral("big.bin")), BigSize);
        pyftpd = std::make_unique<ftptest::PyFtpServer>(root.path());
        QVERIFY2(pyftpd->isRunning(), qPrintable(pyftpd->errorText()));
        // scripts/install-deps installs vsftpd: a missing one is a failure, not a skip.
        vsftpd = std::make_unique<ftptest::VsFtpServer>(root.path());
        QVERIFY2(vsftpd->isRunning(), qPrintable(vsftpd->errorText()));
    }

    void cleanupTestCase() {
        vsftpd.reset();
        pyftpd.reset();
    }

    void loginAndImageType() {
        auto client = this->client();
        QVERIFY_THROWS_NO_EXCEPTION(LogIn(*client));
        QVERIFY(client->IsConnected);
        QCOMPARE(client->ReplyNumber, qint16(200));
        QVERIFY_THROWS_NO_EXCEPTION(client->Disconnect());
        QVERIFY(!client->IsConnected);
    }

    // Names relative to the served folder, as the upgrade sends them.
    void downloadsArriveByteForByte() {
        auto client = this->client();
        QVERIFY_THROWS_NO_EXCEPTION(LogIn(*client));
        QVERIFY_THROWS_NO_EXCEPTION(
            client->Download(QStringLiteral("empty.exe"), local("empty.exe")));
        QVERIFY(QFile::exists(local("empty.exe")));
        QCOMPARE(QFileInfo(local("empty.exe")).size(), 0);
        QVERIFY_THROWS_NO_EXCEPTION(
            client->Download(QStringLiteral("sub/small.txt"), local("small.txt")));
        QCOMPARE(ReadAll(local("small.txt")), SmallText);
        QVERIFY_THROWS_NO_EXCEPTION(
            client->Download(QStringLiteral("sub/\u017durnaal.exe"), local("zurnaal.exe")));
        QCOMPARE(ReadAll(local("zurnaal.exe")), SmallText);
        QVERIFY_THROWS_NO_EXCEPTION(client->Download(QStringLiteral("big.bin"), local("big.bin")));
        QCOMPARE(client->TransferSize, BigSize);
        QVERIFY(MatchesGenerated(local("big.bin"), BigSize));
        QFile::remove(local("big.bin"));
        QVERIFY_THROWS_NO_EXCEPTION(client->Disconnect());
    }

    void missingFile() {
        auto client = this->client();
        QVERIFY_THROWS_NO_EXCEPTION(LogIn(*client));
        try {
            client->Download(QStringLiteral("no-such.exe"), local("no-such.exe"));
            QFAIL("a missing file was reported as downloaded");
        } catch (const FTPException& e) {
            QVERIFY2(e.message().startsWith(QLatin1String("550")), qPrintable(e.message()));
            QVERIFY(e.message().endsWith(QLatin1String("\r\n")));
        } catch (const std::exception& e) {
            QFAIL(e.what());
        }
        QVERIFY(!QFile::exists(local("no-such.exe")));
        // The session is still good for the next file.
        QVERIFY_THROWS_NO_EXCEPTION(
            client->Download(QStringLiteral("sub/small.txt"), local("again.txt")));
        QCOMPARE(ReadAll(local("again.txt")), SmallText);
        QVERIFY_THROWS_NO_EXCEPTION(client->Disconnect());
    }
};

QTEST_GUILESS_MAIN(FtpInteropTest)
#include "FtpInteropTest.moc"
