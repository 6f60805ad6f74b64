#include "net/AsyncSockWindow.h"
#include "net/SockErrors.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

void TAsyncSocket::AttachNotifiers(TSocket handle) {
    ++m_generation;
    m_phase = Phase::Idle;
    m_readPending = false;
    m_writeBlocked = false;
    m_readNotifier = new QSocketNotifier(handle, QSocketNotifier::Read);
    m_writeNotifier = new QSocketNotifier(handle, QSocketNotifier::Write);
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    QObject::connect(m_readNotifier, &QSocketNotifier::activated, m_window,
                     [this] { ReadReady(); });
    QObject::connect(m_writeNotifier, &QSocketNotifier::activated, m_window,
                     [this] { WriteReady(); });
}

void TAsyncSocket::CloseHandle() {
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    m_phase = Phase::Idle;
    m_readPending = false;
    m_writeBlocked = false;
}

void TAsyncSocket::SelectEvents(quint16 mask, int message) {
    m_selectMask = mask;
    m_selectMessage = message;
    UpdateNotifiers();
}

// Readiness is level-triggered: a notifier is on only while its event means something in the
// current phase. The read notifier stays on while a read notification is queued (ReadReady then
// posts nothing): switching it costs the event loop a wake-up each time. It is off while a
// handler runs (that handler's reads go on after it) and while the receive queue is full.
void TAsyncSocket::UpdateNotifiers() {
    if (m_readNotifier == nullptr)
        return;
    const bool readWanted = (m_phase == Phase::Listening && (m_selectMask & FdAccept)) ||
                            (m_phase == Phase::Connected && (m_selectMask & (FdRead | FdClose)) &&
                             !InHandler && !ReceiveQueueFull());
    const bool writeWanted =
        (m_phase == Phase::Connecting && (m_selectMask & FdConnect)) ||
        (m_phase == Phase::Connected && m_writeBlocked && (m_selectMask & FdWrite));
    // A waiting connection stays readable until it is accepted, which may be a while.
    m_readNotifier->setEnabled(readWanted && !(m_phase == Phase::Listening && m_readPending));
    m_writeNotifier->setEnabled(writeWanted);
}

bool TAsyncSocket::ReceiveQueueFull() const {
    return !Capturing && m_recv.size() > m_recvLimit;
}

void TAsyncSocket::Post(int message, quint32 lParam) {
    QCoreApplication::postEvent(m_window, new SockEvent(message, lParam, m_generation));
}

void TAsyncSocket::ReadReady() {
    if (m_readAgain) {
        // A wait meant to read on but is held up (a handler waits elsewhere): read here.
        m_readAgain = false;
        HandleMessage(ReadAgainMsg, 0, m_generation);
        return;
    }
    if (m_readPending)
        return;
    m_readPending = true;
    UpdateNotifiers();
    Post(m_selectMessage, m_phase == Phase::Listening ? FdAccept : FdRead);
}

bool TAsyncSocket::PumpReadAgain() {
    if (!m_readAgain)
        return false;
    m_readAgain = false;
    HandleMessage(ReadAgainMsg, 0, m_generation);
    return true;
}

void TAsyncSocket::WriteReady() {
    if (m_phase == Phase::Connecting) {
        int err = 0;
        socklen_t length = sizeof err;
        ::getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &err, &length);
        m_phase = err == 0 ? Phase::Connected : Phase::Idle;
        UpdateNotifiers();
        Post(m_selectMessage, makeLParam(FdConnect, err == 0 ? 0 : SockErrors::codeFromErrno(err)));
        return;
    }
    m_writeBlocked = false;
    UpdateNotifiers();
    Post(m_selectMessage, FdWrite);
}

void TAsyncSocket::HandleMessage(int message, quint32 lParam, quint64 generation) {
    if (generation != SockEvent::AnyGeneration && generation != m_generation)
        return;
    LastEventOk = (lParam >> 16) == 0;
    const quint16 events = lParam & 0xffff;
    try {
        switch (message) {
        case SocketEventMsg:
            if (events & FdRead)
                ReadToStream();
            if (events & FdWrite)
                WriteFromStream();
            if (events & FdAccept)
                IsConnected = true;
            if ((events & FdConnect) && LastEventOk) {
                IsConnected = true;
                m_closeError = 0;
                if (OnConnect)
                    OnConnect(this);
            }
            if (events & FdClose)
                HandleClose(int(lParam >> 16));
            break;
        case AsyncDoneMsg:
            AsyncDone = true;
            if (events == FdAccept)
                IsConnected = true;
            break;
        case WriteMoreMsg:
            WriteFromStream();
            break;
        case ReadAgainMsg:
            ReadToStream();
            break;
        }
    } catch (const std::exception&) {
        // A notification has no caller to report to; the waits see the state it left.
    }
}

void TAsyncSocket::AppendReceived(const char* data, qsizetype count) {
    if (m_captureFile) {
        // A failed capture only counts what still comes.
        const qsizetype room = m_captureFailed ? 0 : count;
        if (room > 0)
            std::memcpy(CaptureRoom(room), data, room);
        CaptureTaken(room, count);
        return;
    }
    Progress();
    m_recv.append(data, count);
}

void TAsyncSocket::ReadToStream() {
    ReportStatus(8, QStringLiteral("ReadToStream"));
    if (CancelRequested)
        SelectEvents(0, m_selectMessage);
    if (InHandler || m_socket == NoSocket || ReceiveQueueFull()) {
        // The running handler reads on, or the queue is full until it is read; readiness is
        // level-triggered, so nothing is lost.
        m_readPending = false;
        UpdateNotifiers();
        return;
    }
    InHandler = true;
    bool received = false;
    try {
        char buffer[ChunkSize];
        // A capture reads straight into its block: the bytes are not copied on their way.
        const bool direct = m_captureFile && !m_captureFailed;
        const ssize_t count =
            ::recv(m_socket, direct ? CaptureRoom(ChunkSize) : buffer, ChunkSize, 0);
        const int err = errno;
        if (direct)
            CaptureTaken(ChunkSize, std::max<ssize_t>(count, 0));
        if (count > 0) {
            received = true;
            if (!direct)
                AppendReceived(buffer, count);
            if (Capturing && OnPacketRecvd)
                OnPacketRecvd(this);
            // A full buffer means more is waiting: read again at once. After a cancel the
            // rest stays in the system's buffer instead of piling up here.
            if (count == ChunkSize && !CancelRequested) {
                // A wait of this component reads again itself: posting costs the event loop
                // two wake-ups per block, a fifth of the loopback's speed.
                if (m_waitDepth > 0)
                    m_readAgain = true;
                else
                    Post(ReadAgainMsg, 0);
            } else
                m_readPending = false;
        } else if (count == 0) {
            Post(SocketEventMsg, FdClose);
        } else if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
            m_readPending = false;
        } else {
            LastSocketError = quint16(SockErrors::codeFromErrno(err));
            const QString message = LookupErrorMessage(LastSocketError);
            if (OnError)
                OnError(this, LastSocketError, message);
            // A broken connection ends like a closed one, carrying its error.
            Post(SocketEventMsg, makeLParam(FdClose, LastSocketError));
        }
    } catch (...) {
        InHandler = false;
        m_readPending = false;
        UpdateNotifiers();
        throw;
    }
    InHandler = false;
    UpdateNotifiers();
    if (m_writeDeferred) {
        m_writeDeferred = false;
        Post(WriteMoreMsg, 0);
    }
    if (received && DataArrived)
        DataArrived();
}

void TAsyncSocket::HandleClose(int error) {
    m_closeError = error;
    if (m_socket != NoSocket) {
        char buffer[ChunkSize];
        while (!CancelRequested && !ReceiveQueueFull()) {
            const ssize_t count = ::recv(m_socket, buffer, ChunkSize, 0);
            if (count <= 0)
                break;
            AppendReceived(buffer, count);
        }
    }
    IsConnected = false;
    RequestCloseSocket();
}

void TAsyncSocket::WriteFromStream() {
    ReportStatus(8, QStringLiteral("WriteFromStream"));
    if (InHandler) {
        m_writeDeferred = true;
        return;
    }
    const qsizetype pending = m_send.size();
    if (pending <= 0 || CancelRequested || m_socket == NoSocket)
        return;
    InHandler = true;
    const qsizetype chunk = std::min<qsizetype>(pending, ChunkSize);
    const ssize_t sent = ::send(m_socket, m_send.front(), chunk, MSG_NOSIGNAL);
    const int err = errno;
    qsizetype moved = 0;
    if (sent < 0) {
        LastSocketError = quint16(SockErrors::codeFromErrno(err));
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
            m_writeBlocked = true;
        else
            m_sendError = LastSocketError;
    } else if (sent < pending) {
        moved = sent;
        m_send.drop(sent);
        Post(WriteMoreMsg, 0);
    } else {
        moved = sent;
        m_send.clear();
        SendComplete = true;
    }
    InHandler = false;
    UpdateNotifiers();
    if (moved > 0)
        Progress();
    SentBytes += moved;
    if (Capturing && OnPacketSent)
        OnPacketSent(this);
}

void TAsyncSocket::Progress() {
    m_lastProgress.restart();
}
