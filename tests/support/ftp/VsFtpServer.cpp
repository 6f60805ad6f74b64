#include "VsFtpServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace ftptest {

namespace {

constexpr int StartMs = 10000;
// Another process may take the free port before vsftpd binds it: then try another.
constexpr int PortTries = 3;

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Without a chroot (impossible unprivileged) anon_root is only the starting folder.
QByteArray Config(const QString& root, quint16 port) {
    return QStringLiteral("listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
                          "listen_port=%1\nbackground=NO\nrun_as_launching_user=YES\n"
                          "anonymous_enable=YES\nno_anon_password=YES\nanon_root=%2\n"
                          "local_enable=NO\nwrite_enable=NO\nconnect_from_port_20=NO\n"
                          "seccomp_sandbox=NO\npasv_enable=NO\nxferlog_enable=NO\n")
        .arg(port)
        .arg(root)
        .toLocal8Bit();
}

} // namespace

QString VsFtpServer::program() {
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("vsftpd"));
    if (!onPath.isEmpty())
        return onPath;
    return QStandardPaths::findExecutable(QStringLiteral("vsftpd"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

VsFtpServer::VsFtpServer(const QString& root) {
    if (program().isEmpty()) {
        m_error = QStringLiteral("vsftpd is not installed");
        return;
    }
    if (!m_configDir.isValid()) {
        m_error = QStringLiteral("cannot create a folder for the vsftpd configuration");
        return;
    }
    for (int i = 0; i < PortTries && m_port == 0; ++i) {
        const quint16 port = FreePort();
        if (tryPort(root, port))
            m_port = port;
    }
}

bool VsFtpServer::tryPort(const QString& root, quint16 port) {
    QFile config(m_configDir.filePath(QStringLiteral("vsftpd.conf")));
    if (!config.open(QIODevice::WriteOnly) || config.write(Config(root, port)) < 0) {
        m_error = QStringLiteral("cannot write %1").arg(config.fileName());
        return false;
    }
    config.close();
    if (!m_server.start(program(), {config.fileName()}, QProcess::MergedChannels)) {
        m_error = QStringLiteral("cannot start vsftpd: %1").arg(m_server.errorText());
        return false;
    }
    QProcess& process = m_server.process();
    const QDeadlineTimer deadline(StartMs);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    process.waitForFinished(100);
    m_error = QStringLiteral("vsftpd did not listen on port %1 (output: %2)")
                  .arg(port)
                  .arg(QString::fromLocal8Bit(process.readAll()));
    m_server.stop();
    return false;
}

} // namespace ftptest
