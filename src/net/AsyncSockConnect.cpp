#include "net/AsyncSockWindow.h"
#include "net/SockErrors.h"

#include <QCoreApplication>
#include <QHostInfo>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool isConnectFailure(int err) {
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
           err == ECONNRESET;
}

} // namespace

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

// The wait of the look-up and of connecting, under the timer TimerOn started: the timer stops
// however the wait ends, and the idle bound counts as the time-out.
void TAsyncSocket::WaitTimed(const std::function<bool()>& done) {
    TWaitEnd end = TWaitEnd::Done;
    try {
        end = Wait(done, WaitKind::SetUp);
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
    if (end == TWaitEnd::Idle)
        TimedOut = true;
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
    WaitTimed([this] { return AsyncDone || TimedOut; });
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
    QCoreApplication::postEvent(
        m_window, new SockEvent(AsyncDoneMsg, makeLParam(0, error), SockEvent::AnyGeneration));
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

    // TimeOut may be 0 (no bound of its own): the idle bound still ends a silent attempt.
    TimerOn();
    WaitTimed([this] { return IsConnected || TimedOut || !LastEventOk; });
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
    const TWaitEnd end = Wait([this] { return AsyncDone || IsConnected; }, WaitKind::Data);
    if (CancelRequested)
        throw ESockError(QStringLiteral("Accepting Canceled"));
    RaiseIfTimedOut(end);
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
