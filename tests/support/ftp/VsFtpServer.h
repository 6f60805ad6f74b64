#pragma once

#include "ServerProcess.h"

#include <QString>
#include <QTemporaryDir>

namespace ftptest {

// vsftpd, a real independent FTP server, for interop tests: `root` served read-only on
// 127.0.0.1 and a free port to "anonymous" and "ftp" with any password, active mode only,
// run as whoever runs the test (root or not) with a configuration of its own. It runs
// without a chroot, so names are given relative to `root` (a leading "/" is the machine's
// root). It is stopped when this object goes, and also when the test process dies first.
class VsFtpServer {
public:
    explicit VsFtpServer(const QString& root);
    VsFtpServer(const VsFtpServer&) = delete;
    VsFtpServer& operator=(const VsFtpServer&) = delete;

    // False when the server did not come up; errorText() then says why.
    bool isRunning() const { return m_port != 0; }
    QString errorText() const { return m_error; }
    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return m_port; }

    // The installed vsftpd (Debian puts it in /usr/sbin, which a user's PATH may lack);
    // empty when there is none.
    static QString program();

private:
    bool tryPort(const QString& root, quint16 port);

    QTemporaryDir m_configDir;
    ServerProcess m_server;
    quint16 m_port = 0;
    QString m_error;
};

} // namespace ftptest
