#include "ServerLoad.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <unistd.h>
#include <vector>

namespace {

// User and system time of a process and of its reaped children, in seconds.
double cpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which may hold blanks, start with the state.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    double ticks = 0;
    for (int i = 11; i <= 14; ++i) // utime, stime, cutime, cstime
        ticks += fields.value(i).toDouble();
    return ticks / double(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double>& values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

} // namespace

Load RunPgbench(const QString& pgbench, const QString& script, const QStringList& args,
                qint64 postmasterPid, const QProcessEnvironment& env) {
    Load load;
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("script.pgbench")));
    if (!file.open(QIODevice::WriteOnly))
        return load;
    file.write(script.toUtf8());
    file.close();
    const double cpuBefore = cpuSeconds(postmasterPid);
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(pgbench,
            QStringList{QStringLiteral("-n"), QStringLiteral("-f"), file.fileName(),
                        QStringLiteral("-l"),
                        QStringLiteral("--log-prefix=") + dir.filePath(QStringLiteral("tx"))} +
                args);
    p.waitForFinished(-1);
    // The last backends end as their clients go: let the postmaster reap them.
    QThread::msleep(500);
    const double cpu = cpuSeconds(postmasterPid) - cpuBefore;
    const QString output = QString::fromUtf8(p.readAllStandardOutput());
    static const QRegularExpression done(
        QStringLiteral("number of transactions actually processed: ([0-9]+)"));
    static const QRegularExpression tps(QStringLiteral("tps = ([0-9.]+)"));
    load.done = done.match(output).captured(1).toInt();
    load.rate = tps.match(output).captured(1).toDouble();
    load.ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 && load.done > 0;
    load.cpuMsEach = load.done > 0 ? cpu * 1000 / load.done : 0;

    // One line per transaction: client, number, latency in microseconds, ...
    std::vector<double> latencies;
    for (const QString& name : QDir(dir.path()).entryList({QStringLiteral("tx.*")})) {
        QFile log(dir.filePath(name));
        if (!log.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : log.readAll().split('\n'))
            if (const QList<QByteArray> f = line.split(' '); f.size() > 2)
                latencies.push_back(f.at(2).toDouble() / 1000);
    }
    load.p50Ms = percentile(latencies, 0.50);
    load.p95Ms = percentile(latencies, 0.95);
    return load;
}

QStringList LoggedStatements(const QString& logFile, qint64 offset) {
    QFile file(logFile);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return {};
    // Every message line starts with the default prefix: time, zone and process id.
    static const QRegularExpression message(
        QStringLiteral("^\\S+ \\S+ \\S+ \\[\\d+\\] (\\w+):  (.*)$"));
    static const QRegularExpression sent(QStringLiteral("^(?:statement|execute [^:]*): (.*)$"));
    static const QRegularExpression parameter(QStringLiteral("\\$(\\d+) = (NULL|'(?:[^']|'')*')"));
    QStringList statements;
    bool inStatement = false;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('\t'))) { // a message's next line
            if (inStatement)
                statements.last() += QLatin1Char('\n') + line.mid(1);
            continue;
        }
        const auto m = message.match(line);
        inStatement = false;
        if (!m.hasMatch())
            continue;
        if (m.captured(1) == QLatin1String("LOG")) {
            if (const auto s = sent.match(m.captured(2)); s.hasMatch()) {
                statements << s.captured(1);
                inStatement = true;
            }
        } else if (m.captured(1) == QLatin1String("DETAIL") && !statements.isEmpty() &&
                   m.captured(2).startsWith(QLatin1String("parameters: "))) {
            // The highest numbers first, so $1 does not take the front of $12.
            QList<std::pair<int, QString>> values;
            for (auto it = parameter.globalMatch(m.captured(2)); it.hasNext();) {
                const auto v = it.next();
                values << std::pair{v.captured(1).toInt(), v.captured(2)};
            }
            std::sort(values.begin(), values.end(),
                      [](const auto& a, const auto& b) { return a.first > b.first; });
            for (const auto& [n, value] : values)
                statements.last().replace(QLatin1Char('$') + QString::number(n), value);
        }
    }
    for (QString& s : statements)
        s += QLatin1Char(';');
    return statements;
}
