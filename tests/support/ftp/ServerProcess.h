#pragma once

#include <QProcess>

#include <memory>

class ExitWatch;

namespace ftptest {

// A server program run for a test, in a process group of its own so that the helpers it
// forks (vsftpd's sessions) end with it. The group is killed when this object goes and, through
// an ExitWatch, also when the test process dies before that (a failed check, ctest's SIGKILL).
class ServerProcess {
public:
    ServerProcess();
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // False when the program could not be started; errorText() then says why.
    bool start(const QString& program, const QStringList& arguments,
               QProcess::ProcessChannelMode channels);
    void stop();
    QString errorText() const { return m_process.errorString(); }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    std::unique_ptr<ExitWatch> m_watch;
};

} // namespace ftptest
