#pragma once

#include <QString>

// What the kill tests and their child process (killtarget.cpp) agree on.
namespace KillTarget {

inline const QString SettingsPath = QStringLiteral("c:\\quorvane3\\quorvane.ini");
inline const QString StampSection = QStringLiteral("state");
inline const QString StampKey = QStringLiteral("stamp");
constexpr int StampLength = 2000;

// The stamp of one generation: its number over and over, always StampLength characters, so
// every generation gives a settings file of the same size and a torn one shows.
inline QString stamp(qint64 generation) {
    const QString piece = QStringLiteral("g%1;").arg(generation, 9, 10, QLatin1Char('0'));
    return piece.repeated(StampLength / piece.size() + 1).left(StampLength);
}

} // namespace KillTarget
