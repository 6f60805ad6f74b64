#pragma once

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

class QTcpServer;

namespace ftptest {

// Produces the bytes of a large file piece by piece, so a test never holds it whole.
using Generator = std::function<QByteArray(qint64 offset, qint64 length)>;

// A repeatable byte pattern that is not periodic at any small stride and holds CR, LF and 0.
QByteArray PatternBytes(qint64 offset, qint64 length);

// What the server does in answer to one command: a list of steps run in order. A step
// that waits (a pause, a data connection being made, data being written out) holds the
// following steps back; commands that arrive meanwhile are answered afterwards.
class FtpScript {
public:
    // Bytes on the control connection exactly as given (CR LF, several lines, half a line).
    FtpScript& reply(const QByteArray& bytes);
    // The same bytes in pieces of `piece` bytes, `delayMs` apart.
    FtpScript& replySplit(const QByteArray& bytes, int piece, int delayMs = 1);
    FtpScript& pause(int ms);
    // The server closes the control connection (also in the middle of a line).
    FtpScript& closeControl();
    // Connects to the address of the last PORT command from the local address `from`;
    // a null address means the server's own listening address.
    FtpScript& connectData(const QHostAddress& from = QHostAddress());
    // Writes bytes on the newest data connection and waits until they are handed to the system.
    FtpScript& sendData(const QByteArray& bytes);
    FtpScript& sendGenerated(qint64 size, Generator generator);
    // Closes the newest data connection after its bytes are out and waits until it is closed.
    FtpScript& closeData();

    struct Step {
        enum Kind { Reply, Pause, CloseControl, ConnectData, SendData, SendGenerated, CloseData };
        Kind kind = Reply;
        QByteArray bytes;
        int delayMs = 0;
        QHostAddress from;
        qint64 size = 0;
        Generator generator;
    };
    const QList<Step>& steps() const { return m_steps; }

private:
    Step& add(Step::Kind kind);

    QList<Step> m_steps;
};

// An FTP server in the test's own event loop. It answers each command through a handler
// chosen by the command word (upper case); the defaults below log anyone in, accept PORT,
// TYPE, QUIT and the directory commands, and serve RETR from `files`, generated files or a
// folder. Every command line is recorded without its CR LF, in the order received.
class ScriptedFtpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<FtpScript(const QString& argument)>;

    explicit ScriptedFtpServer(const QHostAddress& address = QHostAddress::LocalHost,
                               QObject* parent = nullptr);
    ~ScriptedFtpServer() override;

    QHostAddress address() const { return m_address; }
    QString host() const { return m_address.toString(); }
    quint16 port() const;

    // What a new control connection gets first (default: one 220 line).
    void setGreeting(const FtpScript& script) { m_greeting = script; }
    // Replaces the answer to a command word; the handler gets the text after the first blank.
    void on(const QString& word, Handler handler);
    void on(const QString& word, const FtpScript& script);
    // Puts the default answer back.
    void restoreDefault(const QString& word);

    // Files served by the default RETR, by the exact name the client sends.
    QMap<QString, QByteArray> files;
    // Looked up after `files`: name -> (size, generator).
    QMap<QString, QPair<qint64, Generator>> generatedFiles;
    // Looked up last: a folder on disk (empty: none). Names with ".." are not served.
    QString folder;

    // The default answer to RETR for `name`: 150 with the size, data, close, 226; or 550.
    FtpScript serveFile(const QString& name) const;

    QStringList commands() const { return m_commands; }
    // Number of control connections accepted so far.
    int sessions() const { return m_sessions; }
    // Data connections made so far, and those that ended before the server closed them.
    int dataConnections() const { return m_dataConnections; }
    // Number of data connections that could not be made.
    int dataConnectFailures() const { return m_dataConnectFailures; }
    // The host and port of the last PORT command.
    QHostAddress portAddress() const { return m_portAddress; }
    quint16 portPort() const { return m_portPort; }
    // True while any control connection is open.
    bool hasOpenSession() const;

signals:
    void commandReceived(const QString& line);

private:
    class Session;
    friend class Session;

    void acceptSession();
    FtpScript answer(const QString& line);

    QHostAddress m_address;
    QTcpServer* m_server;
    FtpScript m_greeting;
    QMap<QString, Handler> m_handlers;
    QStringList m_commands;
    int m_sessions = 0;
    int m_dataConnections = 0;
    int m_dataConnectFailures = 0;
    QHostAddress m_portAddress;
    quint16 m_portPort = 0;
    QList<Session*> m_open;
};

} // namespace ftptest
