#include "ServerProcess.h"

#include "ExitWatch.h"

#include <csignal>
#include <unistd.h>

namespace ftptest {

namespace {
constexpr int StartMs = 15000;
constexpr int StopMs = 5000;
} // namespace

ServerProcess::ServerProcess() {
    m_process.setChildProcessModifier([] { ::setpgid(0, 0); });
}

ServerProcess::~ServerProcess() {
    stop();
}

bool ServerProcess::start(const QString& program, const QStringList& arguments,
                          QProcess::ProcessChannelMode channels) {
    stop();
    m_process.setProcessChannelMode(channels);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(StartMs))
        return false;
    const QString group = QStringLiteral("-") + QString::number(m_process.processId());
    m_watch = std::make_unique<ExitWatch>(QStringList{
        QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("kill -KILL ") + group});
    return true;
}

void ServerProcess::stop() {
    if (m_process.state() != QProcess::NotRunning) {
        // The leader is not reaped before waitForFinished, so the group id is still ours.
        ::kill(-static_cast<pid_t>(m_process.processId()), SIGKILL);
        m_process.waitForFinished(StopMs);
    }
    m_watch.reset();
}

} // namespace ftptest
