#pragma once

#include "ServerProcess.h"

#include <QString>

namespace ftptest {

// A real, independent FTP server for interop tests: pyftpdlib serving `root` read-only on
// `host` and a free port, admitting "anonymous" and "ftp" with any password. It is stopped
// when this object goes, and also when the test process dies first.
class PyFtpServer {
public:
    explicit PyFtpServer(const QString& root, const QString& host = QStringLiteral("127.0.0.1"));
    PyFtpServer(const PyFtpServer&) = delete;
    PyFtpServer& operator=(const PyFtpServer&) = delete;

    // False when the server did not come up; errorText() then says why.
    bool isRunning() const { return m_port != 0; }
    QString errorText() const { return m_error; }
    QString host() const { return m_host; }
    quint16 port() const { return m_port; }

    // The script that both this fixture and the demo run.
    static QString scriptPath();
    // The interpreter that has pyftpdlib (Debian installs it for the system python3).
    static QString python();

private:
    ServerProcess m_server;
    QString m_host;
    quint16 m_port = 0;
    QString m_error;
};

} // namespace ftptest
