#include "net/AsyncSock.h"

#include "net/SockErrors.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QHostInfo>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QTimer>
#include <QTimerEvent>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Socket components alive in the process; the first one records the start-up facts.
int g_componentCount = 0;

// One notification: the long parameter holds the events (low word) and the error (high word).
// The generation names the socket it was meant for, so that a notification still queued for a
// closed socket does not act on its successor.
class SockEvent : public QEvent {
public:
    SockEvent(int type, quint32 lParam, quint64 generation)
        : QEvent(static_cast<QEvent::Type>(type)), lParam(lParam), generation(generation) {}
    quint32 lParam;
    quint64 generation;
};

constexpr quint64 AnyGeneration = 0;

quint32 makeLParam(quint16 events, int error) {
    return quint32(events) | (quint32(quint16(error)) << 16);
}

bool isConnectFailure(int err) {
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
           err == ECONNRESET;
}

} // namespace

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

// ---------------------------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------------------------

TAsyncSocket::TAsyncSocket(QObject* Owner) : QObject(Owner) {
    ReportStatus(8, QStringLiteral("Create"));
    m_window = new AsyncSockWindow;
    m_window->owner = this;
    Proxy.clear();
    m_timer = new TThreadTimer(this);
    m_timer->SetEnabled(false);
    m_timer->SetOnTimer([this](QObject*) { TimerTriggered(); });
    m_lastProgress.start();
    InitializeWinsock();
}

TAsyncSocket::~TAsyncSocket() {
    ReportStatus(8, QStringLiteral("Destroy"));
    Abort();
    Cancel();
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    delete m_timer;
    m_timer = nullptr;
    delete m_window;
    m_window = nullptr;
    m_captureFile.reset();
    Destroying = true;
    try {
        RequestCloseSocket();
    } catch (const std::exception&) {
        // A failing close cannot be reported from here; the handle is released either way.
    }
    --g_componentCount;
}

int TAsyncSocket::ComponentCount() {
    return g_componentCount;
}

void TAsyncSocket::InitializeWinsock() {
    ReportStatus(8, QStringLiteral("Initializing Winsock"));
    try {
        if (g_componentCount++ == 0) {
            rlimit files{};
            getrlimit(RLIMIT_NOFILE, &files);
            WinsockInfo << QStringLiteral("Version= 1.1") << QStringLiteral("High Version= 1.1")
                        << QStringLiteral("Description= POSIX sockets, non-blocking, TCP/IPv4")
                        << QStringLiteral("System= Running")
                        << QStringLiteral("Max Sockets= ") + QString::number(files.rlim_cur)
                        << QStringLiteral("Max Udp pack size= 65507");
        }
        try {
            m_socket = MakeSocket(true);
            SelectEvents(FdAll, SocketEventMsg);
        } catch (...) {
            --g_componentCount;
            throw;
        }
    } catch (const std::exception&) {
        throw ESockError(QStringLiteral("Initializaton of windows sockets failed"));
    }
}

TAsyncSocket::TSocket TAsyncSocket::MakeSocket(bool withLinger) {
    const TSocket handle =
        ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, withLinger ? IPPROTO_TCP : 0);
    if (handle < 0) {
        CheckError(SockErrors::WouldBlock, errno);
        return NoSocket;
    }
    if (withLinger) {
        // Closing resets the connection at once instead of lingering over unsent data.
        const linger off{1, 0};
        ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    }
    AttachNotifiers(handle);
    return handle;
}

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
// posts nothing): switching it costs the event loop a wake-up each time.
void TAsyncSocket::UpdateNotifiers() {
    if (m_readNotifier == nullptr)
        return;
    const bool readWanted = (m_phase == Phase::Listening && (m_selectMask & FdAccept)) ||
                            (m_phase == Phase::Connected && (m_selectMask & (FdRead | FdClose)));
    const bool writeWanted =
        (m_phase == Phase::Connecting && (m_selectMask & FdConnect)) ||
        (m_phase == Phase::Connected && m_writeBlocked && (m_selectMask & FdWrite));
    // A waiting connection stays readable until it is accepted, which may be a while.
    m_readNotifier->setEnabled(readWanted && !(m_phase == Phase::Listening && m_readPending));
    m_writeNotifier->setEnabled(writeWanted);
}

void TAsyncSocket::Post(int message, quint32 lParam) {
    QCoreApplication::postEvent(m_window, new SockEvent(message, lParam, m_generation));
}

void TAsyncSocket::ReadReady() {
    if (m_readAgain) {
        // The waiting loop reads again itself as soon as this dispatch returns; posting here
        // would cost three more system calls per block. Seen a second time before that loop
        // took it, the loop is held up (a handler waits elsewhere): the message goes the
        // usual way.
        if (!m_readAgainNoticed) {
            m_readAgainNoticed = true;
            return;
        }
        m_readAgain = false;
        Post(ReadAgainMsg, 0);
        return;
    }
    if (m_readPending)
        return;
    m_readPending = true;
    UpdateNotifiers();
    Post(m_selectMessage, m_phase == Phase::Listening ? FdAccept : FdRead);
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

void TAsyncSocket::HostLookedUp(int lookupId, const QHostInfo& info) {
    if (lookupId != m_lookupId)
        return;
    m_lookupId = -1;
    m_lookupAddress = 0;
    int error = 0;
    if (info.error() == QHostInfo::HostNotFound)
        error = SockErrors::HostNotFound;
    else if (info.error() != QHostInfo::NoError)
        error = SockErrors::NoRecovery;
    else {
        error = SockErrors::NoData;
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                m_lookupAddress = htonl(address.toIPv4Address());
                error = 0;
                break;
            }
        }
    }
    m_lookupError = error;
    QCoreApplication::postEvent(m_window,
                                new SockEvent(AsyncDoneMsg, makeLParam(0, error), AnyGeneration));
}

void TAsyncSocket::HandleMessage(int message, quint32 lParam, quint64 generation) {
    if (generation != AnyGeneration && generation != m_generation)
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
    Progress();
    if (m_captureFile) {
        if (m_captureBuffer.size() + count > CaptureBlock)
            FlushCapture();
        m_captureBuffer.append(data, count);
        return;
    }
    m_recv.append(data, count);
}

void TAsyncSocket::FlushCapture() {
    if (m_captureBuffer.isEmpty())
        return;
    if (CapturedBytes)
        CapturedBytes(m_captureBuffer.constData(), m_captureBuffer.size());
    if (m_captureFile->write(m_captureBuffer) != m_captureBuffer.size())
        m_captureFailed = true;
    m_captureBuffer.resize(0);
}

void TAsyncSocket::ReadToStream() {
    ReportStatus(8, QStringLiteral("ReadToStream"));
    if (CancelRequested)
        SelectEvents(0, m_selectMessage);
    if (InHandler || m_socket == NoSocket) {
        // The running handler reads on; readiness is level-triggered, so nothing is lost.
        m_readPending = false;
        UpdateNotifiers();
        return;
    }
    InHandler = true;
    char buffer[ChunkSize];
    const ssize_t count = ::recv(m_socket, buffer, ChunkSize, 0);
    const int err = errno;
    bool received = false;
    try {
        if (count > 0) {
            received = true;
            AppendReceived(buffer, count);
            if (Capturing) {
                ReceivedBytes += count;
                if (OnPacketRecvd)
                    OnPacketRecvd(this);
            }
            // A full buffer means more is waiting: read again at once. After a cancel the
            // rest stays in the system's buffer instead of piling up here.
            if (count == ChunkSize && !CancelRequested) {
                // A wait of this component takes the read-again message itself: posting costs
                // the event loop two wake-ups per block, a fifth of the loopback's speed.
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
        while (!CancelRequested) {
            const ssize_t count = ::recv(m_socket, buffer, ChunkSize, 0);
            if (count <= 0)
                break;
            AppendReceived(buffer, count);
            if (Capturing)
                ReceivedBytes += count;
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
    const qsizetype pending = m_send.size() - m_sendHead;
    if (pending <= 0 || CancelRequested || m_socket == NoSocket)
        return;
    InHandler = true;
    const qsizetype chunk = std::min<qsizetype>(pending, ChunkSize);
    const ssize_t sent = ::send(m_socket, m_send.constData() + m_sendHead, chunk, MSG_NOSIGNAL);
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
        m_sendHead += sent;
        // Keep the queue starting at its first unsent byte without copying on every pass.
        if (m_sendHead >= m_send.size() / 2) {
            m_send.remove(0, m_sendHead);
            m_sendHead = 0;
        }
        Post(WriteMoreMsg, 0);
    } else {
        moved = sent;
        m_send.clear();
        m_sendHead = 0;
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

template <typename Done> void TAsyncSocket::WaitFor(Done done, bool idleBound) {
    if (done())
        return;
    // The event loop blocks until there is work; this timer only makes sure the flags are
    // looked at again at least every 2 ms.
    QTimer wake;
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(2);
    QElapsedTimer waiting;
    waiting.start();
    QElapsedTimer othersRan;
    othersRan.start();
    ++m_waitDepth;
    const auto leave = qScopeGuard([this] {
        if (--m_waitDepth == 0 && m_readAgain) {
            m_readAgain = false;
            m_readAgainNoticed = false;
            Post(ReadAgainMsg, 0);
        }
    });
    while (!done()) {
        if (idleBound && IdleTimeOut > 0 &&
            std::min(waiting.elapsed(), m_lastProgress.elapsed()) >= IdleTimeOut)
            throw ESockError(QStringLiteral("Connection Timed out"));
        if (m_readAgain) {
            // More is waiting in the system's buffer: read on, and let the other events run at
            // least every millisecond meanwhile.
            m_readAgain = false;
            m_readAgainNoticed = false;
            HandleMessage(ReadAgainMsg, 0, m_generation);
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

// A cancel switches a connected socket's notifications off; the next wait that starts without
// a cancel switches them on again, so the socket is not left deaf.
void TAsyncSocket::RearmAfterCancel() {
    if (!CancelRequested && m_selectMask == 0 && m_phase == Phase::Connected)
        SelectEvents(FdAll, SocketEventMsg);
}

void TAsyncSocket::ReportStatus(int Level, const QString& Text) {
    if (Level > ReportLevel || Destroying)
        return;
    StatusText = Text;
    if (OnStatus)
        OnStatus(this, Text);
}

QString TAsyncSocket::LookupErrorMessage(int Code) {
    ReportStatus(8, QStringLiteral("Looking Up Error Message"));
    return SockErrors::text(Code);
}

void TAsyncSocket::RaiseSocketError(int code) {
    const QString message = LookupErrorMessage(code);
    if (OnError)
        OnError(this, quint16(code), message);
    throw ESockError(message);
}

// Only "would block" (a connect in progress is its spelling for connect) is expected; any other
// error raises with its own text.
void TAsyncSocket::CheckError(int expected, int err) {
    ReportStatus(16, QStringLiteral("Checking Error In Error Manager"));
    const int code = SockErrors::codeFromErrno(err);
    LastSocketError = quint16(code);
    if (code == expected || (expected == SockErrors::WouldBlock && err == EINPROGRESS))
        return;
    RaiseSocketError(code);
}

void TAsyncSocket::TimerOn() {
    TimedOut = false;
    m_timer->SetInterval(unsigned(std::max(TimeOut, 0)));
    m_timer->SetEnabled(true);
    ReportStatus(8, QStringLiteral("Timer On"));
}

void TAsyncSocket::TimerOff() {
    ReportStatus(8, QStringLiteral("Timer Off"));
    m_timer->SetEnabled(false);
}

void TAsyncSocket::TimerTriggered() {
    ReportStatus(8, QStringLiteral("Timer Triggered"));
    TimerOff();
    TimedOut = true;
    Abort();
}

void TAsyncSocket::ResolveHost() {
    ReportStatus(8, QStringLiteral("Resolve Host"));
    const QString name = Proxy.isEmpty() ? Host : Proxy;
    in_addr dotted{};
    if (::inet_pton(AF_INET, name.toLatin1().constData(), &dotted) == 1) {
        m_remoteAddress = dotted.s_addr;
        return;
    }
    m_remoteAddress = 0;
    TimerOn();
    AsyncDone = false;
    m_lookupError = 0;
    m_lookupId = QHostInfo::lookupHost(
        name, m_window, [this](const QHostInfo& info) { HostLookedUp(info.lookupId(), info); });
    try {
        WaitFor([this] { return AsyncDone || TimedOut || CancelRequested; }, false);
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    if (TimedOut)
        throw ESockError(QStringLiteral("Host Lookup Timed Out"));
    if (CancelRequested)
        throw ESockError(QStringLiteral("Host Lookup Canceled"));
    if (m_lookupError != 0) {
        LastSocketError = quint16(m_lookupError);
        throw ESockError(QStringLiteral("Host Lookup Failed"));
    }
    m_remoteAddress = m_lookupAddress;
    if (OnHostResolved)
        OnHostResolved(this);
}

void TAsyncSocket::Connect() {
    ReportStatus(8, QStringLiteral("Connecting"));
    CancelRequested = false;
    if (IsConnected)
        throw ESockError(QStringLiteral("Already connected"));

    bool askedAgain = false;
    for (;;) {
        try {
            ResolveHost();
        } catch (const ESockError& error) {
            if (error.message() == QLatin1String("Host Lookup Timed Out") ||
                error.message() == QLatin1String("Host Lookup Canceled"))
                throw;
            m_remoteAddress = 0;
        }
        if (m_remoteAddress != 0)
            break;
        if (!askedAgain && OnInvalidHost) {
            askedAgain = true;
            bool handled = false;
            OnInvalidHost(handled);
            if (handled)
                continue;
        }
        throw ESockError(QStringLiteral("Null Remote Address"));
    }

    m_remotePort = quint16(Proxy.isEmpty() ? Port : ProxyPort);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(m_remotePort);
    target.sin_addr.s_addr = m_remoteAddress;

    AsyncDone = false;
    LastEventOk = true;
    if (::connect(m_socket, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
        m_phase = Phase::Connected;
        UpdateNotifiers();
        Post(m_selectMessage, FdConnect);
    } else if (const int err = errno; isConnectFailure(err)) {
        // The loopback may refuse at once; the outcome still arrives as the connect event.
        Post(m_selectMessage, makeLParam(FdConnect, SockErrors::codeFromErrno(err)));
    } else {
        CheckError(SockErrors::WouldBlock, err);
        m_phase = Phase::Connecting;
        UpdateNotifiers();
    }

    TimerOn();
    try {
        WaitFor([this] { return IsConnected || TimedOut || CancelRequested || !LastEventOk; },
                false);
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
    if (IsConnected && !TimedOut && !CancelRequested && LastEventOk)
        return;

    const QString text = TimedOut          ? QStringLiteral("Connection Timed out")
                         : CancelRequested ? QStringLiteral("Connection Canceled")
                                           : QStringLiteral("Connection Failed");
    // A socket whose connect failed or is still under way cannot connect again: start afresh.
    RequestCloseSocket();
    if (OnConnectionFailed)
        OnConnectionFailed(this);
    throw ESockError(text);
}

void TAsyncSocket::Disconnect() {
    ReportStatus(8, QStringLiteral("Disconnecting"));
    RequestCloseSocket();
}

void TAsyncSocket::Abort() {}

void TAsyncSocket::Cancel() {
    ReportStatus(8, QStringLiteral("Canceling"));
    CancelRequested = true;
}

void TAsyncSocket::Write(const QString& Text) {
    ReportStatus(8, QStringLiteral("Write"));
    QByteArray bytes = Text.left(16384).toLatin1();
    const qsizetype zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    SendBuffer(bytes.constData(), 0);
}

void TAsyncSocket::Writeln(const QString& Text) {
    ReportStatus(8, QStringLiteral("Writeln"));
    Write(Text + QStringLiteral("\r\n"));
}

void TAsyncSocket::SendBuffer(const char* Buffer, int Count) {
    ReportStatus(4, QStringLiteral("Sending Buffer"));
    if (CancelRequested)
        return;
    if (Count == 0)
        Count = int(strnlen(Buffer, 65535));
    if (Count <= 0)
        return;
    m_send.append(Buffer, Count);
    SendComplete = false;
    m_sendError = 0;
    RearmAfterCancel();
    Post(WriteMoreMsg, 0);
    try {
        WaitFor([this] { return SendComplete || CancelRequested || m_sendError != 0; }, true);
    } catch (...) {
        DropSendQueue();
        throw;
    }
    if (CancelRequested) {
        CancelRequested = false;
        DropSendQueue();
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    if (m_sendError != 0) {
        const int code = m_sendError;
        m_sendError = 0;
        DropSendQueue();
        RaiseSocketError(code);
    }
}

void TAsyncSocket::DropSendQueue() {
    m_send.clear();
    m_sendHead = 0;
}

QByteArray TAsyncSocket::TakeReceived(qsizetype count) {
    const QByteArray taken = m_recv.mid(m_recvHead, count);
    m_recvHead += taken.size();
    // Consumed bytes do not pile up: the rest moves to the front once it is the smaller part.
    if (m_recvHead >= m_recv.size()) {
        m_recv.resize(0);
        m_recvHead = 0;
    } else if (m_recvHead >= m_recv.size() / 2) {
        m_recv.remove(0, m_recvHead);
        m_recvHead = 0;
    }
    return taken;
}

// A wait for data ends when the connection is gone: what never came will not come.
void TAsyncSocket::RaiseConnectionGone() {
    RaiseSocketError(m_closeError != 0 ? m_closeError : SockErrors::NotConnected);
}

QString TAsyncSocket::Read(int Count) {
    ReportStatus(8, QStringLiteral("Read( ") + QString::number(Count) + QStringLiteral(" )"));
    if (Count != 0) {
        RearmAfterCancel();
        WaitFor([this,
                 Count] { return ReceiveStreamSize() >= Count || CancelRequested || !IsConnected; },
                true);
    }
    if (CancelRequested) {
        CancelRequested = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    if (Count == 0)
        return QString::fromLatin1(TakeReceived(ReceiveStreamSize()));
    if (ReceiveStreamSize() < Count)
        RaiseConnectionGone();
    return QString::fromLatin1(TakeReceived(Count));
}

QString TAsyncSocket::ReadLn() {
    ReportStatus(8, QStringLiteral("ReadLn"));
    RearmAfterCancel();
    qsizetype lineFeed = -1;
    WaitFor(
        [this, &lineFeed] {
            lineFeed = m_recv.indexOf('\n', m_recvHead);
            return lineFeed >= 0 || CancelRequested || !IsConnected ||
                   ReceiveStreamSize() > MaxLineLength;
        },
        true);
    if (CancelRequested)
        throw EAbortError(QStringLiteral("Socket readln aborted"));
    if (lineFeed < 0) {
        if (ReceiveStreamSize() > MaxLineLength)
            RaiseSocketError(SockErrors::MessageTooLong);
        RaiseConnectionGone();
    }
    return QString::fromLatin1(TakeReceived(lineFeed - m_recvHead + 1));
}

QString TAsyncSocket::Transaction(const QString& Command) {
    ReportStatus(8, QStringLiteral("Transaction"));
    ReplyNumber = 0;
    Writeln(Command);
    const QString reply = ReadLn();
    LastReply = reply;
    if (!reply.isEmpty()) {
        ReportStatus(1, reply);
        qsizetype digits = 0;
        while (digits < reply.size() && digits < 10 && reply.at(digits).isDigit() &&
               reply.at(digits).unicode() < 128)
            ++digits;
        if (digits > 0) {
            const qlonglong value = reply.left(digits).toLongLong();
            // A run of digits that does not fit the reply number counts as no number.
            ReplyNumber = value <= SHRT_MAX ? qint16(value) : 0;
        }
    }
    return reply;
}

void TAsyncSocket::Listen(bool AcceptAsAsyncDone) {
    ReportStatus(8, QStringLiteral("Listening"));
    in_addr local{};
    if (::inet_pton(AF_INET, BindAddress.toLatin1().constData(), &local) != 1)
        RaiseSocketError(SockErrors::codeFromErrno(EADDRNOTAVAIL));
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_port = htons(quint16(Port));
    own.sin_addr = local;
    m_remoteAddress = local.s_addr;
    m_remotePort = quint16(Port);
    AsyncDone = false;
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0)
        RaiseSocketError(SockErrors::codeFromErrno(errno));
    SelectEvents(FdAccept, AcceptAsAsyncDone ? AsyncDoneMsg : SocketEventMsg);
    if (::listen(m_socket, 1) != 0)
        RaiseSocketError(SockErrors::codeFromErrno(errno));
    m_phase = Phase::Listening;
    UpdateNotifiers();
}

TAsyncSocket::TSocket TAsyncSocket::AcceptConnection() {
    // The accept event of a socket listening on SocketEventMsg sets IsConnected only.
    WaitFor([this] { return AsyncDone || IsConnected || CancelRequested; }, true);
    if (CancelRequested)
        throw ESockError(QStringLiteral("Accepting Canceled"));
    if (!LastEventOk)
        throw ESockError(QStringLiteral("Error creating Data Connection"));
    ReportStatus(4, QStringLiteral("Accepting"));
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const TSocket accepted = ::accept4(m_socket, reinterpret_cast<sockaddr*>(&peer), &length,
                                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0)
        RaiseSocketError(SockErrors::codeFromErrno(errno));
    // The pending connection is taken: let the listener report the next one.
    m_readPending = false;
    UpdateNotifiers();
    Progress();
    m_remoteAddress = peer.sin_addr.s_addr;
    m_remotePort = ntohs(peer.sin_port);
    if (CancelRequested) {
        CancelRequested = false;
        ::close(accepted);
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    return accepted;
}

void TAsyncSocket::ReplaceSocket(TSocket Accepted) {
    CloseHandle();
    if (m_socket != NoSocket)
        ::close(m_socket);
    m_socket = Accepted;
    AttachNotifiers(Accepted);
    m_phase = Phase::Connected;
    m_closeError = 0;
    IsConnected = true;
    SelectEvents(FdAll, SocketEventMsg);
}

void TAsyncSocket::CaptureFile(const QString& FileName) {
    ReportStatus(8, QStringLiteral("CaptureFile"));
    auto file = std::make_unique<QFile>(FileName);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        throw Exception(QStringLiteral("Cannot create file %1").arg(FileName));
    Capturing = true;
    ReceivedBytes = 0;
    m_captureFailed = false;
    if (ReceiveStreamSize() > 0) {
        const QByteArray early = TakeReceived(ReceiveStreamSize());
        if (CapturedBytes)
            CapturedBytes(early.constData(), early.size());
        if (file->write(early) != early.size())
            m_captureFailed = true;
        ReceivedBytes = early.size();
    }
    m_captureFile = std::move(file);
    m_captureBuffer.reserve(CaptureBlock);
    RearmAfterCancel();
    const auto finish = [this] {
        FlushCapture();
        m_captureBuffer.clear();
        m_captureFile->close();
        m_captureFile.reset();
        Capturing = false;
    };
    try {
        WaitFor([this] { return !IsConnected || CancelRequested || m_captureFailed; }, true);
    } catch (...) {
        finish();
        throw;
    }
    finish();
    if (CancelRequested) {
        CancelRequested = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    if (m_captureFailed)
        throw Exception(QStringLiteral("Stream write error"));
    if (m_closeError != 0)
        RaiseSocketError(m_closeError);
}

QString TAsyncSocket::LocalAddressText() const {
    sockaddr_in own{};
    socklen_t length = sizeof own;
    ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&own), &length);
    return QString::fromLatin1(::inet_ntoa(own.sin_addr))
        .replace(QLatin1Char('.'), QLatin1Char(','));
}

QString TAsyncSocket::LocalPortText() const {
    sockaddr_in own{};
    socklen_t length = sizeof own;
    ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&own), &length);
    const quint16 port = ntohs(own.sin_port);
    return QString::asprintf(",%d,%d", port >> 8, port & 0xff);
}

QString TAsyncSocket::RemoteAddressText() const {
    in_addr address{};
    address.s_addr = m_remoteAddress;
    return QString::fromLatin1(::inet_ntoa(address));
}

void TAsyncSocket::CheckConnected() {
    int pass = 0;
    while (!IsConnected) {
        ++pass;
        if (pass > 1 || !OnConnectionRequired)
            throw Exception(QStringLiteral("Not Connected"));
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled)
            throw Exception(QStringLiteral("Not Connected"));
    }
}

void TAsyncSocket::RequestCloseSocket() {
    ReportStatus(4, QStringLiteral("Request Close Socket"));
    IsConnected = false;
    if (m_socket == NoSocket)
        return;
    CloseHandle();
    const int result = ::close(m_socket);
    const int err = errno;
    m_socket = NoSocket;
    ++m_generation;
    // Bytes queued for a closed connection can never go; a waiting send learns why.
    if (m_send.size() > m_sendHead) {
        DropSendQueue();
        m_sendError = SockErrors::NotConnected;
    }
    if (result != 0) {
        CheckError(SockErrors::WouldBlock, err);
        return;
    }
    if (Destroying)
        return;
    if (OnDisconnect)
        OnDisconnect(this);
    m_socket = MakeSocket(false);
    SelectEvents(FdAll, SocketEventMsg);
}

qsizetype TAsyncSocket::ReceiveStreamSize() const {
    return m_recv.size() - m_recvHead;
}

QByteArray TAsyncSocket::PeekReceiveStream(qsizetype Count) const {
    return m_recv.mid(m_recvHead, Count);
}

void TAsyncSocket::ClearReceiveStream() {
    m_recv.resize(0);
    m_recvHead = 0;
}
