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
    // connection. Raises FTPException when the server refuses, aborts (421, 426), ends with
    // an error reply or delivers another size than it announced.
    void Download(const QString& RemoteFile, const QString& LocalFile = QString());

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

    // During a download the announced size (0 if none); afterwards the bytes received.
    qint64 TransferSize = 0;
    // When set before Download, the bytes are hashed as they arrive: ReceivedSha256 then gives
    // the lower-case hex SHA-256 of the file of the last completed download (empty otherwise).
    bool ComputeSha256 = false;
    const QByteArray& ReceivedSha256() const { return m_sha256; }

private:
    void ReadReplyRest(QString Line);
    void WatchReply();
    QString AfterAbortDrain();
    // The failure rule of downloads (code 8) and commands: OnFailure may let it go on.
    void Fail(TCmdType Code, const QString& Reply);
    void AcceptFromControlPeer();
    void FinishAfterLocalError();
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
};
