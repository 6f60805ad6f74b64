#include "ScriptedFtpServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstring>
#include <utility>

namespace ftptest {

namespace {

// Keeps at most this much of a generated stream queued in the socket.
constexpr qint64 QueueLimit = 1 << 20;
constexpr qint64 GeneratePiece = 256 * 1024;

} // namespace

QByteArray PatternBytes(qint64 offset, qint64 length) {
    // Each 8-byte word is a mix of its index, so every byte value (CR, LF and 0 among them)
    // occurs and no small stride repeats; any piece can be made on its own.
    QByteArray out(length, Qt::Uninitialized);
    qint64 at = 0;
    while (at < length) {
        const quint64 word = static_cast<quint64>(offset + at) / 8;
        const int skip = static_cast<int>((offset + at) % 8);
        quint64 x = (word + 1) * 0x9E3779B97F4A7C15ull;
        x ^= x >> 31;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 27;
        const qint64 n = qMin<qint64>(8 - skip, length - at);
        std::memcpy(out.data() + at, reinterpret_cast<const char*>(&x) + skip, n);
        at += n;
    }
    return out;
}

FtpScript::Step& FtpScript::add(Step::Kind kind) {
    m_steps.append(Step());
    m_steps.last().kind = kind;
    return m_steps.last();
}

FtpScript& FtpScript::reply(const QByteArray& bytes) {
    add(Step::Reply).bytes = bytes;
    return *this;
}

FtpScript& FtpScript::replySplit(const QByteArray& bytes, int piece, int delayMs) {
    for (qsizetype at = 0; at < bytes.size(); at += piece) {
        if (at > 0)
            pause(delayMs);
        reply(bytes.mid(at, piece));
    }
    return *this;
}

FtpScript& FtpScript::pause(int ms) {
    add(Step::Pause).delayMs = ms;
    return *this;
}

FtpScript& FtpScript::closeControl() {
    add(Step::CloseControl);
    return *this;
}

FtpScript& FtpScript::connectData(const QHostAddress& from) {
    add(Step::ConnectData).from = from;
    return *this;
}

FtpScript& FtpScript::sendData(const QByteArray& bytes) {
    add(Step::SendData).bytes = bytes;
    return *this;
}

FtpScript& FtpScript::sendGenerated(qint64 size, Generator generator) {
    Step& step = add(Step::SendGenerated);
    step.size = size;
    step.generator = std::move(generator);
    return *this;
}

FtpScript& FtpScript::closeData() {
    add(Step::CloseData);
    return *this;
}

// One control connection: reads command lines, runs the script of each in turn.
class ScriptedFtpServer::Session : public QObject {
public:
    Session(ScriptedFtpServer* server, QTcpSocket* control)
        : QObject(server), m_server(server), m_control(control) {
        control->setParent(this);
        connect(control, &QTcpSocket::readyRead, this, &Session::readCommands);
        connect(control, &QTcpSocket::disconnected, this, &Session::end);
        connect(control, &QTcpSocket::bytesWritten, this, &Session::check);
        m_steps = server->m_greeting.steps();
        advance();
    }

    bool isOpen() const { return !m_ended; }

private:
    void readCommands() {
        m_input += m_control->readAll();
        qsizetype lf;
        while ((lf = m_input.indexOf('\n')) >= 0) {
            QByteArray line = m_input.left(lf);
            m_input.remove(0, lf + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            const QString text = QString::fromLatin1(line);
            m_server->m_commands.append(text);
            m_lines.append(text);
            emit m_server->commandReceived(text);
        }
        advance();
    }

    // Runs steps until one has to wait; then takes the next command line.
    void advance() {
        if (m_busy)
            return;
        m_busy = true;
        while (!m_ended && !m_waiting) {
            if (m_steps.isEmpty()) {
                if (m_lines.isEmpty())
                    break;
                m_steps = m_server->answer(m_lines.takeFirst()).steps();
                continue;
            }
            run(m_steps.takeFirst());
        }
        m_busy = false;
    }

    void run(const FtpScript::Step& step) {
        switch (step.kind) {
        case FtpScript::Step::Reply:
            if (m_control->state() == QAbstractSocket::ConnectedState)
                m_control->write(step.bytes);
            break;
        case FtpScript::Step::Pause: {
            m_paused = true;
            waitUntil([this] { return !m_paused; });
            QTimer::singleShot(step.delayMs, this, [this] {
                m_paused = false;
                check();
            });
            break;
        }
        case FtpScript::Step::CloseControl:
            m_lines.clear();
            m_steps.clear();
            m_control->disconnectFromHost();
            break;
        case FtpScript::Step::ConnectData:
            openData(step.from.isNull() ? m_server->m_address : step.from);
            break;
        case FtpScript::Step::SendData: {
            QTcpSocket* data = newestData();
            if (!data)
                break;
            data->write(step.bytes);
            waitUntil([data = QPointer<QTcpSocket>(data)] {
                return !data || data->bytesToWrite() == 0 ||
                       data->state() != QAbstractSocket::ConnectedState;
            });
            break;
        }
        case FtpScript::Step::SendGenerated: {
            QTcpSocket* data = newestData();
            if (!data)
                break;
            m_generator = step.generator;
            m_generateAt = 0;
            m_generateSize = step.size;
            m_generating = data;
            pump();
            waitUntil([this] {
                return !m_generating || m_generating->state() != QAbstractSocket::ConnectedState ||
                       (m_generateAt == m_generateSize && m_generating->bytesToWrite() == 0);
            });
            break;
        }
        case FtpScript::Step::CloseData: {
            QTcpSocket* data = newestData();
            if (!data)
                break;
            data->disconnectFromHost();
            waitUntil([data = QPointer<QTcpSocket>(data)] {
                return !data || data->state() == QAbstractSocket::UnconnectedState;
            });
            break;
        }
        }
    }

    void openData(const QHostAddress& from) {
        auto* data = new QTcpSocket(this);
        m_data.append(data);
        auto failed = std::make_shared<bool>(false);
        connect(data, &QTcpSocket::connected, this, &Session::check);
        connect(data, &QTcpSocket::disconnected, this, &Session::check);
        connect(data, &QTcpSocket::bytesWritten, this, &Session::pump);
        connect(data, &QTcpSocket::errorOccurred, this, [this, data, failed] {
            if (data->state() != QAbstractSocket::ConnectedState && !*failed &&
                m_connecting == data) {
                *failed = true;
                ++m_server->m_dataConnectFailures;
            }
            check();
        });
        data->bind(from, 0);
        m_connecting = data;
        waitUntil([this, data, failed] {
            if (*failed || data->state() == QAbstractSocket::ConnectedState) {
                m_connecting = nullptr;
                if (!*failed)
                    ++m_server->m_dataConnections;
                return true;
            }
            return false;
        });
        data->connectToHost(m_server->m_portAddress, m_server->m_portPort);
    }

    QTcpSocket* newestData() const { return m_data.isEmpty() ? nullptr : m_data.last(); }

    void pump() {
        if (m_generating) {
            while (m_generateAt < m_generateSize && m_generating->bytesToWrite() < QueueLimit &&
                   m_generating->state() == QAbstractSocket::ConnectedState) {
                const qint64 n = qMin(GeneratePiece, m_generateSize - m_generateAt);
                m_generating->write(m_generator(m_generateAt, n));
                m_generateAt += n;
            }
        }
        check();
    }

    // Holds the following steps back until done() holds; it may hold already, since a
    // socket can report a change within the call that started it.
    void waitUntil(std::function<bool()> done) {
        m_waiting = true;
        m_done = std::move(done);
        check();
    }

    void check() {
        if (m_waiting && m_done()) {
            m_waiting = false;
            m_done = nullptr;
            m_generating = nullptr;
            m_generator = nullptr;
            // Continue outside the signal that told us, so socket code is never re-entered.
            QTimer::singleShot(0, this, [this] { advance(); });
        }
    }

    void end() {
        m_ended = true;
        m_server->m_open.removeOne(this);
        deleteLater();
    }

    ScriptedFtpServer* m_server;
    QTcpSocket* m_control;
    QList<QTcpSocket*> m_data;
    QTcpSocket* m_connecting = nullptr;
    QByteArray m_input;
    QStringList m_lines;
    QList<FtpScript::Step> m_steps;
    std::function<bool()> m_done;
    bool m_waiting = false;
    bool m_busy = false;
    bool m_paused = false;
    bool m_ended = false;
    QPointer<QTcpSocket> m_generating;
    Generator m_generator;
    qint64 m_generateAt = 0;
    qint64 m_generateSize = 0;
};

ScriptedFtpServer::ScriptedFtpServer(const QHostAddress& address, QObject* parent)
    : QObject(parent), m_address(address), m_server(new QTcpServer(this)) {
    m_greeting.reply("220 Scripted FTP server ready\r\n");
    connect(m_server, &QTcpServer::newConnection, this, &ScriptedFtpServer::acceptSession);
    if (!m_server->listen(address, 0))
        qFatal("scripted FTP server cannot listen on %s: %s", qPrintable(address.toString()),
               qPrintable(m_server->errorString()));
}

// Sessions go first, while the list they leave on closing still exists.
ScriptedFtpServer::~ScriptedFtpServer() {
    qDeleteAll(std::exchange(m_open, {}));
}

quint16 ScriptedFtpServer::port() const {
    return m_server->serverPort();
}

bool ScriptedFtpServer::hasOpenSession() const {
    return !m_open.isEmpty();
}

void ScriptedFtpServer::on(const QString& word, Handler handler) {
    m_handlers.insert(word.toUpper(), std::move(handler));
}

void ScriptedFtpServer::on(const QString& word, const FtpScript& script) {
    on(word, [script](const QString&) { return script; });
}

void ScriptedFtpServer::restoreDefault(const QString& word) {
    m_handlers.remove(word.toUpper());
}

void ScriptedFtpServer::acceptSession() {
    while (QTcpSocket* control = m_server->nextPendingConnection()) {
        ++m_sessions;
        m_open.append(new Session(this, control));
    }
}

FtpScript ScriptedFtpServer::serveFile(const QString& name) const {
    FtpScript script;
    QString key = name;
    if (!files.contains(key) && !generatedFiles.contains(key) && key.startsWith(QLatin1Char('/')))
        key = key.mid(1);
    qint64 size = -1;
    Generator generator;
    if (files.contains(key)) {
        const QByteArray content = files.value(key);
        size = content.size();
        generator = [content](qint64 at, qint64 n) { return content.mid(at, n); };
    } else if (generatedFiles.contains(key)) {
        size = generatedFiles.value(key).first;
        generator = generatedFiles.value(key).second;
    } else if (!folder.isEmpty() && !key.split(QLatin1Char('/')).contains(QLatin1String(".."))) {
        auto file = std::make_shared<QFile>(QDir(folder).filePath(key));
        if (QFileInfo(file->fileName()).isFile() && file->open(QIODevice::ReadOnly)) {
            size = file->size();
            generator = [file](qint64 at, qint64 n) {
                file->seek(at);
                return file->read(n);
            };
        }
    }
    if (size < 0)
        return script.reply("550 " + name.toLatin1() + ": No such file or directory.\r\n");
    script.reply("150 Opening BINARY mode data connection for " + name.toLatin1() + " (" +
                 QByteArray::number(size) + " bytes).\r\n");
    script.connectData();
    if (size > 0)
        script.sendGenerated(size, generator);
    return script.closeData().reply("226 Transfer complete.\r\n");
}

FtpScript ScriptedFtpServer::answer(const QString& line) {
    const QString word = line.section(QLatin1Char(' '), 0, 0).toUpper();
    const QString argument = line.section(QLatin1Char(' '), 1);
    if (word == QLatin1String("PORT")) {
        const QStringList parts = argument.split(QLatin1Char(','));
        if (parts.size() == 6) {
            m_portAddress = QHostAddress(parts.mid(0, 4).join(QLatin1Char('.')));
            m_portPort = static_cast<quint16>(parts[4].toUInt() * 256 + parts[5].toUInt());
        }
    }
    if (m_handlers.contains(word))
        return m_handlers.value(word)(argument);

    FtpScript script;
    if (word == QLatin1String("USER"))
        return script.reply("331 Please specify the password.\r\n");
    if (word == QLatin1String("PASS"))
        return script.reply("230 Login successful.\r\n");
    if (word == QLatin1String("TYPE"))
        return script.reply("200 Type set to " + argument.toLatin1() + ".\r\n");
    if (word == QLatin1String("PORT"))
        return script.reply(m_portAddress.isNull() ? "501 Illegal PORT command.\r\n"
                                                   : "200 PORT command successful.\r\n");
    if (word == QLatin1String("RETR"))
        return serveFile(argument);
    if (word == QLatin1String("PWD"))
        return script.reply("257 \"/\" is the current directory\r\n");
    if (word == QLatin1String("CWD") || word == QLatin1String("DELE") ||
        word == QLatin1String("MKD") || word == QLatin1String("RMD"))
        return script.reply("250 Requested file action okay, completed.\r\n");
    if (word == QLatin1String("NOOP"))
        return script.reply("200 NOOP ok.\r\n");
    if (word == QLatin1String("QUIT"))
        return script.reply("221 Goodbye.\r\n").closeControl();
    return script.reply("500 Unknown command.\r\n");
}

} // namespace ftptest
