#include "SockPeer.h"

#include <QFileInfo>

// Moving bytes: lines, reads, sends and captures.
class AsyncSockTransferTest : public QObject, private SockFixture {
    Q_OBJECT

private slots:
    void init() { start(); }
    void cleanup() { stop(); }

    void linesBothWays() {
        int connects = 0;
        sock->OnConnect = [&](QObject* sender) {
            QCOMPARE(sender, sock.get());
            ++connects;
        };
        connectToPeer();
        QVERIFY(sock->IsConnected);
        QCOMPARE(connects, 1);
        QCOMPARE(thrown<ESockError>([&] { sock->Connect(); }), QStringLiteral("Already connected"));

        // Two lines in one segment: the first comes with its CR LF, the second stays.
        peer->socket->write("220 first\r\n221 second\r\n");
        QCOMPARE(sock->ReadLn(), QStringLiteral("220 first\r\n"));
        QCOMPARE(sock->ReceiveStreamSize(), qsizetype(12));
        QCOMPARE(sock->ReadLn(), QStringLiteral("221 second\r\n"));

        // One line over many segments.
        const QByteArray line = "230 a line that arrives in pieces\r\n";
        int at = 0;
        QTimer drip;
        connect(&drip, &QTimer::timeout, this, [&] {
            if (at < line.size())
                peer->socket->write(line.mid(at++, 1));
        });
        drip.start(1);
        QCOMPARE(sock->ReadLn(), QString::fromLatin1(line));
        drip.stop();

        sock->Writeln(QStringLiteral("USER ftp"));
        sock->Write(QString::fromLatin1("AB\0CD", 5));
        QTRY_COMPARE(peer->received, QByteArray("USER ftp\r\nAB"));
        QCOMPARE(sock->SentBytes, qint64(12));
    }

    void transactionReplyNumbers() {
        connectToPeer();
        const QList<QByteArray> replies = {"250 done\r\n", "99999 too big\r\n", "hello\r\n"};
        int next = 0;
        peer->readsItself = false;
        connect(peer->socket, &QTcpSocket::readyRead, this, [&] {
            if (peer->socket->canReadLine()) {
                peer->received += peer->socket->readLine();
                peer->socket->write(replies.at(next++));
            }
        });
        QCOMPARE(sock->Transaction(QStringLiteral("CWD x")), QStringLiteral("250 done\r\n"));
        QCOMPARE(sock->ReplyNumber, qint16(250));
        QCOMPARE(sock->LastReply, QStringLiteral("250 done\r\n"));
        sock->Transaction(QStringLiteral("SIZE y"));
        QCOMPARE(sock->ReplyNumber, qint16(0));
        sock->Transaction(QStringLiteral("NOOP"));
        QCOMPARE(sock->ReplyNumber, qint16(0));
        QCOMPARE(peer->received, QByteArray("CWD x\r\nSIZE y\r\nNOOP\r\n"));
    }

    void readCounts() {
        connectToPeer();
        QCOMPARE(sock->Read(0), QString());
        peer->socket->write("12345678");
        QCOMPARE(sock->Read(3), QStringLiteral("123"));
        QTRY_COMPARE(sock->ReceiveStreamSize(), qsizetype(5));
        QCOMPARE(sock->Read(0), QStringLiteral("45678"));
        QCOMPARE(sock->ReceiveStreamSize(), qsizetype(0));

        // Large amounts keep their order and content across many reads and compactions.
        const QByteArray big = pattern(5 * TAsyncSocket::ChunkSize + 7);
        peer->socket->write(big);
        QByteArray got;
        while (got.size() < big.size())
            got += sock->Read(int(std::min<qsizetype>(1000, big.size() - got.size()))).toLatin1();
        QCOMPARE(got, big);
    }

    void fullReadIsFollowedAtOnceByAnother() {
        connectToPeer();
        // The stream size at the start of every read pass.
        QList<qsizetype> readStarts;
        sock->ReportLevel = 8;
        sock->OnStatus = [&](QObject*, const QString& text) {
            if (text == QLatin1String("ReadToStream"))
                readStarts.append(sock->ReceiveStreamSize());
        };
        const QByteArray exact = pattern(TAsyncSocket::ChunkSize);
        peer->socket->write(exact);
        QTRY_COMPARE(sock->ReceiveStreamSize(), qsizetype(TAsyncSocket::ChunkSize));
        // Nothing more was sent, so only the read-again message can start this pass.
        QTRY_VERIFY(readStarts.contains(qsizetype(TAsyncSocket::ChunkSize)));
        QCOMPARE(sock->Read(TAsyncSocket::ChunkSize).toLatin1(), exact);
    }

    void slowReaderGetsEverything() {
        connectToPeer();
        const int small = 8192;
        ::setsockopt(sock->Socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        peer->readsItself = false;
        peer->socket->setReadBufferSize(small);
        peer->socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, small);
        QTimer slow;
        connect(&slow, &QTimer::timeout, this,
                [&] { peer->received += peer->socket->read(small); });
        slow.start(1);

        int writePasses = 0;
        sock->ReportLevel = 8;
        sock->OnStatus = [&](QObject*, const QString& text) {
            if (text == QLatin1String("WriteFromStream"))
                ++writePasses;
        };
        const QByteArray data = pattern(200 * 1000);
        sock->SendBuffer(data.constData(), int(data.size()));
        QCOMPARE(sock->SentBytes, qint64(data.size()));
        QVERIFY(sock->SendComplete);
        // More passes than full chunks: the system took partial sends and the queue moved on.
        QVERIFY(writePasses > data.size() / TAsyncSocket::ChunkSize + 1);
        QTRY_COMPARE(peer->received.size(), data.size());
        QCOMPARE(peer->received, data);
    }

    void captureFileWritesEveryByte() {
        QTemporaryDir dir;
        sock->BindAddress = QStringLiteral("127.0.0.1");
        sock->Listen(true);
        const QStringList portParts = sock->LocalPortText().split(QLatin1Char(','));
        QCOMPARE(portParts.size(), 3);
        const quint16 port = quint16(portParts.at(1).toInt() * 256 + portParts.at(2).toInt());

        // The sender is a plain blocking socket on its own thread: as fast as the loopback.
        const QByteArray data = pattern(32 * 1024 * 1024 + 5);
        quint16 senderPort = 0;
        std::thread sender([&] {
            const int out = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in target{};
            target.sin_family = AF_INET;
            target.sin_port = htons(port);
            target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(out, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
                sockaddr_in own{};
                socklen_t length = sizeof own;
                ::getsockname(out, reinterpret_cast<sockaddr*>(&own), &length);
                senderPort = ntohs(own.sin_port);
                for (qsizetype at = 0; at < data.size();) {
                    const ssize_t sent = ::send(out, data.constData() + at, data.size() - at, 0);
                    if (sent <= 0)
                        break;
                    at += sent;
                }
            }
            ::close(out);
        });
        auto joined = qScopeGuard([&] { sender.join(); });

        const TAsyncSocket::TSocket accepted = sock->AcceptConnection();
        QVERIFY(accepted >= 0);
        QCOMPARE(sock->RemoteAddressText(), QStringLiteral("127.0.0.1"));
        sock->ReplaceSocket(accepted);
        // Bytes that came before the capture began go first into the file.
        QTRY_VERIFY(sock->ReceiveStreamSize() > 0);

        int packets = 0;
        int disconnects = 0;
        sock->OnPacketRecvd = [&](QObject*) { ++packets; };
        sock->OnDisconnect = [&](QObject*) { ++disconnects; };
        const QString path = dir.filePath(QStringLiteral("capture.bin"));
        sock->CaptureFile(path);
        QCOMPARE(sock->ReceivedBytes, qint64(data.size()));
        QVERIFY(packets > 0);
        QCOMPARE(disconnects, 1);
        QVERIFY(!sock->Capturing);
        QVERIFY(!sock->IsConnected);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == data);
        joined.dismiss();
        sender.join();
        QCOMPARE(sock->RemotePort(), senderPort);
    }

    // A handler that waits on another component while a capture is reading fast: the capture
    // must go on reading inside that wait, or a sender that fills the connection before it
    // writes on the other one never gets there.
    void captureReadsOnWhileAHandlerWaitsElsewhere() {
        QTemporaryDir dir;
        TAsyncSocket other;
        other.IdleTimeOut = 3000;
        const auto listenOn = [](TAsyncSocket& s) {
            s.BindAddress = QStringLiteral("127.0.0.1");
            s.Listen(true);
            const QStringList parts = s.LocalPortText().split(QLatin1Char(','));
            return quint16(parts.at(1).toInt() * 256 + parts.at(2).toInt());
        };
        const quint16 bulkPort = listenOn(*sock);
        const quint16 linePort = listenOn(other);

        const QByteArray data = pattern(8 * 1024 * 1024 + 3);
        std::thread sender([&] {
            const auto connectTo = [](quint16 port) {
                const int out = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in target{};
                target.sin_family = AF_INET;
                target.sin_port = htons(port);
                target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                ::connect(out, reinterpret_cast<sockaddr*>(&target), sizeof target);
                return out;
            };
            const int bulk = connectTo(bulkPort);
            const int line = connectTo(linePort);
            for (qsizetype at = 0; at < data.size();) {
                const ssize_t sent = ::send(bulk, data.constData() + at, data.size() - at, 0);
                if (sent <= 0)
                    break;
                at += sent;
            }
            ::send(line, "done\r\n", 6, 0);
            ::close(bulk);
            ::close(line);
        });
        auto joined = qScopeGuard([&] { sender.join(); });
        sock->ReplaceSocket(sock->AcceptConnection());
        other.ReplaceSocket(other.AcceptConnection());

        QString line;
        QTimer::singleShot(0, this, [&] {
            try {
                line = other.ReadLn();
            } catch (const Exception& error) {
                line = error.message();
            }
        });
        const QString path = dir.filePath(QStringLiteral("bulk.bin"));
        sock->CaptureFile(path);
        QCOMPARE(line, QStringLiteral("done\r\n"));
        QCOMPARE(sock->ReceivedBytes, qint64(data.size()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == data);
    }

    void captureAfterThePeerAlreadyClosed() {
        QTemporaryDir dir;
        sock->BindAddress = QStringLiteral("127.0.0.1");
        sock->Listen(false);
        QTcpSocket sender;
        connect(&sender, &QTcpSocket::connected, this, [&] {
            sender.write("short file");
            sender.disconnectFromHost();
        });
        const QStringList parts = sock->LocalPortText().split(QLatin1Char(','));
        sender.connectToHost(QHostAddress::LocalHost,
                             quint16(parts.at(1).toInt() * 256 + parts.at(2).toInt()));
        sock->ReplaceSocket(sock->AcceptConnection());
        QTRY_VERIFY(!sock->IsConnected);
        const QString path = dir.filePath(QStringLiteral("short.bin"));
        sock->CaptureFile(path);
        QCOMPARE(sock->ReceivedBytes, qint64(10));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("short file"));

        QCOMPARE(thrown<Exception>([&] { sock->CaptureFile(dir.filePath("no/such/dir/f")); }),
                 QStringLiteral("Cannot create file ") + dir.filePath("no/such/dir/f"));

        // A failing CapturedBlock, or a disk that would keep less than the reserve, ends the
        // capture at once with its error, though the sender keeps the connection open; the
        // block is not written.
        for (const bool hookFails : {true, false}) {
            sock->Listen(false);
            QTcpSocket staying;
            connect(&staying, &QTcpSocket::connected, this,
                    [&] { staying.write(pattern(300000)); });
            const QStringList again = sock->LocalPortText().split(QLatin1Char(','));
            staying.connectToHost(QHostAddress::LocalHost,
                                  quint16(again.at(1).toInt() * 256 + again.at(2).toInt()));
            sock->ReplaceSocket(sock->AcceptConnection());
            TCaptureTarget target;
            if (hookFails)
                sock->CapturedBlock = [](const QByteArray&) {
                    throw Exception(QStringLiteral("hash failed"));
                };
            else
                target.DiskReserve = qint64(1) << 50;
            QElapsedTimer took;
            took.start();
            QCOMPARE(thrown<Exception>([&] { sock->CaptureFile(path, target); }),
                     hookFails ? QStringLiteral("hash failed")
                               : QStringLiteral("Stream write error: less than 1073741824 MiB "
                                                "would stay free"));
            QVERIFY(took.elapsed() < 2000);
            QVERIFY(!sock->Capturing);
            QCOMPARE(QFileInfo(path).size(), qint64(0));
            sock->CapturedBlock = nullptr;
            sock->RequestCloseSocket();
        }
    }
};

QTEST_GUILESS_MAIN(AsyncSockTransferTest)
#include "AsyncSockTransferTest.moc"
