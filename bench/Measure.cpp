#include "Measure.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// The peak resident memory of a running process, in KiB (0 once it has gone). The maximum
// resident size in the rusage of wait4 cannot be used: it counts the spawning process as well.
long PeakKiB(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

} // namespace

Run Measure(const QStringList& command) {
    std::vector<QByteArray> args;
    for (const QString& a : command)
        args.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    Run run;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return run;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
        run.peakKiB = std::max(run.peakKiB, PeakKiB(pid));
        usleep(1000);
    }
    run.seconds = clock.nsecsElapsed() / 1e9;
    for (const timeval& t : {usage.ru_utime, usage.ru_stime})
        run.cpuSeconds += t.tv_sec + t.tv_usec / 1e6;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

Run Median(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
    Run m = runs[runs.size() / 2];
    std::vector<double> cpu;
    for (const Run& r : runs)
        cpu.push_back(r.cpuSeconds);
    std::sort(cpu.begin(), cpu.end());
    m.cpuSeconds = cpu[cpu.size() / 2];
    for (const Run& r : runs)
        m.peakKiB = std::max(m.peakKiB, r.peakKiB);
    return m;
}
