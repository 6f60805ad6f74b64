#include "net/FtpClient.h"
#include "net/Sha256.h"

#include <memory>
#include <unistd.h>
#include <utility>

namespace {

bool InRange(int number, int first, int last) {
    return number >= first && number <= last;
}

// The number at the start of a reply line, 0 when it has none.
int ReplyCode(const QString& line) {
    int digits = 0;
    while (digits < line.size() && digits < 3 && line[digits].isDigit())
        ++digits;
    return digits == 0 ? 0 : line.left(digits).toInt();
}

// A line continues a multi-line reply when it starts with a blank or has "-" after its number.
bool Continues(const QString& line) {
    return line.startsWith(QLatin1Char(' ')) || (line.size() >= 4 && line[3] == QLatin1Char('-'));
}

// A text that goes into a command line must not end that line or start another.
bool BreaksLine(const QString& text) {
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) ||
           text.contains(QChar(0));
}

QString Printable(QString text) {
    for (QChar& c : text)
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0))
            c = QLatin1Char('?');
    return text;
}

QString FirstLine(const QString& text) {
    const qsizetype lf = text.indexOf(QLatin1Char('\n'));
    return lf < 0 ? text : text.left(lf + 1);
}

bool IsAbortReply(const QString& text) {
    return text.startsWith(QLatin1String("421")) || text.startsWith(QLatin1String("426"));
}

} // namespace

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

QString TFtpClient::Transaction(const QString& Command) {
    const QString reply = TAsyncSocket::Transaction(Command);
    ReadReplyRest(reply);
    return reply;
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
        ReadReplyRest(QStringLiteral(" "));
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

void TFtpClient::AcceptFromControlPeer() {
    const QString peer = RemoteAddressText();
    for (;;) {
        const TSocket accepted = m_data->AcceptConnection();
        if (m_data->RemoteAddressText() == peer) {
            m_data->ReplaceSocket(accepted);
            return;
        }
        // Someone else got to the announced port first: drop it and wait for the server.
        ::close(accepted);
        m_data->AsyncDone = false;
        m_data->IsConnected = false;
    }
}

void TFtpClient::FinishAfterLocalError() {
    // The server still ends the transfer with a reply; read it so the next command gets its own.
    m_data->RequestCloseSocket();
    try {
        const QString completion = ReadLn();
        ReportStatus(1, completion);
        ReadReplyRest(completion);
    } catch (const Exception&) {
        // The local error is the one to report.
    }
    if (CancelRequested)
        AfterAbortDrain();
    m_abortLine.clear();
}

void TFtpClient::CloseIfOutOfStep() {
    if (ReceiveStreamSize() > MaxLineLength)
        TAsyncSocket::Disconnect();
}

void TFtpClient::Download(const QString& RemoteFile, const QString& LocalFile) {
    if (BreaksLine(RemoteFile))
        throw Exception(QString::fromLatin1(FtpConst::TextUnsafeName).arg(Printable(RemoteFile)));
    CancelRequested = false;
    CheckConnected();
    if (!IsConnected)
        return;

    m_data = new TAsyncSocket(this);
    m_data->TimeOut = TimeOut;
    m_data->IdleTimeOut = IdleTimeOut;
    m_data->Port = 0;
    m_abortLine.clear();
    m_sha256.clear();
    std::unique_ptr<Sha256> hash;
    if (ComputeSha256) {
        hash = std::make_unique<Sha256>();
        m_data->CapturedBytes = [&hash](const char* data, qsizetype count) {
            hash->add(data, count);
        };
    }
    bool completed = false;
    bool skippedCompletion = false;
    try {
        if (ReceiveStreamSize() > 0)
            Read(0);
        m_data->Listen(true);

        const QString port =
            QLatin1String(FtpConst::CmdPort) + LocalAddressText() + m_data->LocalPortText();
        ReportStatus(1, port);
        const QString portReply = Transaction(port);
        if (InRange(ReplyNumber, FtpConst::TransferFailFirst, FtpConst::FailLast))
            Fail(cmdDownload, portReply);
        if (OnPacketRecvd)
            m_data->OnPacketRecvd = OnPacketRecvd;

        const QString retr = QLatin1String(FtpConst::CmdRetr) + RemoteFile;
        ReportStatus(1, retr);
        TransferSize = 0;
        const QString preliminary = TAsyncSocket::Transaction(retr);
        if (InRange(ReplyNumber, FtpConst::TransferFailFirst, FtpConst::FailLast))
            Fail(cmdDownload, preliminary);
        TransferSize = FtpConst::ParseTransferSize(preliminary.toLatin1());
        qint64 announced = FtpConst::AnnouncedSize(preliminary.toLatin1());
        QString line = preliminary;
        while (Continues(line)) {
            line = ReadLn();
            ReportStatus(1, line);
            if (TransferSize == 0)
                TransferSize = FtpConst::ParseTransferSize(line.toLatin1());
            if (announced < 0)
                announced = FtpConst::AnnouncedSize(line.toLatin1());
            if (InRange(ReplyCode(line), FtpConst::TransferFailFirst, FtpConst::FailLast))
                Fail(cmdDownload, line);
        }

        AcceptFromControlPeer();
        if (OnTransactionStart)
            OnTransactionStart(this);

        const QString target = LocalFile.isEmpty() ? RemoteFile : LocalFile;
        if (!CancelRequested && !TimedOut) {
            try {
                m_data->CaptureFile(target);
            } catch (const ESockError&) {
                throw;
            } catch (const Exception&) {
                // The local file cannot be created or written.
                FinishAfterLocalError();
                throw;
            }
        }
        if (OnTransactionStop)
            OnTransactionStop(this);
        m_data->RequestCloseSocket();
        TransferSize = m_data->ReceivedBytes;
        ReportStatus(1, QLatin1String(FtpConst::TextReceived) + QString::number(TransferSize) +
                            QLatin1String(FtpConst::TextBytes));

        QString completion;
        if (!CancelRequested && !TimedOut) {
            completion = ReadLn();
            ReportStatus(1, completion);
            ReadReplyRest(completion);
            if (IsAbortReply(completion))
                m_abortLine = FirstLine(completion);
        } else {
            skippedCompletion = true;
        }
        if (!skippedCompletion &&
            InRange(ReplyCode(completion), FtpConst::CommandFailFirst, FtpConst::FailLast))
            Fail(cmdDownload, completion);
        else if (!skippedCompletion && m_imageType && announced >= 0 && TransferSize != announced)
            // Only an image transfer keeps the stated size: ASCII changes line ends on the way.
            Fail(cmdDownload,
                 QString::fromLatin1(FtpConst::TextShortTransfer).arg(TransferSize).arg(announced));
        completed = !skippedCompletion;
        if (completed && hash)
            m_sha256 = hash->hexDigest();
    } catch (const FTPException&) {
        delete std::exchange(m_data, nullptr);
        if (CancelRequested)
            AfterAbortDrain();
        throw;
    } catch (const Exception&) {
        delete std::exchange(m_data, nullptr);
        CloseIfOutOfStep();
        if (!CancelRequested)
            throw;
        // A 421 or 426 seen by the reply watcher canceled what was waiting (the accept, the
        // capture or a read): the server's line is the error.
        const QString reply = AbortReply(AfterAbortDrain());
        if (reply.isEmpty())
            throw;
        Fail(cmdDownload, reply);
        return;
    }
    delete std::exchange(m_data, nullptr);
    if (completed && OnSuccess)
        OnSuccess(cmdDownload);
    if (skippedCompletion) {
        const QString reply = CancelRequested ? AbortReply(AfterAbortDrain()) : m_abortLine;
        if (reply.isEmpty())
            throw EAbortError(QStringLiteral("Socket readln aborted"));
        Fail(cmdDownload, reply);
    }
}
