#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QList>
#include <QStringList>
#include <QThread>

// Reading back what qv_argrecorder wrote: one record per started program, its argv in order.
namespace ArgRecorder {

// The built program; tests copy it to where a launch expects a program (e.g. "ledger.exe").
inline QString programPath() {
    return QStringLiteral(QV_ARGRECORDER_PATH);
}

// The Windows program that records the same into c:\records.jsonl; empty without mingw-w64.
inline QString windowsProgramPath() {
    return QStringLiteral(QV_WINRECORDER_PATH);
}

// The complete records of the file, oldest first; a missing file gives none. A line still
// being written (no newline yet) is not a record yet.
inline QList<QStringList> readRecords(const QString& fileName) {
    QList<QStringList> records;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return records;
    }
    const QByteArray data = file.readAll();
    const int end = data.lastIndexOf('\n');
    for (const QByteArray& line : data.left(end + 1).split('\n')) {
        if (line.isEmpty()) {
            continue;
        }
        QStringList argv;
        for (const QJsonValue& value : QJsonDocument::fromJson(line).array()) {
            argv.append(value.toString());
        }
        records.append(argv);
    }
    return records;
}

// Waits, processing events, until the file holds at least `count` records or the time is up.
inline bool waitForRecords(const QString& fileName, int count, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (readRecords(fileName).size() < count) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    return true;
}

} // namespace ArgRecorder
