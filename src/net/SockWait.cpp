#include "net/SockWait.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <climits>

TWaitEnd SockWait(const std::function<bool()>& Done, const bool& Canceled,
                  const TWaitBounds& Bounds, const std::function<bool()>& ReadAgain) {
    if (Canceled)
        return TWaitEnd::Canceled;
    if (Done())
        return TWaitEnd::Done;
    // The event loop blocks until there is work; this timer wakes it when the nearest bound
    // is due. Progress moves the idle bound later, so an early wake only re-arms it.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
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
        if (!wake.isActive() && (Bounds.Idle > 0 || Bounds.Total > 0)) {
            const qint64 due = std::min(Bounds.Idle > 0 ? Bounds.Idle - idle : LLONG_MAX,
                                        Bounds.Total > 0 ? Bounds.Total - waited : LLONG_MAX);
            wake.start(int(due));
        }
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
