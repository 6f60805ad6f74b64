#include "net/AsyncSock.h"
#include "net/SockErrors.h"

#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray pattern(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + (i >> 11)) & 0xff);
    return bytes;
}

// The message of the error of type E that f raises; a marker text when it raises none.
template <typename E, typename F> QString thrown(F f) {
    try {
        f();
    } catch (const E& error) {
        return error.message();
    }
    return QStringLiteral("<no error>");
}

// The far end of a connection: a server on 127.0.0.1 in the same event loop, keeping what it
// receives.
class Peer : public QObject {
public:
    Peer() {
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* connection = server.nextPendingConnection();
            socket = connection;
            connection->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(connection, &QTcpSocket::readyRead, this, [this, connection] {
                if (readsItself && connection == socket)
                    received += connection->readAll();
            });
        });
    }
    quint16 port() const { return server.serverPort(); }

    QTcpServer server;
    QTcpSocket* socket = nullptr;
    QByteArray received;
    bool readsItself = true;
};

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Records whether the time-out timer aborted the component.
class AbortCounting : public TAsyncSocket {
public:
    void Abort() override { ++aborts; }
    int aborts = 0;
};

} // namespace

class AsyncSockTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Peer> peer;
    std::unique_ptr<TAsyncSocket> sock;

    void connectToPeer() {
        sock->Host = QStringLiteral("127.0.0.1");
        sock->Port = peer->port();
        sock->Connect();
        QTRY_VERIFY(peer->socket != nullptr);
    }

private slots:
    void init() {
        peer = std::make_unique<Peer>();
        sock = std::make_unique<TAsyncSocket>();
        sock->IdleTimeOut = 5000;
    }

    void cleanup() {
        // Handlers of a test refer to its locals; the destruction reports too.
        sock->OnStatus = nullptr;
        sock.reset();
        peer.reset();
    }

    void errorTableAndStartUpFacts() {
        QCOMPARE(SockErrors::text(0), QString());
        QCOMPARE(SockErrors::text(10061), QStringLiteral("10061:Connection refused"));
        QCOMPARE(SockErrors::text(10047),
                 QStringLiteral("10047:Address family not supported by protocol family"));
        QCOMPARE(SockErrors::text(11001), QStringLiteral("11001:Host not found"));
        QCOMPARE(SockErrors::text(10000), QStringLiteral("Unknown Error No. 10000"));
        QCOMPARE(SockErrors::codeFromErrno(ECONNREFUSED), 10061);
        QCOMPARE(SockErrors::codeFromErrno(ETIMEDOUT), 10060);
        QCOMPARE(SockErrors::codeFromErrno(EADDRINUSE), 10048);
        QCOMPARE(SockErrors::codeFromErrno(EAGAIN), 10035);
        QCOMPARE(SockErrors::codeFromErrno(EINPROGRESS), 10036);

        // Only the first component of the process records the start-up; init() made it.
        QCOMPARE(TAsyncSocket::ComponentCount(), 1);
        QCOMPARE(sock->WinsockInfo.size(), 6);
        QVERIFY(sock->WinsockInfo.at(0).startsWith(QStringLiteral("Version= ")));
        QVERIFY(sock->WinsockInfo.at(5).startsWith(QStringLiteral("Max Udp pack size= ")));
        TAsyncSocket second;
        QCOMPARE(TAsyncSocket::ComponentCount(), 2);
        QVERIFY(second.WinsockInfo.isEmpty());
    }

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
    }

    void refusedConnection() {
        int failures = 0;
        sock->OnConnectionFailed = [&](QObject*) { ++failures; };
        sock->Host = QStringLiteral("127.0.0.1");
        sock->Port = freePort();
        QCOMPARE(thrown<ESockError>([&] { sock->Connect(); }), QStringLiteral("Connection Failed"));
        QCOMPARE(failures, 1);
        QVERIFY(!sock->IsConnected);
        // The same component connects once there is someone to talk to.
        connectToPeer();
        QVERIFY(sock->IsConnected);
    }

    // Set-up is bounded by TimeOut when set, and by the idle bound when TimeOut is 0.
    void connectionSetUpTimesOut_data() {
        QTest::addColumn<int>("timeOut");
        QTest::addColumn<int>("idleTimeOut");
        QTest::addColumn<int>("aborts");
        QTest::newRow("TimeOut") << 200 << 60000 << 1;
        QTest::newRow("TimeOut 0, idle bound") << 0 << 200 << 0;
    }
    void connectionSetUpTimesOut() {
        QFETCH(int, timeOut);
        QFETCH(int, idleTimeOut);
        QFETCH(int, aborts);
        // A listener whose queue is full drops further connection requests: set-up hangs.
        const int full = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        QCOMPARE(::listen(full, 0), 0);
        socklen_t length = sizeof address;
        ::getsockname(full, reinterpret_cast<sockaddr*>(&address), &length);
        QList<int> fillers;
        for (int i = 0; i < 3; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fillers.append(filler);
        }
        QTest::qWait(50);

        AbortCounting timed;
        int failures = 0;
        timed.OnConnectionFailed = [&](QObject*) { ++failures; };
        timed.Host = QStringLiteral("127.0.0.1");
        timed.Port = ntohs(address.sin_port);
        timed.TimeOut = timeOut;
        timed.IdleTimeOut = idleTimeOut;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(thrown<ESockError>([&] { timed.Connect(); }),
                 QStringLiteral("Connection Timed out"));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(failures, 1);
        QVERIFY(timed.TimedOut);
        QCOMPARE(timed.aborts, aborts);
        for (int filler : fillers)
            ::close(filler);
        ::close(full);

        // The attempt that never finished does not block the next one.
        timed.Port = peer->port();
        timed.Connect();
        QVERIFY(timed.IsConnected);
    }

    void unknownHost() {
        sock->Host = QStringLiteral("bad..host");
        sock->Port = peer->port();
        QCOMPARE(thrown<ESockError>([&] { sock->Connect(); }),
                 QStringLiteral("Null Remote Address"));

        // The handler may ask for one more try, and only one.
        int asked = 0;
        sock->OnInvalidHost = [&](bool& handled) {
            ++asked;
            handled = true;
        };
        QCOMPARE(thrown<ESockError>([&] { sock->Connect(); }),
                 QStringLiteral("Null Remote Address"));
        QCOMPARE(asked, 1);
        QCOMPARE(sock->LastSocketError, quint16(11001));

        // The second try resolves anew: a handler that mends the host gets connected.
        int resolved = 0;
        sock->OnHostResolved = [&](QObject*) { ++resolved; };
        sock->OnInvalidHost = [&](bool& handled) {
            sock->Host = QStringLiteral("localhost");
            handled = true;
        };
        sock->Connect();
        QVERIFY(sock->IsConnected);
        QCOMPARE(resolved, 1);
        sock->Disconnect();

        // A dotted address needs no look-up.
        sock->Host = QStringLiteral("127.0.0.1");
        sock->Connect();
        QCOMPARE(resolved, 1);
    }

    void lookupTimesOut() {
        AbortCounting timed;
        timed.Host = QStringLiteral("localhost");
        timed.Port = peer->port();
        timed.TimeOut = 5;
        timed.ReportLevel = 8;
        // The timer is due before the look-up even starts.
        timed.OnStatus = [](QObject*, const QString& text) {
            if (text == QLatin1String("Timer On"))
                QThread::msleep(30);
        };
        QCOMPARE(thrown<ESockError>([&] { timed.Connect(); }),
                 QStringLiteral("Host Lookup Timed Out"));
        QVERIFY(timed.TimedOut);
        QCOMPARE(timed.aborts, 1);
        QVERIFY(!timed.IsConnected);
    }

    void cancelDuringReadLn() {
        connectToPeer();
        QTimer::singleShot(20, this, [&] { sock->Cancel(); });
        const QString text = thrown<EAbortError>([&] { sock->ReadLn(); });
        QCOMPARE(text, QStringLiteral("Socket readln aborted"));
        QVERIFY(sock->CancelRequested);
        // The cancel still stands: the next send sends nothing.
        sock->SendBuffer("QUIT\r\n", 0);
        QTest::qWait(30);
        QCOMPARE(peer->received, QByteArray());
        QCOMPARE(sock->SentBytes, qint64(0));

        // A canceled Read clears the request; reading works again afterwards.
        sock->CancelRequested = false;
        QTimer::singleShot(20, this, [&] { sock->Cancel(); });
        QCOMPARE(thrown<EAbortError>([&] { sock->Read(4); }),
                 QStringLiteral("Socket send aborted"));
        QVERIFY(!sock->CancelRequested);
        peer->socket->write("next\n");
        QCOMPARE(sock->ReadLn(), QStringLiteral("next\n"));
    }

    void listenAcceptAndAddressTexts() {
        connectToPeer();
        QCOMPARE(sock->LocalAddressText(), QStringLiteral("127,0,0,1"));
        const quint16 own = peer->socket->peerPort();
        QCOMPARE(sock->LocalPortText(), QStringLiteral(",%1,%2").arg(own >> 8).arg(own & 0xff));

        TAsyncSocket data;
        data.BindAddress = QStringLiteral("127.0.0.1");
        data.Listen(true);
        const QStringList parts = data.LocalPortText().split(QLatin1Char(','));
        const quint16 port = quint16(parts.at(1).toInt() * 256 + parts.at(2).toInt());
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        const TAsyncSocket::TSocket accepted = data.AcceptConnection();
        QVERIFY(data.AsyncDone);
        data.ReplaceSocket(accepted);
        QVERIFY(data.IsConnected);
        QVERIFY(client.waitForConnected(2000));
        client.write("over the data line\r\n");
        QCOMPARE(data.ReadLn(), QStringLiteral("over the data line\r\n"));
        data.Writeln(QStringLiteral("back"));
        QByteArray back;
        QTRY_COMPARE(back += client.readAll(), QByteArray("back\r\n"));

        // Listening for the accept as a socket event works as well.
        TAsyncSocket plain;
        plain.BindAddress = QStringLiteral("127.0.0.1");
        plain.Listen(false);
        const QStringList plainParts = plain.LocalPortText().split(QLatin1Char(','));
        QTcpSocket other;
        other.connectToHost(QHostAddress::LocalHost,
                            quint16(plainParts.at(1).toInt() * 256 + plainParts.at(2).toInt()));
        const TAsyncSocket::TSocket second = plain.AcceptConnection();
        QVERIFY(second >= 0);
        ::close(second);
    }

    void portInUseAndCanceledAccept() {
        int reported = 0;
        sock->OnError = [&](QObject*, quint16 code, const QString& text) {
            QCOMPARE(code, quint16(10048));
            QCOMPARE(text, QStringLiteral("10048:Address already in use"));
            ++reported;
        };
        sock->BindAddress = QStringLiteral("127.0.0.1");
        sock->Port = peer->port();
        QCOMPARE(thrown<ESockError>([&] { sock->Listen(true); }),
                 QStringLiteral("10048:Address already in use"));
        QCOMPARE(reported, 1);

        TAsyncSocket data;
        data.BindAddress = QStringLiteral("127.0.0.1");
        data.Listen(true);
        QTimer::singleShot(20, this, [&] { data.Cancel(); });
        QCOMPARE(thrown<ESockError>([&] { data.AcceptConnection(); }),
                 QStringLiteral("Accepting Canceled"));
    }

    void idleBound() {
        connectToPeer();
        sock->IdleTimeOut = 200;
        // A silent peer ends the wait.
        QCOMPARE(thrown<ESockError>([&] { sock->ReadLn(); }),
                 QStringLiteral("Connection Timed out"));

        // A slow but steady one does not, though the whole line takes longer than the bound.
        const QByteArray line = "slow but steady\n";
        int at = 0;
        QTimer drip;
        connect(&drip, &QTimer::timeout, this, [&] {
            if (at < line.size())
                peer->socket->write(line.mid(at++, 1));
        });
        drip.start(40);
        QCOMPARE(sock->ReadLn(), QString::fromLatin1(line));
        // But however steady, a line has one total bound.
        at = 0;
        sock->TotalTimeOut = 300;
        QCOMPARE(thrown<ESockError>([&] { sock->ReadLn(); }),
                 QStringLiteral("Connection Timed out"));
        drip.stop();

        TAsyncSocket data;
        data.BindAddress = QStringLiteral("127.0.0.1");
        data.IdleTimeOut = 200;
        data.Listen(true);
        QCOMPARE(thrown<ESockError>([&] { data.AcceptConnection(); }),
                 QStringLiteral("Connection Timed out"));
    }

    void closesAndLineLimit() {
        int disconnects = 0;
        sock->OnDisconnect = [&](QObject*) { ++disconnects; };
        // A socket that never connected still reports its close and gets a fresh one.
        sock->RequestCloseSocket();
        QCOMPARE(disconnects, 1);
        QVERIFY(sock->Socket() != TAsyncSocket::NoSocket);
        connectToPeer();

        peer->socket->write(QByteArray(TAsyncSocket::MaxLineLength + 10, 'x'));
        QCOMPARE(thrown<ESockError>([&] { sock->ReadLn(); }),
                 QStringLiteral("10040:Message too long"));
        sock->ClearReceiveStream();

        // The peer's last line is still read after it closed; then the connection is gone.
        peer->socket->write("221 bye\r\n");
        peer->socket->disconnectFromHost();
        QCOMPARE(sock->ReadLn(), QStringLiteral("221 bye\r\n"));
        QTRY_VERIFY(!sock->IsConnected);
        QCOMPARE(disconnects, 2);
        QCOMPARE(thrown<ESockError>([&] { sock->ReadLn(); }),
                 QStringLiteral("10057:Socket is not connected"));
    }

    void checkConnected() {
        QCOMPARE(thrown<Exception>([&] { sock->CheckConnected(); }),
                 QStringLiteral("Not Connected"));
        int asked = 0;
        sock->OnConnectionRequired = [&](bool& handled) {
            ++asked;
            handled = false;
        };
        QCOMPARE(thrown<Exception>([&] { sock->CheckConnected(); }),
                 QStringLiteral("Not Connected"));
        sock->OnConnectionRequired = [&](bool& handled) {
            ++asked;
            connectToPeer();
            handled = true;
        };
        sock->CheckConnected();
        QCOMPARE(asked, 2);
        QVERIFY(sock->IsConnected);
    }

    void statusTextsByLevel() {
        QStringList texts;
        sock->OnStatus = [&](QObject*, const QString& text) { texts.append(text); };
        const auto session = [&](int level) {
            texts.clear();
            sock->ReportLevel = level;
            connectToPeer();
            peer->readsItself = false;
            QTcpSocket* connection = peer->socket;
            connect(connection, &QTcpSocket::readyRead, peer.get(), [connection] {
                if (connection->canReadLine()) {
                    connection->readLine();
                    connection->write("200 ok\r\n");
                }
            });
            sock->Transaction(QStringLiteral("NOOP"));
            sock->Disconnect();
            peer->socket = nullptr;
            peer->readsItself = true;
            return texts;
        };
        QCOMPARE(session(0), QStringList());
        QCOMPARE(session(1), QStringList({QStringLiteral("200 ok\r\n")}));
        QCOMPARE(session(4),
                 QStringList({QStringLiteral("Sending Buffer"), QStringLiteral("200 ok\r\n"),
                              QStringLiteral("Request Close Socket")}));
        const QStringList eight = session(8);
        for (const char* text :
             {"Connecting", "Resolve Host", "Timer On", "Timer Off", "Transaction", "Writeln",
              "Write", "ReadLn", "WriteFromStream", "ReadToStream", "Disconnecting"})
            QVERIFY2(eight.contains(QLatin1String(text)), text);
        QVERIFY(!eight.contains(QStringLiteral("Checking Error In Error Manager")));
        QVERIFY(session(16).contains(QStringLiteral("Checking Error In Error Manager")));
        QCOMPARE(sock->StatusText, texts.last());
    }

    void threadTimer() {
        TThreadTimer timer;
        QVERIFY(timer.Enabled());
        QCOMPARE(timer.Interval(), 1000u);
        int ticks = 0;
        timer.SetInterval(5);
        timer.SetOnTimer([&](QObject*) { ++ticks; });
        QTRY_VERIFY(ticks >= 2);
        timer.SetEnabled(false);
        const int stopped = ticks;
        QTest::qWait(30);
        QCOMPARE(ticks, stopped);
    }
};

QTEST_GUILESS_MAIN(AsyncSockTest)
#include "AsyncSockTest.moc"
