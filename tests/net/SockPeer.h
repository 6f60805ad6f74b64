#pragma once

// What the socket layer's test programs share: a peer on 127.0.0.1 in the same event loop and a
// fresh component per test.

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

inline QByteArray pattern(qsizetype size) {
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

inline quint16 freePort() {
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

// A fresh peer and component per test; the test class calls start and stop from init and
// cleanup.
struct SockFixture {
    std::unique_ptr<Peer> peer;
    std::unique_ptr<TAsyncSocket> sock;

    void start() {
        peer = std::make_unique<Peer>();
        sock = std::make_unique<TAsyncSocket>();
        sock->IdleTimeOut = 5000;
    }

    void stop() {
        // Handlers of a test refer to its locals; the destruction reports too.
        sock->OnStatus = nullptr;
        sock.reset();
        peer.reset();
    }

    void connectToPeer() {
        sock->Host = QStringLiteral("127.0.0.1");
        sock->Port = peer->port();
        sock->Connect();
        QTRY_VERIFY(peer->socket != nullptr);
    }
};
