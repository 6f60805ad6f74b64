#include "net/SockWait.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <deque>
#include <utility>

namespace {

// The counter's growth over the last window, from samples taken at least a step apart.
class RateWatch {
public:
    explicit RateWatch(const TWaitBounds& bounds)
        : m_window(bounds.Counter && bounds.RateBytes > 0 ? bounds.RateWindow : 0),
          m_step(std::max(1, m_window / 8)), m_bytes(bounds.RateBytes), m_counter(bounds.Counter) {
        if (active())
            m_samples.emplace_back(0, *m_counter);
    }

    bool active() const { return m_window > 0; }
    // ms until the next sample is due; the wait wakes for it even when nothing arrives.
    qint64 due(qint64 now) const { return m_samples.back().first + m_step - now; }

    // False once a whole window has passed with less than its bytes.
    bool keepsUp(qint64 now) {
        if (now - m_samples.back().first >= m_step)
            m_samples.emplace_back(now, *m_counter);
        // The front stays the latest sample at or before the window's start: its count is
        // what had come by then, so the growth since is at most what the window brought.
        while (m_samples.size() > 1 && m_samples[1].first <= now - m_window)
            m_samples.pop_front();
        if (now < m_window)
            return true;
        return *m_counter - m_samples.front().second >= m_bytes;
    }

private:
    int m_window;
    int m_step;
    qint64 m_bytes;
    const qint64* m_counter;
    std::deque<std::pair<qint64, qint64>> m_samples;
};

} // namespace

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
    RateWatch rate(Bounds);
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
        if (rate.active() && !rate.keepsUp(waited))
            return TWaitEnd::Slow;
        if (!wake.isActive() && (Bounds.Idle > 0 || Bounds.Total > 0 || rate.active())) {
            const qint64 due =
                std::min({Bounds.Idle > 0 ? Bounds.Idle - idle : LLONG_MAX,
                          Bounds.Total > 0 ? Bounds.Total - waited : LLONG_MAX,
                          rate.active() ? std::max<qint64>(1, rate.due(waited)) : LLONG_MAX});
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
