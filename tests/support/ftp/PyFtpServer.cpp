#include "PyFtpServer.h"

#include <QDeadlineTimer>
#include <QFileInfo>

namespace ftptest {

namespace {
constexpr int StartMs = 15000;
constexpr int StopMs = 5000;
} // namespace

QString PyFtpServer::scriptPath() {
    return QStringLiteral(QV_FTP_SERVER_SCRIPT);
}

QString PyFtpServer::python() {
    if (QFileInfo(QStringLiteral("/usr/bin/python3")).isExecutable())
        return QStringLiteral("/usr/bin/python3");
    return QStringLiteral("python3");
}

PyFtpServer::PyFtpServer(const QString& root, const QString& host) : m_host(host) {
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(python(),
                    {scriptPath(), QStringLiteral("--root"), root, QStringLiteral("--host"), host,
                     QStringLiteral("--port"), QStringLiteral("0")});
    if (!m_process.waitForStarted(StartMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(python(), m_process.errorString());
        return;
    }
    QByteArray out;
    const QDeadlineTimer deadline(StartMs);
    while (!out.contains('\n') && !deadline.hasExpired() &&
           m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(100);
        out += m_process.readAllStandardOutput();
    }
    const QByteArray line = out.left(out.indexOf('\n')).trimmed();
    if (line.startsWith("PORT "))
        m_port = static_cast<quint16>(line.mid(5).toUInt());
    if (m_port == 0)
        m_error = QStringLiteral("pyftpdlib did not report its port (output: %1)")
                      .arg(QString::fromLocal8Bit(out));
}

PyFtpServer::~PyFtpServer() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(StopMs)) {
        m_process.kill();
        m_process.waitForFinished(StopMs);
    }
}

} // namespace ftptest
