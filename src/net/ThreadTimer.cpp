#include "net/AsyncSock.h"

#include <QTimerEvent>

#include <climits>

TThreadTimer::TThreadTimer(QObject* Owner) : QObject(Owner) {}

TThreadTimer::~TThreadTimer() {
    m_enabled = false;
    if (m_timerId != 0)
        killTimer(m_timerId);
}

void TThreadTimer::SetEnabled(bool value) {
    if (value == m_enabled)
        return;
    m_enabled = value;
    UpdateTimer();
}

void TThreadTimer::SetInterval(unsigned value) {
    if (value == m_interval)
        return;
    m_interval = value;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
    m_onTimer = std::move(handler);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
    if (m_timerId != 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
    if (m_interval != 0 && m_enabled && m_onTimer) {
        m_timerId = startTimer(int(std::min<unsigned>(m_interval, INT_MAX)));
        if (m_timerId == 0)
            throw Exception(QStringLiteral("No Timer"));
    }
}

void TThreadTimer::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_timerId)
        return;
    // A copy: the handler may replace itself.
    const TNotifyEvent handler = m_onTimer;
    if (handler)
        handler(this);
}
