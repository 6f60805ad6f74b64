#include "net/AsyncSockWindow.h"
#include "net/SockErrors.h"

#include <QFile>
#include <QHostInfo>
#include <QScopeGuard>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// Socket components alive in the process; the first one records the start-up facts.
int g_componentCount = 0;

} // namespace

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
    // UTF-8, as servers take file names today: a letter outside Latin-1 must not become "?".
    QByteArray bytes = Text.left(16384).toUtf8();
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
        RaiseIfTimedOut(Wait([this] { return SendComplete || m_sendError != 0; }, WaitKind::Data));
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
}

QByteArray TAsyncSocket::TakeReceived(qsizetype count) {
    const QByteArray taken = m_recv.take(count);
    // Room again: reading may go on if the queue had stopped it.
    UpdateNotifiers();
    return taken;
}

// A wait for data ends when the connection is gone: what never came will not come.
void TAsyncSocket::RaiseConnectionGone() {
    RaiseSocketError(m_closeError != 0 ? m_closeError : SockErrors::NotConnected);
}

QString TAsyncSocket::Read(int Count) {
    ReportStatus(8, QStringLiteral("Read( ") + QString::number(Count) + QStringLiteral(" )"));
    TWaitEnd end = TWaitEnd::Done;
    if (Count != 0) {
        RearmAfterCancel();
        m_recvLimit = std::max<qsizetype>(MaxLineLength, Count);
        const auto limit = qScopeGuard([this] { m_recvLimit = MaxLineLength; });
        UpdateNotifiers();
        end = Wait([this, Count] { return ReceiveStreamSize() >= Count || !IsConnected; },
                   WaitKind::Data);
    }
    if (CancelRequested) {
        CancelRequested = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    if (Count == 0)
        return QString::fromLatin1(TakeReceived(ReceiveStreamSize()));
    if (ReceiveStreamSize() < Count) {
        RaiseIfTimedOut(end);
        RaiseConnectionGone();
    }
    return QString::fromLatin1(TakeReceived(Count));
}

QString TAsyncSocket::ReadLn() {
    ReportStatus(8, QStringLiteral("ReadLn"));
    RearmAfterCancel();
    qsizetype length = -1;
    const TWaitEnd end = Wait(
        [this, &length] {
            length = m_recv.lineLength();
            return length >= 0 || !IsConnected || ReceiveStreamSize() > MaxLineLength;
        },
        WaitKind::Data);
    if (CancelRequested)
        throw EAbortError(QStringLiteral("Socket readln aborted"));
    if (length < 0) {
        if (ReceiveStreamSize() > MaxLineLength)
            RaiseSocketError(SockErrors::MessageTooLong);
        RaiseIfTimedOut(end);
        RaiseConnectionGone();
    }
    return QString::fromLatin1(TakeReceived(length));
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

void TAsyncSocket::CaptureFile(const QString& FileName, const TCaptureTarget& Target) {
    ReportStatus(8, QStringLiteral("CaptureFile"));
    // A file the caller made is written through its descriptor, so no name swapped for a link
    // meanwhile can divert the bytes; a file made here never follows a link either.
    const bool own = Target.Handle < 0;
    const int fd = own ? ::open(QFile::encodeName(FileName).constData(),
                                O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666)
                       : Target.Handle;
    auto file = std::make_unique<QFile>(FileName);
    if (fd < 0 || !file->open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                              own ? QFileDevice::AutoCloseHandle : QFileDevice::DontCloseHandle)) {
        if (own && fd >= 0)
            ::close(fd);
        throw Exception(QStringLiteral("Cannot create file %1").arg(FileName));
    }
    Capturing = true;
    ReceivedBytes = 0;
    m_captureFailed = false;
    m_captureError = nullptr;
    m_captureFile = std::move(file);
    m_captureTarget = Target;
    const auto finish = [this] {
        FlushCapture();
        for (QByteArray& block : m_captureBlocks)
            block.clear();
        m_captureFile->close();
        m_captureFile.reset();
        Capturing = false;
    };
    auto finishOnThrow = qScopeGuard(finish);
    m_captureBlock = 0;
    m_captureBlocks[0].reserve(CaptureBlock);
    // Bytes that came before the capture began go first into the file.
    const QByteArray early = TakeReceived(ReceiveStreamSize());
    AppendReceived(early.constData(), early.size());
    RearmAfterCancel();
    TWaitEnd end = TWaitEnd::Done;
    if (!m_captureFailed)
        end = Wait([this] { return !IsConnected || m_captureFailed; }, WaitKind::Capture);
    finishOnThrow.dismiss();
    finish();
    if (CancelRequested) {
        CancelRequested = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    if (m_captureError)
        std::rethrow_exception(std::exchange(m_captureError, nullptr));
    RaiseIfTimedOut(end);
    if (m_closeError != 0)
        RaiseSocketError(m_closeError);
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
    if (!m_send.isEmpty()) {
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
    return m_recv.size();
}

QByteArray TAsyncSocket::PeekReceiveStream(qsizetype Count) const {
    return m_recv.peek(Count);
}

void TAsyncSocket::ClearReceiveStream() {
    m_recv.clear();
    UpdateNotifiers();
}

TWaitEnd TAsyncSocket::Wait(const std::function<bool()>& done, WaitKind kind) {
    TWaitBounds bounds;
    bounds.Idle = IdleTimeOut;
    if (kind != WaitKind::SetUp)
        bounds.LastProgress = &m_lastProgress;
    if (kind == WaitKind::Data) {
        bounds.Total = TotalTimeOut;
        if (!WaitDeadline.isForever()) {
            const qint64 left = std::max<qint64>(1, WaitDeadline.remainingTime());
            bounds.Total = int(bounds.Total > 0 ? std::min<qint64>(bounds.Total, left) : left);
        }
    }
    if (kind == WaitKind::Capture) {
        bounds.RateWindow = CaptureRateWindow;
        bounds.RateBytes = CaptureRateBytes;
        bounds.Counter = &ReceivedBytes;
    }
    ++m_waitDepth;
    const auto leave = qScopeGuard([this] {
        // Nobody reads on for the wait any more: the rest comes the usual way.
        if (--m_waitDepth == 0 && m_readAgain) {
            m_readAgain = false;
            Post(ReadAgainMsg, 0);
        }
    });
    return SockWait(done, CancelRequested, bounds, [this] { return PumpReadAgain(); });
}

void TAsyncSocket::RaiseIfTimedOut(TWaitEnd end) {
    if (end == TWaitEnd::Idle || end == TWaitEnd::Total)
        throw ESockError(QStringLiteral("Connection Timed out"));
    if (end == TWaitEnd::Slow)
        throw ESockError(QStringLiteral("Transfer too slow: under %1 bytes in %2 ms")
                             .arg(CaptureRateBytes)
                             .arg(CaptureRateWindow));
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
