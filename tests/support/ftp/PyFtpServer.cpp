#include "PyFtpServer.h"

#include <QDeadlineTimer>
#include <QFileInfo>

namespace ftptest {

namespace {
constexpr int StartMs = 15000;
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
    if (!m_server.start(python(),
                        {scriptPath(), QStringLiteral("--root"), root, QStringLiteral("--host"),
                         host, QStringLiteral("--port"), QStringLiteral("0")},
                        QProcess::ForwardedErrorChannel)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(python(), m_server.errorText());
        return;
    }
    QProcess& process = m_server.process();
    QByteArray out;
    const QDeadlineTimer deadline(StartMs);
    while (!out.contains('\n') && !deadline.hasExpired() && process.state() == QProcess::Running) {
        process.waitForReadyRead(100);
        out += process.readAllStandardOutput();
    }
    const QByteArray line = out.left(out.indexOf('\n')).trimmed();
    if (line.startsWith("PORT "))
        m_port = static_cast<quint16>(line.mid(5).toUInt());
    if (m_port == 0)
        m_error = QStringLiteral("pyftpdlib did not report its port (output: %1)")
                      .arg(QString::fromLocal8Bit(out));
}

} // namespace ftptest
