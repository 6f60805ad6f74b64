#pragma once

#include "net/ByteQueue.h"
#include "net/SockWait.h"
#include "platform/Exception.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <exception>
#include <functional>
#include <memory>

class QFile;
class QSocketNotifier;
class QHostInfo;
class AsyncSockWindow;

// A socket failure; carries the texts of the socket layer.
class ESockError : public Exception {
public:
    using Exception::Exception;
};

// A canceled send, read, accept or capture.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// Event types. Handlers are plain std::function members that the owner assigns (an empty one
// is "not set"); a component derived from TAsyncSocket overrides the virtual operations.
using TNotifyEvent = std::function<void(QObject* Sender)>;
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnHostResolved = std::function<void(QObject* Sender)>;
using TOnStatus = std::function<void(QObject* Sender, const QString& Status)>;
using TOnErrorEvent = std::function<void(QObject* Sender, quint16 Errno, const QString& Errmsg)>;

// Where one capture writes and how far it may go.
struct TCaptureTarget {
    // When 0 or more, the capture writes into this descriptor (open for writing; it stays the
    // caller's and open) instead of creating its file by name.
    int Handle = -1;
    // Bytes the capture may take; more end it with an error, and nothing of the read that went
    // past the bound is written. -1: no bound.
    qint64 Limit = -1;
    // Free space the capture leaves on the file system of its file: it ends with an error
    // rather than write a block that leaves less. A workstation's session needs room to go on
    // (caches, mail, the desktop's own files); 256 MiB is that, and little beside today's disks.
    qint64 DiskReserve = 256 * 1024 * 1024;
};

// The time-out timer of the socket layer: a timer on its own hidden object. Setting Enabled,
// Interval or OnTimer re-arms it; it runs only while enabled, with an interval and a handler.
class TThreadTimer : public QObject {
    Q_OBJECT
public:
    explicit TThreadTimer(QObject* Owner = nullptr);
    ~TThreadTimer() override;

    bool Enabled() const { return m_enabled; }
    void SetEnabled(bool value);
    unsigned Interval() const { return m_interval; }
    void SetInterval(unsigned value);
    const TNotifyEvent& OnTimer() const { return m_onTimer; }
    void SetOnTimer(TNotifyEvent handler);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void UpdateTimer();

    bool m_enabled = true;
    unsigned m_interval = 1000;
    TNotifyEvent m_onTimer;
    int m_timerId = 0;
};

// A TCP socket component for the single user-interface thread. Its operations look blocking:
// each starts an asynchronous step and waits, letting the event loop run (so other components,
// timers and the user interface go on), until its notification arrived, Cancel was called, a
// time-out fired or the idle or total bound passed. Socket readiness becomes posted events
// 1125-1128 to a hidden object the component owns.
//
// Texts are single-byte (Latin-1) on the wire.
class TAsyncSocket : public QObject {
    Q_OBJECT
public:
    // A socket handle; NoSocket means none.
    using TSocket = int;
    static constexpr TSocket NoSocket = -1;

    // Event numbers delivered to the hidden object.
    enum : int {
        SocketEventMsg = 1125, // socket events (low word) and error (high word)
        AsyncDoneMsg = 1126,   // host look-up done; accept of a data socket
        WriteMoreMsg = 1127,   // write more of the send queue
        ReadAgainMsg = 1128,   // the last read filled the buffer: read again
    };
    // Socket event bits of the low word.
    enum : quint16 {
        FdRead = 1,
        FdWrite = 2,
        FdOob = 4,
        FdAccept = 8,
        FdConnect = 16,
        FdClose = 32,
        FdAll = 63,
    };
    // Bytes moved per system call.
    static constexpr int ChunkSize = 16383;
    // Longest line ReadLn waits for before it gives up.
    static constexpr int MaxLineLength = 64 * 1024;

    // Virtual operations, in this order: creation, AcceptConnection, Connect, Disconnect,
    // Transaction, Abort.
    explicit TAsyncSocket(QObject* Owner = nullptr);
    ~TAsyncSocket() override;
    // Waits for the incoming connection of Listen and accepts it; returns the new socket
    // (non-blocking), which ReplaceSocket then makes the component's own.
    virtual TSocket AcceptConnection();
    // Resolves Host (or Proxy) and connects to Port (or ProxyPort); raises on failure.
    virtual void Connect();
    virtual void Disconnect();
    // Writeln of the command, ReadLn of the reply; sets ReplyNumber and LastReply.
    virtual QString Transaction(const QString& Command);
    // Does nothing here; called by the time-out timer.
    virtual void Abort();

    void Cancel();
    // Sends the text up to its first zero character, at most 16384 characters.
    void Write(const QString& Text);
    void Writeln(const QString& Text);
    // Queues the bytes and waits until they are sent; count 0 means up to the first zero byte
    // (at most 65535). Sends nothing while CancelRequested is set.
    void SendBuffer(const char* Buffer, int Count);
    // Waits for Count bytes and takes them; 0 takes whatever is there without waiting.
    QString Read(int Count);
    // Waits for a line and takes it, line feed included.
    QString ReadLn();
    // Binds to BindAddress and Port (0: any free port) and listens for one connection; the
    // accept event arrives as AsyncDoneMsg when asked, else as SocketEventMsg.
    void Listen(bool AcceptAsAsyncDone);
    // Makes an accepted socket the component's own: the listening socket is closed (without a
    // fresh one and without OnDisconnect) and all events are selected on the new one.
    void ReplaceSocket(TSocket Accepted);
    // Writes everything that arrives to the file until the connection closes, into and within
    // what Target says (given per call, so no setting of one capture outlives it).
    void CaptureFile(const QString& FileName, const TCaptureTarget& Target = {});
    // Own address with commas for dots ("127,0,0,1"); own port as ",high,low".
    QString LocalAddressText() const;
    QString LocalPortText() const;
    // Raises "Not Connected" unless connected, after one chance for OnConnectionRequired.
    void CheckConnected();
    // Closes the socket (calling OnDisconnect) and makes a fresh one.
    void RequestCloseSocket();

    // Bytes received and not yet taken by Read or ReadLn.
    qsizetype ReceiveStreamSize() const;
    QByteArray PeekReceiveStream(qsizetype Count) const;
    void ClearReceiveStream();

    // Stores the text in StatusText and calls OnStatus when Level is at most ReportLevel.
    void ReportStatus(int Level, const QString& Text);
    // "code:message" from the error table, "Unknown Error No. code", or empty for 0.
    QString LookupErrorMessage(int Code);

    TSocket Socket() const { return m_socket; }
    // Target of connect, peer after accept, own address while listening.
    QString RemoteAddressText() const;
    quint16 RemotePort() const { return m_remotePort; }
    // Socket components alive in the process.
    static int ComponentCount();

    // Published settings.
    QString Host;
    int Port = 0;
    int TimeOut = 0; // ms; bounds host look-up and connection set-up; 0: no bound
    int ReportLevel = 0;
    QString Proxy;
    int ProxyPort = 0;
    // ms without any byte moved after which every wait gives up with "Connection Timed out"
    // (host look-up and connection set-up too, whatever TimeOut says); 0: no bound.
    int IdleTimeOut = 30000;
    // ms that one accept, ReadLn, Read or SendBuffer may take in all, however the bytes
    // trickle; a capture is bounded by IdleTimeOut only, as a file takes what it takes.
    int TotalTimeOut = 120000;
    // A capture that gets fewer than CaptureRateBytes bytes in CaptureRateWindow ms ends with
    // an error: a sender that trickles can hold nobody for longer than its file takes at this
    // rate. 4 KiB/s is far below a slow VPN's; 0 in either: no bound.
    qint64 CaptureRateBytes = 30 * 4096;
    int CaptureRateWindow = 30000;
    // Local address Listen binds to; the default is any interface.
    QString BindAddress = QStringLiteral("0.0.0.0");

    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TOnErrorEvent OnError;
    THandlerEvent OnConnectionRequired;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;
    // Called after each read notification whose receive call succeeded.
    std::function<void()> DataArrived;
    // Sees every byte CaptureFile writes to its file, in file order, one block at a time
    // before the block is written. The hook may keep the block (a copy shares its bytes, it
    // copies none): the capture fills another block meanwhile and takes this one up again only
    // once the hook has let it go.
    std::function<void(const QByteArray& Block)> CapturedBlock;

    // State.
    bool IsConnected = false;
    bool CancelRequested = false;
    bool TimedOut = false;
    bool LastEventOk = true;
    bool AsyncDone = false;
    bool SendComplete = false;
    bool Capturing = false;
    quint16 LastSocketError = 0;
    QString StatusText;
    qint16 ReplyNumber = 0;
    QString LastReply;
    qint64 ReceivedBytes = 0;
    qint64 SentBytes = 0;
    // Facts of the socket start-up; filled only in the first component of the process.
    QStringList WinsockInfo;

protected:
    bool InHandler = false;
    bool Destroying = false;
    // While it is not forever, every wait for data ends by this deadline as well: a reply read
    // line by line has one bound for all its lines.
    QDeadlineTimer WaitDeadline{QDeadlineTimer::Forever};

private:
    friend class AsyncSockWindow;

    enum class Phase { Idle, Connecting, Connected, Listening };
    // Which bounds a wait has: set-up (idle from its start), data (idle and total) or a
    // capture (idle only).
    enum class WaitKind { SetUp, Data, Capture };

    // Life and errors (AsyncSock.cpp).
    void InitializeWinsock();
    TSocket MakeSocket(bool withLinger);
    void CheckError(int expected, int err);
    [[noreturn]] void RaiseSocketError(int code);
    [[noreturn]] void RaiseConnectionGone();
    void RaiseIfTimedOut(TWaitEnd end);
    TWaitEnd Wait(const std::function<bool()>& done, WaitKind kind);
    void RearmAfterCancel();
    void DropSendQueue();
    QByteArray TakeReceived(qsizetype count);

    // Set-up (AsyncSockConnect.cpp).
    void WaitTimed(const std::function<bool()>& done);
    void ResolveHost();
    void HostLookedUp(int lookupId, const QHostInfo& info);
    void TimerOn();
    void TimerOff();
    void TimerTriggered();

    // The readiness pump (AsyncSockPump.cpp): readiness becomes posted notifications, and
    // notifications move bytes between the socket and the queues.
    void AttachNotifiers(TSocket handle);
    void CloseHandle();
    void SelectEvents(quint16 mask, int message);
    void UpdateNotifiers();
    void Post(int message, quint32 lParam);
    void ReadReady();
    void WriteReady();
    void HandleMessage(int message, quint32 lParam, quint64 generation);
    void ReadToStream();
    bool PumpReadAgain();
    bool ReceiveQueueFull() const;
    void WriteFromStream();
    void HandleClose(int error);
    void AppendReceived(const char* data, qsizetype count);
    void Progress();

    // The capture's data path (AsyncSockCapture.cpp). CaptureRoom makes room for count more
    // bytes at the end of the block being filled, the full block written first; CaptureTaken
    // then tells how many of the room's bytes came, and counts them.
    char* CaptureRoom(qsizetype count);
    void CaptureTaken(qsizetype room, qsizetype count);
    void FlushCapture();
    void FailCapture(std::exception_ptr error);
    void CheckDiskReserve(qsizetype pending) const;
    void NextCaptureBlock();

    AsyncSockWindow* m_window = nullptr;
    TThreadTimer* m_timer = nullptr;
    TSocket m_socket = NoSocket;
    quint64 m_generation = 0;
    Phase m_phase = Phase::Idle;
    quint16 m_selectMask = 0;
    int m_selectMessage = SocketEventMsg;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    // A read notification is queued (or being read on): readiness posts no second one.
    bool m_readPending = false;
    // The last send would have blocked: the write notifier waits for room.
    bool m_writeBlocked = false;
    // A send came while a handler ran; it is posted once that handler returns.
    bool m_writeDeferred = false;
    // The last read filled the buffer while a wait ran: the wait reads again itself.
    bool m_readAgain = false;
    int m_waitDepth = 0;
    quint32 m_remoteAddress = 0; // network order
    quint16 m_remotePort = 0;
    int m_lookupId = -1;
    int m_lookupError = 0;
    quint32 m_lookupAddress = 0; // network order
    ByteQueue m_recv;
    // Reading stops while the receive queue holds more than this (outside a capture), so a
    // peer that never stops talking cannot fill memory: at most one read more is kept.
    qsizetype m_recvLimit = MaxLineLength;
    ByteQueue m_send;
    std::unique_ptr<QFile> m_captureFile;
    TCaptureTarget m_captureTarget;
    // Captured bytes not yet written: one write per block instead of one per read. The block
    // being filled is one of a few that take turns, so CapturedBlock may hold the others.
    static constexpr qsizetype CaptureBlock = 256 * 1024;
    static constexpr int CaptureBlocks = 3;
    QByteArray m_captureBlocks[CaptureBlocks];
    int m_captureBlock = 0;
    bool m_captureFailed = false;
    // Why the capture failed: the file's write error or the exception of CapturedBlock.
    std::exception_ptr m_captureError;
    int m_closeError = 0;
    int m_sendError = 0;
    QElapsedTimer m_lastProgress;
};
