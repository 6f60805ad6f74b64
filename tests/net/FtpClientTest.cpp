// The FTP client against the scripted server: what goes on the wire, in which order, and
// how every kind of reply and fault ends.
#include "net/FtpClient.h"

#include "ScriptedFtpServer.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using ftptest::FtpScript;
using ftptest::ScriptedFtpServer;

namespace {

const QString User = QStringLiteral("ftp");
const QString Mail = QStringLiteral("quorvane@workstation.invalid");

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The commands after the login, with the PORT address left out (it changes every run).
QStringList Normalized(const QStringList& commands) {
    QStringList out;
    static const QRegularExpression port(QStringLiteral("^PORT 127,0,0,1,\\d+,\\d+$"));
    for (const QString& c : commands)
        out << (port.match(c).hasMatch() ? QStringLiteral("PORT *") : c);
    return out;
}

} // namespace

class FtpClientTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScriptedFtpServer> server;
    std::unique_ptr<TFtpClient> client;
    std::unique_ptr<QTemporaryDir> dir;
    QStringList statuses;

    QString local(const QString& name) const { return dir->filePath(name); }

    void makeClient() {
        client = std::make_unique<TFtpClient>();
        client->Host = server->host();
        client->Port = server->port();
        client->UserID = User;
        client->Password = Mail;
        client->IdleTimeOut = 5000;
        client->ReportLevel = 1;
        client->OnStatus = [this](QObject*, const QString& text) { statuses << text; };
    }

    // Runs f and returns the message of the error it raised ("" when none).
    template <typename F> static QString errorOf(F f) {
        try {
            f();
        } catch (const Exception& e) {
            return e.message();
        }
        return QString();
    }

private slots:
    void init() {
        server = std::make_unique<ScriptedFtpServer>();
        dir = std::make_unique<QTemporaryDir>();
        statuses.clear();
        makeClient();
    }

    void cleanup() {
        client.reset();
        server.reset();
    }

    void transferSizeAndCommandCodes() {
        using FtpConst::ParseTransferSize;
        QCOMPARE(ParseTransferSize("150 Opening BINARY mode data connection for a (34816 bytes)."),
                 34816);
        QCOMPARE(ParseTransferSize("150 Here comes 12 Bytes"), 12);
        QCOMPARE(ParseTransferSize("150 size 7, 99 of which bytes"), 99);
        QCOMPARE(ParseTransferSize("150 Opening data connection"), 0);
        QCOMPARE(ParseTransferSize("150 bytes: 500"), 150);
        QCOMPARE(ParseTransferSize("Bytes: 500"), 0);

        QCOMPARE(FtpConst::CommandType(QStringLiteral("PWD")), cmdPrintDir);
        QCOMPARE(FtpConst::CommandType(QStringLiteral("PWD ")), cmdOther);
        QCOMPARE(FtpConst::CommandType(QStringLiteral("cwd x")), cmdOther);
        QCOMPARE(FtpConst::CommandType(QStringLiteral("CWD x")), cmdChangeDir);
        QCOMPARE(FtpConst::CommandType(QStringLiteral("MKD x")), cmdMakeDir);
        QCOMPARE(FtpConst::CommandType(QStringLiteral("DELE x")), cmdDelete);
        QCOMPARE(FtpConst::CommandType(QStringLiteral("RMD x")), cmdRemoveDir);
        QCOMPARE(FtpConst::CommandType(QStringLiteral("NOOP")), cmdOther);
    }

    void loginWithPasswordAndQuit() {
        int connects = 0;
        client->OnConnect = [&](QObject*) { ++connects; };
        client->Connect();
        QVERIFY(client->IsConnected);
        QCOMPARE(connects, 1);
        client->Disconnect();
        QVERIFY(!client->IsConnected);
        QCOMPARE(server->commands(),
                 QStringList({"USER ftp", "PASS " + Mail, QStringLiteral("QUIT")}));
        QVERIFY(statuses.contains(QStringLiteral("PASS ")));
        for (const QString& s : statuses)
            QVERIFY2(!s.contains(Mail), qPrintable(s));
    }

    void loginWithout331SendsNoPassword() {
        server->on(QStringLiteral("USER"), FtpScript().reply("230 Welcome, no password.\r\n"));
        client->Connect();
        client->Disconnect();
        QCOMPARE(server->commands(), QStringList({"USER ftp", "QUIT"}));
    }

    void multiLineGreetingReadWholeInPieces() {
        // If the client took the second greeting line as the answer to USER, it would never
        // send PASS.
        server->setGreeting(FtpScript().replySplit(
            "220-Welcome to the\r\n220-scripted server\r\n   indented text\r\n220 ready\r\n", 3,
            2));
        server->on(QStringLiteral("USER"),
                   FtpScript().replySplit("331-Anonymous\r\n331 send your mail\r\n", 1, 1));
        client->Connect();
        QCOMPARE(server->commands(), QStringList({"USER ftp", "PASS " + Mail}));
        QCOMPARE(client->ReplyNumber, qint16(230));
    }

    void continuationLineEndsReplyEarly() {
        client->Connect();
        server->on(QStringLiteral("PWD"), FtpScript()
                                              .reply("257-first\r\nno number here\r\n")
                                              .pause(100)
                                              .reply("550 late line\r\n"));
        client->SendCommand(QStringLiteral("PWD"));
        QCOMPARE(client->LastReply, QStringLiteral("257-first\r\n"));
        // What stood after the early end is the next command's answer.
        QCOMPARE(errorOf([&] { client->SendCommand(QStringLiteral("CWD pub")); }),
                 QStringLiteral("550 late line\r\n"));
    }

    void twoDownloadsInOneSessionWireOrder() {
        server->files.insert(QStringLiteral("pub/a.exe"), "first file");
        server->files.insert(QStringLiteral("pub/b.exe"), QByteArray(70000, 'b'));
        client->Connect();
        client->SetTransferType(2);
        client->Download(QStringLiteral("pub/a.exe"), local("a.exe"));
        QCOMPARE(client->TransferSize, 10);
        client->Download(QStringLiteral("pub/b.exe"), local("b.exe"));
        QCOMPARE(client->TransferSize, 70000);
        QCOMPARE(client->ReplyNumber, qint16(150));
        client->Disconnect();
        QCOMPARE(Normalized(server->commands()),
                 QStringList({"USER ftp", "PASS " + Mail, "TYPE I", "PORT *", "RETR pub/a.exe",
                              "PORT *", "RETR pub/b.exe", "QUIT"}));
        QCOMPARE(ReadAll(local("a.exe")), QByteArray("first file"));
        QCOMPARE(ReadAll(local("b.exe")), QByteArray(70000, 'b'));
        QCOMPARE(server->dataConnections(), 2);
        QVERIFY(statuses.contains(QStringLiteral("Received 70000 Bytes")));
    }

    void emptyLocalNameUsesRemoteName() {
        server->files.insert(QStringLiteral("same.txt"), "same");
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir->path());
        client->Connect();
        client->Download(QStringLiteral("same.txt"));
        QDir::setCurrent(old);
        QCOMPARE(ReadAll(local("same.txt")), QByteArray("same"));
    }

    void zeroByteAndBinaryFiles() {
        // Enough capture blocks that each is filled again after the hash has had it.
        QByteArray binary = ftptest::PatternBytes(0, 3000000);
        binary += QByteArray("\r\n\0\r\r\n\n\0", 8);
        server->files.insert(QStringLiteral("empty"), QByteArray());
        server->files.insert(QStringLiteral("binary"), binary);
        client->Connect();
        client->ComputeSha256 = true;
        client->Download(QStringLiteral("empty"), local("empty"));
        QVERIFY(QFile::exists(local("empty")));
        QCOMPARE(QFileInfo(local("empty")).size(), 0);
        QCOMPARE(client->TransferSize, 0);
        QCOMPARE(client->ReceivedSha256(),
                 QCryptographicHash::hash({}, QCryptographicHash::Sha256).toHex());
        client->Download(QStringLiteral("binary"), local("binary"));
        QCOMPARE(ReadAll(local("binary")), binary);
        // Hashed while it arrived, across capture blocks, the same as a pass over the file.
        QCOMPARE(client->ReceivedSha256(),
                 QCryptographicHash::hash(binary, QCryptographicHash::Sha256).toHex());
    }

    void sizeWithoutBytesWordIsTheCountReceived() {
        server->on(QStringLiteral("RETR"), [](const QString&) {
            return FtpScript()
                .reply("150-Opening data connection\r\n150 for you\r\n")
                .connectData()
                .sendData("12345")
                .closeData()
                .reply("226 Done.\r\n");
        });
        qint64 sizeAtStart = -1;
        client->OnTransactionStart = [&](QObject*) { sizeAtStart = client->TransferSize; };
        client->Connect();
        client->Download(QStringLiteral("x"), local("x"));
        QCOMPARE(sizeAtStart, 0);
        QCOMPARE(client->TransferSize, 5);
    }

    void refusedPortOrRetrCreatesNoFile() {
        server->files.insert(QStringLiteral("there"), "data");
        client->Connect();
        server->on(QStringLiteral("PORT"), FtpScript().reply("500 PORT not allowed.\r\n"));
        QCOMPARE(errorOf([&] { client->Download(QStringLiteral("there"), local("p")); }),
                 QStringLiteral("500 PORT not allowed.\r\n"));
        QVERIFY(!server->commands().contains(QStringLiteral("RETR there")));
        QVERIFY(!QFile::exists(local("p")));

        server->restoreDefault(QStringLiteral("PORT"));
        QCOMPARE(errorOf([&] { client->Download(QStringLiteral("missing"), local("m")); }),
                 QStringLiteral("550 missing: No such file or directory.\r\n"));
        QVERIFY(!QFile::exists(local("m")));
        QVERIFY(client->DataConnection() == nullptr);

        // The session goes on.
        client->Download(QStringLiteral("there"), local("t"));
        QCOMPARE(ReadAll(local("t")), QByteArray("data"));
    }

    void failureHandlerAndUnsupportedFunction() {
        client->Connect();
        server->on(QStringLiteral("SITE"), FtpScript().reply("502 Not implemented.\r\n"));
        QList<int> unsupported, failed, succeeded;
        client->OnUnSupportedFunction = [&](TCmdType t) { unsupported << t; };
        client->OnSuccess = [&](TCmdType t) { succeeded << t; };
        QCOMPARE(errorOf([&] { client->SendCommand(QStringLiteral("SITE x")); }),
                 QStringLiteral("502 Not implemented.\r\n"));
        client->OnFailure = [&](bool& handled, TCmdType t) {
            failed << t;
            handled = true;
        };
        client->SendCommand(QStringLiteral("SITE y"));
        client->SendCommand(QStringLiteral("PWD"));
        client->SendCommand(QStringLiteral("PWD "));
        client->SendCommand(QStringLiteral("cwd x"));
        client->SendCommand(QStringLiteral("MKD d"));
        QCOMPARE(unsupported, QList<int>({cmdOther, cmdOther}));
        QCOMPARE(failed, QList<int>({cmdOther}));
        QCOMPARE(succeeded, QList<int>({cmdPrintDir, cmdOther, cmdOther, cmdMakeDir}));
    }

    void transferTypes() {
        client->Connect();
        for (int code : {0, 1, 2, 3, 4})
            client->SetTransferType(code);
        QCOMPARE(server->commands().mid(2), QStringList({"TYPE A", "TYPE I", "TYPE L 8"}));
    }

    void threeHundredRepliesPerOperation() {
        server->on(QStringLiteral("TYPE"), FtpScript().reply("350 Odd but fine.\r\n"));
        server->on(QStringLiteral("QUIT"), FtpScript().reply("500 No quitting.\r\n"));
        client->Connect();
        client->SetTransferType(2);
        QCOMPARE(errorOf([&] { client->Disconnect(); }), QStringLiteral("500 No quitting.\r\n"));
        QVERIFY(!client->IsConnected);
    }

    void refusedLoginClosesConnection() {
        server->on(QStringLiteral("PASS"), FtpScript().reply("530 Login incorrect.\r\n"));
        int failedCalls = 0;
        client->OnConnectionFailed = [&](QObject*) { ++failedCalls; };
        QCOMPARE(errorOf([&] { client->Connect(); }), QStringLiteral("530 Login incorrect.\r\n"));
        QCOMPARE(failedCalls, 1);
        QVERIFY(!client->IsConnected);
        QVERIFY(statuses.contains(QStringLiteral("Disconnected")));
        // A fresh socket: the next login works.
        server->restoreDefault(QStringLiteral("PASS"));
        client->Connect();
        QVERIFY(client->IsConnected);
    }

    void abortDuringTransferRaisesWithReply() {
        QFETCH(QByteArray, abortLine);
        server->on(QStringLiteral("RETR"), [abortLine](const QString&) {
            // The server gives up halfway and never closes the data connection itself.
            return FtpScript()
                .reply("150 Opening BINARY mode data connection (100000 bytes).\r\n")
                .connectData()
                .sendData(QByteArray(40000, 'x'))
                .pause(50)
                .replySplit(abortLine, 5, 2);
        });
        client->Connect();
        QCOMPARE(errorOf([&] { client->Download(QStringLiteral("f"), local("f")); }),
                 QString::fromLatin1(abortLine));
        QVERIFY(client->DataConnection() == nullptr);
        QVERIFY(!client->CancelRequested);
    }
    void abortDuringTransferRaisesWithReply_data() {
        QTest::addColumn<QByteArray>("abortLine");
        QTest::newRow("421") << QByteArray("421 Timeout, closing control connection.\r\n");
        QTest::newRow("426") << QByteArray("426 Connection closed; transfer aborted.\r\n");
    }

    void errorCompletionReplies() {
        QFETCH(QByteArray, completion);
        int calls = 0;
        server->on(QStringLiteral("RETR"), [&](const QString&) {
            if (calls++ > 0)
                return server->serveFile(QStringLiteral("ok"));
            return FtpScript()
                .reply("150 Opening BINARY mode data connection (6 bytes).\r\n")
                .connectData()
                .sendData("abcdef")
                .closeData()
                .reply(completion);
        });
        server->files.insert(QStringLiteral("ok"), "fine");
        bool succeeded = false;
        client->OnSuccess = [&](TCmdType) { succeeded = true; };
        client->Connect();
        QCOMPARE(errorOf([&] { client->Download(QStringLiteral("f"), local("f")); }),
                 QString::fromLatin1(completion));
        QVERIFY(!succeeded);
        // The control connection is in step again.
        client->Download(QStringLiteral("ok"), local("ok"));
        QCOMPARE(ReadAll(local("ok")), QByteArray("fine"));
        QVERIFY(succeeded);
    }
    void errorCompletionReplies_data() {
        QTest::addColumn<QByteArray>("completion");
        QTest::newRow("426") << QByteArray("426 Connection closed; transfer aborted.\r\n");
        QTest::newRow("451") << QByteArray("451 Local error in processing.\r\n");
        QTest::newRow("550") << QByteArray("550 Read error.\r\n");
    }

    // The size check trusts only "(N bytes)" in an image transfer; a good file is never refused.
    // A size known beforehand overrides the server's statement, as the bound and as the check.
    void announcedSizeCheck() {
        QFETCH(int, type);
        QFETCH(QByteArray, preliminary);
        QFETCH(int, sent);
        QFETCH(QString, error);
        QFETCH(qint64, known);
        server->on(QStringLiteral("RETR"), [&](const QString&) {
            return FtpScript()
                .reply(preliminary)
                .connectData()
                .sendData(QByteArray(sent, 'y'))
                .closeData()
                .reply("226 Transfer complete.\r\n");
        });
        client->Connect();
        client->SetTransferType(type);
        TCaptureTarget target;
        target.Limit = known;
        QCOMPARE(errorOf([&] { client->Download(QStringLiteral("f"), local("f"), target); }),
                 error);
        const qint64 kept = known >= 0 ? std::min<qint64>(sent, known) : sent;
        QVERIFY(QFileInfo(local("f")).size() <= kept);
        if (sent <= kept) {
            QCOMPARE(client->TransferSize, sent);
            QCOMPARE(QFileInfo(local("f")).size(), sent);
        }
    }
    void announcedSizeCheck_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("preliminary");
        QTest::addColumn<int>("sent");
        QTest::addColumn<QString>("error");
        QTest::addColumn<qint64>("known");
        QTest::newRow("short image file")
            << 2 << QByteArray("150 Opening BINARY mode data connection for f (1000 bytes).\r\n")
            << 600 << QStringLiteral("Received 600 of 1000 announced bytes") << qint64(-1);
        QTest::newRow("known size, server states and sends more")
            << 2 << QByteArray("150 Opening BINARY mode (400000 bytes).\r\n") << 400000
            << QStringLiteral("Received more than 1000 bytes") << qint64(1000);
        QTest::newRow("known size, server sends less")
            << 2 << QByteArray("150 Opening BINARY mode (600 bytes).\r\n") << 600
            << QStringLiteral("Received 600 bytes; the file has 1000") << qint64(1000);
        QTest::newRow("known size, server states another")
            << 2 << QByteArray("150 Opening BINARY mode (5 bytes).\r\n") << 1000 << QString()
            << qint64(1000);
        QTest::newRow("vsftpd, folder named ByteTools")
            << 2
            << QByteArray("150 Opening BINARY mode data connection for ByteTools/prog.exe "
                          "(3000000 bytes).\r\n")
            << 3000000 << QString() << qint64(-1);
        QTest::newRow("ASCII changes line ends")
            << 1 << QByteArray("150 Opening ASCII mode data connection for f (1000 bytes).\r\n")
            << 1040 << QString() << qint64(-1);
        QTest::newRow("size not in parentheses")
            << 2 << QByteArray("150 Here comes 1000 bytes of f.\r\n") << 600 << QString()
            << qint64(-1);
    }

    void serverGoneMidTransferIsAnError() {
        server->on(QStringLiteral("RETR"), [](const QString&) {
            return FtpScript()
                .reply("150 Opening data connection.\r\n")
                .connectData()
                .sendData(QByteArray(500, 'z'))
                .closeData()
                .reply("22")
                .closeControl();
        });
        bool succeeded = false;
        client->OnSuccess = [&](TCmdType) { succeeded = true; };
        client->Connect();
        QVERIFY(!errorOf([&] { client->Download(QStringLiteral("f"), local("f")); }).isEmpty());
        QVERIFY(!succeeded);
        QVERIFY(!client->IsConnected);
    }

    void busyGreetingIsTheError() {
        server->setGreeting(FtpScript().reply("421 Too many users, try later.\r\n").closeControl());
        QCOMPARE(errorOf([&] { client->Connect(); }),
                 QStringLiteral("421 Too many users, try later.\r\n"));
        QVERIFY(!client->IsConnected);
        QVERIFY(!client->CancelRequested);
    }

    void intruderOnDataPortIsRefused() {
        server->on(QStringLiteral("RETR"), [](const QString&) {
            return FtpScript()
                .reply("150 Opening BINARY mode data connection (4 bytes).\r\n")
                .connectData(QHostAddress(QStringLiteral("127.0.0.2")))
                .sendData("EVIL")
                .pause(20)
                .connectData()
                .sendData("good")
                .closeData()
                .reply("226 Transfer complete.\r\n");
        });
        client->Connect();
        client->Download(QStringLiteral("f"), local("f"));
        QCOMPARE(ReadAll(local("f")), QByteArray("good"));
        QCOMPARE(server->dataConnections(), 2);
    }

    void serverOnAnotherLoopbackAddress() {
        // The data connection comes from the server's own address, which is the control
        // peer's, so it is taken although it is not the client's.
        ScriptedFtpServer other(QHostAddress(QStringLiteral("127.0.0.2")));
        other.files.insert(QStringLiteral("b.exe"), "from host B");
        client->Host = other.host();
        client->Port = other.port();
        client->Connect();
        client->Download(QStringLiteral("b.exe"), local("b.exe"));
        client->Disconnect();
        QCOMPARE(ReadAll(local("b.exe")), QByteArray("from host B"));
        QCOMPARE(other.sessions(), 1);
        QCOMPARE(server->sessions(), 0);
    }

    void silentServerHitsIdleBound() {
        client->IdleTimeOut = 300;
        server->setGreeting(FtpScript());
        QCOMPARE(errorOf([&] { client->Connect(); }), QStringLiteral("Connection Timed out"));
        QVERIFY(!client->IsConnected);

        server->setGreeting(FtpScript().reply("220 ok\r\n"));
        server->on(QStringLiteral("RETR"), FtpScript().reply("150 Here it comes (3 bytes).\r\n"));
        client->Connect();
        QCOMPARE(errorOf([&] { client->Download(QStringLiteral("f"), local("f")); }),
                 QStringLiteral("Connection Timed out"));
        QVERIFY(client->DataConnection() == nullptr);
    }

    void lineBreakInNamesIsRefusedBeforeSending() {
        client->Connect();
        const QStringList before = server->commands();
        for (const QString& name : {QStringLiteral("a\r\nDELE b"), QStringLiteral("a\nb"),
                                    QString(QStringLiteral("a")) + QChar(0) + "b"}) {
            QVERIFY(!errorOf([&] { client->Download(name, local("n")); }).isEmpty());
            QVERIFY(!errorOf([&] { client->SendCommand("CWD " + name); }).isEmpty());
        }
        QVERIFY(!QFile::exists(local("n")));
        client->SendCommand(QStringLiteral("NOOP"));
        QCOMPARE(server->commands(), before + QStringList({"NOOP"}));
    }

    void localFileThatCannotBeCreated() {
        server->files.insert(QStringLiteral("f"), "content");
        client->Connect();
        const QString target = local("no/such/folder/f");
        QCOMPARE(errorOf([&] { client->Download(QStringLiteral("f"), target); }),
                 "Cannot create file " + target);
        client->Download(QStringLiteral("f"), local("f"));
        QCOMPARE(ReadAll(local("f")), QByteArray("content"));
    }

    void notConnected() {
        QCOMPARE(errorOf([&] { client->Download(QStringLiteral("f"), local("f")); }),
                 QStringLiteral("Not Connected"));
        QCOMPARE(errorOf([&] { client->SendCommand(QStringLiteral("PWD")); }),
                 QStringLiteral("Not Connected"));
        QCOMPARE(server->sessions(), 0);
    }
};

QTEST_GUILESS_MAIN(FtpClientTest)
#include "FtpClientTest.moc"
