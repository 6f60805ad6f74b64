#include "net/SockWait.h"

#include <QCoreApplication>
#include <QTimer>

TWaitEnd SockWait(const std::function<bool()>& Done, const bool& Canceled,
                  const TWaitBounds& Bounds, const std::function<bool()>& ReadAgain) {
    if (Canceled)
        return TWaitEnd::Canceled;
    if (Done())
        return TWaitEnd::Done;
    // The event loop blocks until there is work; this timer only makes sure the bounds are
    // looked at again at least every 2 ms.
    QTimer wake;
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(2);
    QElapsedTimer waiting;
    waiting.start();
    QElapsedTimer othersRan;
    othersRan.start();
    for (;;) {
        if (Canceled)
            return TWaitEnd::Canceled;
        if (Done())
            return TWaitEnd::Done;
        const qint64 waited = waiting.elapsed();
        if (Bounds.Total > 0 && waited >= Bounds.Total)
            return TWaitEnd::Total;
        const qint64 idle =
            Bounds.LastProgress ? std::min(waited, Bounds.LastProgress->elapsed()) : waited;
        if (Bounds.Idle > 0 && idle >= Bounds.Idle)
            return TWaitEnd::Idle;
        if (ReadAgain && ReadAgain()) {
            if (othersRan.elapsed() >= 1) {
                QCoreApplication::processEvents(QEventLoop::AllEvents);
                othersRan.restart();
            }
            continue;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        othersRan.restart();
    }
}
