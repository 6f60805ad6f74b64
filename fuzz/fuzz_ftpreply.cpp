#include "FuzzSupport.h"

#include "net/FtpClient.h"

#include <QTcpServer>
#include <QTcpSocket>

// A server that answers the login with the fuzzer's bytes and then hangs up: the client must
// end with a login or an error, without a crash, a hang or unbounded memory.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzDrive();
    static QTcpServer server;
    if (!server.isListening() && !server.listen(QHostAddress::LocalHost))
        std::abort();
    const QByteArray replies(reinterpret_cast<const char*>(data), qsizetype(size));
    QObject guard;
    QObject::connect(&server, &QTcpServer::newConnection, &guard, [&replies] {
        while (QTcpSocket* peer = server.nextPendingConnection()) {
            // Connected first: a close that completes at once emits the signal right away.
            QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
            peer->write(replies);
            peer->flush();
            peer->disconnectFromHost();
        }
    });

    TFtpClient ftp;
    ftp.Host = QStringLiteral("127.0.0.1");
    ftp.Port = server.serverPort();
    ftp.UserID = QStringLiteral("ftp");
    ftp.Password = QStringLiteral("fuzz@localhost");
    ftp.TimeOut = 2000;
    ftp.IdleTimeOut = 300;
    try {
        ftp.Connect();
        ftp.SetTransferType(FtpConst::TypeImage);
    } catch (const Exception&) {
    }
    return 0;
}
