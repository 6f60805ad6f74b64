#pragma once

#include <QElapsedTimer>

#include <functional>

// How a wait of the socket layer ended.
enum class TWaitEnd { Done, Canceled, Idle, Total, Slow };

// The bounds of one wait, in ms; 0 is no bound. The idle bound counts from the later of the
// wait's start and LastProgress (when given): a wait that starts long after the last byte
// still gets a whole idle bound, and a byte now and then cannot stretch it past Total.
//
// The rate bound: once RateWindow ms have passed, Counter must have grown by at least RateBytes
// over the last RateWindow ms, measured in steps of an eighth of it; a sender that trickles
// bytes just often enough to pass the idle bound still ends, within a window and a step.
struct TWaitBounds {
    int Idle = 0;
    int Total = 0;
    const QElapsedTimer* LastProgress = nullptr;
    int RateWindow = 0;
    qint64 RateBytes = 0;
    const qint64* Counter = nullptr;
};

// The one wait of the socket layer: runs the event loop, blocking while there is nothing to
// do, until Done holds, Canceled is set or a bound passes. ReadAgain is the readiness pump's
// step for a socket that has more to read; while it finds work, other events still run at
// least once a millisecond.
TWaitEnd SockWait(const std::function<bool()>& Done, const bool& Canceled,
                  const TWaitBounds& Bounds, const std::function<bool()>& ReadAgain);
