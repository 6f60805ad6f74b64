#include "ExitWatch.h"

#include <QCoreApplication>
#include <QProcess>

#include <csignal>
#include <sys/types.h>

namespace {
// $1 is the process watched, the rest the command. Half a second keeps a killed test's
// servers from overlapping much with the next test.
const char* const WatchScript =
    "while kill -0 \"$1\" 2>/dev/null; do sleep 0.5; done; shift; exec \"$@\"";
} // namespace

ExitWatch::ExitWatch(const QStringList& command) {
    QProcess watcher;
    watcher.setProgram(QStringLiteral("/bin/sh"));
    watcher.setArguments(QStringList{QStringLiteral("-c"), QLatin1String(WatchScript),
                                     QStringLiteral("exit-watch"),
                                     QString::number(QCoreApplication::applicationPid())} +
                         command);
    watcher.setStandardInputFile(QProcess::nullDevice());
    watcher.setStandardOutputFile(QProcess::nullDevice());
    watcher.setStandardErrorFile(QProcess::nullDevice());
    if (!watcher.startDetached(&m_watcher))
        m_watcher = 0;
}

void ExitWatch::dismiss() {
    // A plain system call: this may run at process exit, when Qt is partly gone.
    if (m_watcher > 0)
        ::kill(static_cast<pid_t>(m_watcher), SIGTERM);
    m_watcher = 0;
}
