#pragma once

#include <QElapsedTimer>

#include <functional>

// How a wait of the socket layer ended.
enum class TWaitEnd { Done, Canceled, Idle, Total };

// The bounds of one wait, in ms; 0 is no bound. The idle bound counts from the later of the
// wait's start and LastProgress (when given): a wait that starts long after the last byte
// still gets a whole idle bound, and a byte now and then cannot stretch it past Total.
struct TWaitBounds {
    int Idle = 0;
    int Total = 0;
    const QElapsedTimer* LastProgress = nullptr;
};

// The one wait of the socket layer: runs the event loop, blocking while there is nothing to
// do, until Done holds, Canceled is set or a bound passes. ReadAgain is the readiness pump's
// step for a socket that has more to read; while it finds work, other events still run at
// least once a millisecond.
TWaitEnd SockWait(const std::function<bool()>& Done, const bool& Canceled,
                  const TWaitBounds& Bounds, const std::function<bool()>& ReadAgain);
