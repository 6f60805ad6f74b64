#pragma once

#include <QStringList>

// Runs a cleanup command once this test process has ended, however it ends: a failed check,
// an abort, or SIGKILL from ctest's timeout, which leaves no destructor a chance. A detached
// watcher process polls for this process and then runs the command. An owner that cleaned up
// by itself ends the watcher (destructor or dismiss()), so the command never runs late against
// whatever took the place of what it cleaned up.
class ExitWatch {
public:
    explicit ExitWatch(const QStringList& command);
    ~ExitWatch() { dismiss(); }
    ExitWatch(const ExitWatch&) = delete;
    ExitWatch& operator=(const ExitWatch&) = delete;

    bool isWatching() const { return m_watcher > 0; }
    void dismiss();

private:
    qint64 m_watcher = 0;
};
