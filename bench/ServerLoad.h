#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// One pgbench run: what it completed, and the server processor time that cost.
struct Load {
    bool ok = false;
    int done = 0;
    double rate = 0;      // transactions completed per second
    double cpuMsEach = 0; // server processor time per transaction
    double p50Ms = 0;     // latency; with a rate (-R) counted from each scheduled start
    double p95Ms = 0;
};

// Runs pgbench with `script` as its one transaction and `args` (connection, clients, time,
// rate). The server's processor time is its postmaster's own and that of the server processes
// it has reaped, so a run of one connection per transaction counts every backend whole.
Load RunPgbench(const QString& pgbench, const QString& script, const QStringList& args,
                qint64 postmasterPid, const QProcessEnvironment& env);

// The statements a server logged with log_statement = all after the first `offset` bytes of
// its log, in the order they came, each with its bound values written in and a semicolon.
QStringList LoggedStatements(const QString& logFile, qint64 offset);
