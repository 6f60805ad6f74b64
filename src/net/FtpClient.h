#pragma once

#include "net/AsyncSock.h"
#include "net/FtpConst.h"

// An FTP error reply; the message is the server's reply line, CR LF included.
class FTPException : public Exception {
public:
    using Exception::Exception;
};

using TFailureEvent = std::function<void(bool& Handled, TCmdType Trans_Type)>;
using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;
using TListItemEvent = std::function<void(const QString& Listing)>;

// The client side of FTP: the component itself is the control connection; each download
// gets an active-mode data connection of its own (listen, announce with PORT, accept).
class TFtpClient : public TAsyncSocket {
    Q_OBJECT
public:
    // The server kind the component reports; set at creation and at each QUIT.
    static constexpr int DefaultServerKind = 0;

    explicit TFtpClient(QObject* Owner = nullptr);
    ~TFtpClient() override;

    // Connects to Host (or Proxy), reads the greeting whole and logs in with UserID and,
    // when the server asks for it (331), Password.
    void Connect() override;
    // Sends QUIT and closes the control connection.
    void Disconnect() override;
    // The socket layer's transaction, then the rest of a multi-line reply; the first line
    // and its number are the result.
    QString Transaction(const QString& Command) override;
    // Cancels the data connection, if a download is running.
    void Abort() override;

    // Sends one single-line command; error replies (400-599) go to OnFailure or raise.
    void SendCommand(const QString& Command);
    // 1: ASCII, 2: image, 3: local 8-bit; any other code sends nothing.
    void SetTransferType(int Code);
    // Fetches RemoteFile into LocalFile (empty: the remote name) over an active-mode data
    // connection. Raises FTPException when the server refuses, aborts (421, 426), answers
    // 400-599 or no reply while the data connection is awaited or read, ends with an error
    // reply or, in image type, delivers another size than it stated as "(N bytes)". Whatever
    // ends it, the completion reply is read (or the session closed) before it returns.
    // Target: the descriptor to write into (LocalFile then only names it) and the disk
    // reserve; a Limit of 0 or more is the size the file must have, known beforehand: the
    // capture stops past it whatever the server states, and any other size fails the download.
    void Download(const QString& RemoteFile, const QString& LocalFile = QString(),
                  const TCaptureTarget& Target = {});

    // The data connection of the running download, or none.
    TAsyncSocket* DataConnection() const { return m_data; }

    // Published settings.
    QString UserID;
    QString Password;
    bool ParseList = false;
    int ServerKind = DefaultServerKind;

    // The login has completed; replaces the socket layer's connection notification for
    // users of the component.
    TNotifyEvent OnConnect;
    THandlerEvent OnAuthenticationNeeded;
    TNotifyEvent OnAuthenticationFailed;
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    TSuccessEvent OnSuccess;
    TFailureEvent OnFailure;
    TUnsupportedEvent OnUnSupportedFunction;
    TListItemEvent OnListItem;

    // ms within which the completion reply must come after the data side of a download failed
    // (never more than IdleTimeOut); a server that does not answer in time is out of step and
    // the session is closed.
    int SettleTimeOut = FtpConst::SettleMs;
    // ms within which a whole reply must have come, from its command to its last line (the
    // continuation lines of a greeting or a preliminary reply included); later, it fails like a
    // silent server and the session is closed, being out of step. 0: no bound.
    int ReplyTimeOut = FtpConst::ReplyMs;

    // During a download the announced size (0 if none); afterwards the bytes received.
    qint64 TransferSize = 0;
    // When set before Download, the bytes are hashed as they arrive: ReceivedSha256 then gives
    // the lower-case hex SHA-256 of the file of the last completed download (empty otherwise).
    bool ComputeSha256 = false;
    const QByteArray& ReceivedSha256() const { return m_sha256; }

private:
    // Runs Read, which reads one reply, within ReplyTimeOut (unless a bound runs already).
    QString BoundedReply(const std::function<QString()>& Read);
    void ReadReplyRest(QString Line);
    // Reads a whole reply; returns its first line.
    QString ReadReply();
    // A first line without its three-digit number ends the session with that line as error.
    void CheckReplyLine(const QString& Line);
    void WatchReply();
    // The reply watcher while the data connection is awaited or captured.
    void WatchTransfer();
    // Download up to its completion reply; returns that reply.
    QString Transfer(const QString& RemoteFile, const QString& LocalFile, TCaptureTarget Target,
                     qint64& Announced);
    // Reads the completion reply that a failed transfer still owes, within SettleTimeOut.
    QString SettleCompletion();
    QString AfterAbortDrain();
    // The failure rule of downloads (code 8) and commands: OnFailure may let it go on.
    void Fail(TCmdType Code, const QString& Reply);
    void AcceptFromControlPeer();
    // A reply line past the line limit leaves the control connection out of step and still
    // filling: it is closed, so nothing after it is taken as a reply or kept in memory.
    void CloseIfOutOfStep();
    // The 421 or 426 line that canceled the control connection, read whole when it can be.
    QString AbortReply(const QString& Drained) const;

    TAsyncSocket* m_data = nullptr;
    QString m_abortLine;
    QByteArray m_sha256;
    // The last TYPE the server accepted in this session was image: only then is the size
    // stated in the preliminary reply the size of the file received.
    bool m_imageType = false;
    // The RETR was answered with a preliminary reply and its completion reply is not read yet.
    bool m_replyOwed = false;
    // The data connection is awaited or captured: the reply watcher ends it on a bad line.
    bool m_transferring = false;
};
