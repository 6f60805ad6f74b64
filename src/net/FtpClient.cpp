#include "net/FtpClient.h"
#include "net/FtpReply.h"

#include <QScopeGuard>

using namespace FtpReply;

TFtpClient::TFtpClient(QObject* Owner) : TAsyncSocket(Owner) {
    Port = FtpConst::DefaultPort;
    DataArrived = [this] { WatchReply(); };
}

TFtpClient::~TFtpClient() {
    Abort();
    Cancel();
    if (IsConnected) {
        try {
            Disconnect();
        } catch (const Exception&) {
            // Going away: a refused QUIT changes nothing, the socket is closed all the same.
        }
    }
}

void TFtpClient::ReadReplyRest(QString Line) {
    while (Continues(Line)) {
        Line = ReadLn();
        ReportStatus(1, Line);
    }
}

QString TFtpClient::BoundedReply(const std::function<QString()>& Read) {
    if (ReplyTimeOut <= 0 || !WaitDeadline.isForever())
        return Read();
    WaitDeadline.setRemainingTime(ReplyTimeOut);
    const auto unbound = qScopeGuard([this] { WaitDeadline = QDeadlineTimer::Forever; });
    try {
        return Read();
    } catch (const ESockError&) {
        // The rest of a late reply would be taken as the answer to the next command.
        if (WaitDeadline.hasExpired() && IsConnected)
            TAsyncSocket::Disconnect();
        throw;
    }
}

QString TFtpClient::ReadReply() {
    return BoundedReply([this] {
        const QString first = ReadLn();
        ReportStatus(1, first);
        CheckReplyLine(first);
        ReadReplyRest(first);
        return first;
    });
}

QString TFtpClient::Transaction(const QString& Command) {
    return BoundedReply([this, &Command] {
        const QString reply = TAsyncSocket::Transaction(Command);
        CheckReplyLine(reply);
        ReadReplyRest(reply);
        return reply;
    });
}

void TFtpClient::Connect() {
    CancelRequested = false;
    if (IsConnected)
        return;
    ClearReceiveStream();
    m_abortLine.clear();
    m_imageType = false;
    TAsyncSocket::Connect();
    try {
        ReadReply();
        if ((UserID.isEmpty() || Password.isEmpty()) && OnAuthenticationNeeded) {
            bool handled = false;
            OnAuthenticationNeeded(handled);
        }
        ReportStatus(1, QLatin1String(FtpConst::CmdUser) + UserID);
        QString reply = Transaction(QLatin1String(FtpConst::CmdUser) + UserID +
                                    (Proxy.isEmpty() ? QString() : QLatin1Char('@') + Host));
        if (InRange(ReplyNumber, FtpConst::LoginFailFirst, FtpConst::FailLast)) {
            if (OnConnectionFailed)
                OnConnectionFailed(this);
            throw FTPException(reply);
        }
        if (ReplyNumber == FtpConst::ReplyNeedPassword) {
            ReportStatus(1, QLatin1String(FtpConst::CmdPass));
            reply = Transaction(QLatin1String(FtpConst::CmdPass) + Password);
            if (InRange(ReplyNumber, FtpConst::LoginFailFirst, FtpConst::FailLast)) {
                if (OnConnectionFailed)
                    OnConnectionFailed(this);
                throw FTPException(reply);
            }
        }
        if (OnConnect)
            OnConnect(this);
    } catch (const Exception& error) {
        // A server that said 421 while we waited gets that line as the error, not the abort.
        const QString abortReply = CancelRequested ? AbortReply(AfterAbortDrain()) : QString();
        if (dynamic_cast<const ESockError*>(&error) && abortReply.isEmpty()) {
            // The connection is dead or silent: a QUIT would only wait for nothing.
            if (IsConnected)
                TAsyncSocket::Disconnect();
        } else {
            try {
                Disconnect();
            } catch (const Exception&) {
                // The login error is what the caller needs to see.
            }
        }
        ReportStatus(1, QLatin1String(FtpConst::TextDisconnected));
        if (!abortReply.isEmpty()) {
            if (OnConnectionFailed)
                OnConnectionFailed(this);
            throw FTPException(abortReply);
        }
        throw;
    }
}

void TFtpClient::Disconnect() {
    CancelRequested = false;
    if (!IsConnected)
        return;
    ReportStatus(1, QLatin1String(FtpConst::CmdQuit));
    ServerKind = DefaultServerKind;
    try {
        if (ReceiveStreamSize() > 0)
            Read(0);
        const QString reply = Transaction(QLatin1String(FtpConst::CmdQuit));
        if (InRange(ReplyNumber, FtpConst::TransferFailFirst, FtpConst::FailLast))
            throw FTPException(reply);
    } catch (...) {
        // A QUIT answered too late has closed the session already.
        if (IsConnected)
            TAsyncSocket::Disconnect();
        throw;
    }
    TAsyncSocket::Disconnect();
}

void TFtpClient::SendCommand(const QString& Command) {
    const TCmdType code = FtpConst::CommandType(Command);
    if (BreaksLine(Command))
        throw Exception(QString::fromLatin1(FtpConst::TextUnsafeCommand).arg(Printable(Command)));
    CancelRequested = false;
    CheckConnected();
    if (!IsConnected)
        return;
    ReportStatus(1, Command);
    if (ReceiveStreamSize() > 0)
        Read(0);
    m_abortLine.clear();
    QString reply;
    try {
        reply = Transaction(Command);
    } catch (const EAbortError&) {
        // The reply watcher canceled the read: the server answered 421 or 426.
        if (!CancelRequested)
            throw;
        reply = AbortReply(AfterAbortDrain());
        if (reply.isEmpty())
            throw;
        ReplyNumber = static_cast<qint16>(ReplyCode(reply));
    } catch (const ESockError&) {
        CloseIfOutOfStep();
        throw;
    }
    if (InRange(ReplyNumber, FtpConst::CommandFailFirst, FtpConst::FailLast)) {
        Fail(code, reply);
        return;
    }
    if (Command.startsWith(QLatin1String(FtpConst::CmdType)))
        m_imageType = Command == QLatin1String(FtpConst::CmdTypeImage);
    if (OnSuccess)
        OnSuccess(code);
}

void TFtpClient::SetTransferType(int Code) {
    switch (Code) {
    case FtpConst::TypeAscii:
        SendCommand(QLatin1String(FtpConst::CmdTypeAscii));
        break;
    case FtpConst::TypeImage:
        SendCommand(QLatin1String(FtpConst::CmdTypeImage));
        break;
    case FtpConst::TypeLocal8:
        SendCommand(QLatin1String(FtpConst::CmdTypeLocal8));
        break;
    default:
        break;
    }
}

void TFtpClient::Fail(TCmdType Code, const QString& Reply) {
    if (OnUnSupportedFunction &&
        InRange(ReplyCode(Reply), FtpConst::UnsupportedFirst, FtpConst::UnsupportedLast))
        OnUnSupportedFunction(Code);
    if (!OnFailure)
        throw FTPException(Reply);
    bool handled = false;
    OnFailure(handled, Code);
    if (!handled)
        throw FTPException(Reply);
}

void TFtpClient::Abort() {
    if (m_data)
        m_data->Cancel();
}

void TFtpClient::WatchReply() {
    if (m_transferring) {
        WatchTransfer();
        return;
    }
    if (ReceiveStreamSize() < 4)
        return;
    const QString head = QString::fromLatin1(PeekReceiveStream(MaxLineLength));
    if (!IsAbortReply(head))
        return;
    // Keep the line as far as it has come; reading stops once the connection is canceled.
    m_abortLine = FirstLine(head);
    if (!CancelRequested) {
        Cancel();
        // A transfer the server has given up must not keep waiting for its data.
        if (m_data)
            m_data->Cancel();
    }
}

QString TFtpClient::AfterAbortDrain() {
    CancelRequested = false;
    QString taken = Read(0);
    // The server's last words may still be on their way: wait, within the bound, for the end
    // of the line, so the error shows it whole.
    if (!taken.contains(QLatin1Char('\n')) && IsConnected) {
        const int idle = IdleTimeOut;
        IdleTimeOut = FtpConst::DrainMs;
        try {
            taken += ReadLn();
        } catch (const Exception&) {
            taken += Read(0);
        }
        IdleTimeOut = idle;
        CancelRequested = false;
    }
    ReportStatus(1, taken);
    return taken;
}

QString TFtpClient::AbortReply(const QString& Drained) const {
    if (IsAbortReply(Drained))
        return FirstLine(Drained);
    return m_abortLine;
}

void TFtpClient::CheckReplyLine(const QString& Line) {
    if (HasCode(Line))
        return;
    // Not an FTP reply: nothing after it can be trusted to be in step either.
    if (IsConnected)
        TAsyncSocket::Disconnect();
    throw FTPException(Line);
}

void TFtpClient::CloseIfOutOfStep() {
    if (ReceiveStreamSize() > MaxLineLength)
        TAsyncSocket::Disconnect();
}
