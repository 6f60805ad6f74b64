#include "SockPeer.h"

// Set-up, bounds, cancel and the reporting of the socket layer.
class AsyncSockTest : public QObject, private SockFixture {
    Q_OBJECT

private slots:
    void init() { start(); }
    void cleanup() { stop(); }

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
