#pragma once

#include "net/AsyncSock.h"

#include <QEvent>

// One notification: the long parameter holds the events (low word) and the error (high word).
// The generation names the socket it was meant for, so that a notification still queued for a
// closed socket does not act on its successor.
class SockEvent : public QEvent {
public:
    static constexpr quint64 AnyGeneration = 0;

    SockEvent(int type, quint32 lParam, quint64 generation)
        : QEvent(static_cast<QEvent::Type>(type)), lParam(lParam), generation(generation) {}
    quint32 lParam;
    quint64 generation;
};

inline quint32 makeLParam(quint16 events, int error) {
    return quint32(events) | (quint32(quint16(error)) << 16);
}

// The hidden object that receives a component's notifications. Until it belongs to a component
// it behaves as a plain object; everything that is not a socket notification (queued calls,
// deferred deletion) goes to the default handling.
class AsyncSockWindow : public QObject {
public:
    TAsyncSocket* owner = nullptr;

    bool event(QEvent* event) override {
        const int type = event->type();
        if (owner == nullptr || type < TAsyncSocket::SocketEventMsg ||
            type > TAsyncSocket::ReadAgainMsg)
            return QObject::event(event);
        const auto* sockEvent = static_cast<SockEvent*>(event);
        owner->HandleMessage(type, sockEvent->lParam, sockEvent->generation);
        return true;
    }
};
