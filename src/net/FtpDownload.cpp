#include "net/FtpClient.h"
#include "net/FtpReply.h"
#include "net/Sha256.h"
#include "net/SockErrors.h"

#include <QElapsedTimer>
#include <QScopeGuard>

#include <exception>
#include <memory>
#include <unistd.h>
#include <utility>

using namespace FtpReply;

void TFtpClient::Download(const QString& RemoteFile, const QString& LocalFile,
                          const TCaptureTarget& Target) {
    if (BreaksLine(RemoteFile))
        throw Exception(QString::fromLatin1(FtpConst::TextUnsafeName).arg(Printable(RemoteFile)));
    // No digest of an earlier file may stand for this one, whatever ends it.
    m_sha256.clear();
    CancelRequested = false;
    CheckConnected();
    if (!IsConnected)
        return;

    // Made first: if hashing is not available, no data connection is left behind.
    std::unique_ptr<Sha256> hash = ComputeSha256 ? std::make_unique<Sha256>() : nullptr;
    m_data = new TAsyncSocket(this);
    m_data->TimeOut = TimeOut;
    m_data->IdleTimeOut = IdleTimeOut;
    m_data->TotalTimeOut = TotalTimeOut;
    m_data->CaptureRateBytes = CaptureRateBytes;
    m_data->CaptureRateWindow = CaptureRateWindow;
    m_data->Port = 0;
    m_abortLine.clear();
    m_replyOwed = false;
    if (hash)
        m_data->CapturedBlock = [&hash](const QByteArray& block) { hash->add(block); };
    std::exception_ptr failure;
    qint64 announced = -1;
    QString completion;
    try {
        completion =
            Transfer(RemoteFile, LocalFile.isEmpty() ? RemoteFile : LocalFile, Target, announced);
    } catch (...) {
        failure = std::current_exception();
    }

    // The one way out: whatever happened, the completion reply the server owes is read before
    // anything else, so the next command gets its own reply.
    delete std::exchange(m_data, nullptr);
    const auto transferred = qScopeGuard([this] { m_transferring = false; });
    if (CancelRequested) {
        // A 421 or 426 seen by the reply watcher canceled what was waiting: the server's line
        // is the error.
        const QString reply = AbortReply(AfterAbortDrain());
        if (reply.isEmpty()) {
            if (failure)
                std::rethrow_exception(failure);
            throw EAbortError(QStringLiteral("Socket readln aborted"));
        }
        Fail(cmdDownload, reply);
        return;
    }
    if (ReceiveStreamSize() > MaxLineLength) {
        // More than a line came while the data connection was awaited or read.
        TAsyncSocket::Disconnect();
        throw ESockError(SockErrors::text(SockErrors::MessageTooLong));
    }
    if (m_replyOwed)
        completion = SettleCompletion();
    if (failure) {
        // A local error (the file) or a refused PORT or RETR is what the user needs to hear;
        // a broken or canceled data connection is better told by the server's error reply.
        try {
            std::rethrow_exception(failure);
        } catch (const ESockError&) {
            if (!InRange(ReplyCode(completion), FtpConst::CommandFailFirst, FtpConst::FailLast))
                throw;
        }
        Fail(cmdDownload, FirstLine(completion));
        return;
    }
    if (InRange(ReplyCode(completion), FtpConst::CommandFailFirst, FtpConst::FailLast)) {
        Fail(cmdDownload, completion);
    } else if (Target.Limit >= 0 && TransferSize != Target.Limit) {
        Fail(cmdDownload,
             QString::fromLatin1(FtpConst::TextWrongSize).arg(TransferSize).arg(Target.Limit));
    } else if (Target.Limit < 0 && m_imageType && announced >= 0 && TransferSize != announced) {
        // Only an image transfer keeps the stated size: ASCII changes line ends on the way.
        Fail(cmdDownload,
             QString::fromLatin1(FtpConst::TextShortTransfer).arg(TransferSize).arg(announced));
    } else if (hash) {
        m_sha256 = hash->hexDigest();
    }
    if (OnSuccess)
        OnSuccess(cmdDownload);
}

QString TFtpClient::Transfer(const QString& RemoteFile, const QString& LocalFile,
                             TCaptureTarget Target, qint64& Announced) {
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
    BoundedReply([&] {
        const QString preliminary = TAsyncSocket::Transaction(retr);
        CheckReplyLine(preliminary);
        if (InRange(ReplyNumber, FtpConst::TransferFailFirst, FtpConst::FailLast))
            Fail(cmdDownload, preliminary);
        m_replyOwed = InRange(ReplyNumber, 100, 199);
        TransferSize = FtpConst::ParseTransferSize(preliminary.toLatin1());
        Announced = FtpConst::AnnouncedSize(preliminary.toLatin1());
        QString line = preliminary;
        while (Continues(line)) {
            line = ReadLn();
            ReportStatus(1, line);
            if (TransferSize == 0)
                TransferSize = FtpConst::ParseTransferSize(line.toLatin1());
            if (Announced < 0)
                Announced = FtpConst::AnnouncedSize(line.toLatin1());
            if (InRange(ReplyCode(line), FtpConst::TransferFailFirst, FtpConst::FailLast))
                Fail(cmdDownload, line);
        }
        return preliminary;
    });

    // From here on the server has nothing to say on the control connection but the end; the
    // reply watcher takes no 421 or 426 as a cancel of the control connection until the
    // completion reply is read.
    m_transferring = true;
    WatchTransfer();
    AcceptFromControlPeer();
    if (OnTransactionStart)
        OnTransactionStart(this);
    if (CancelRequested || TimedOut)
        throw EAbortError(QStringLiteral("Socket readln aborted"));
    // A file that grows past its known or stated size would be refused at the end: it stops at
    // once, before a server that never stops can fill the disk. A size known beforehand (signed)
    // is the bound; the server's own statement is one only without it.
    if (Target.Limit < 0 && m_imageType && Announced >= 0)
        Target.Limit = Announced;
    m_data->CaptureFile(LocalFile, Target);
    if (OnTransactionStop)
        OnTransactionStop(this);
    m_data->RequestCloseSocket();
    TransferSize = m_data->ReceivedBytes;
    ReportStatus(1, QLatin1String(FtpConst::TextReceived) + QString::number(TransferSize) +
                        QLatin1String(FtpConst::TextBytes));

    m_replyOwed = false;
    try {
        return ReadReply();
    } catch (const ESockError&) {
        // Without its completion reply the control connection is out of step.
        if (IsConnected)
            TAsyncSocket::Disconnect();
        throw;
    }
}

void TFtpClient::WatchTransfer() {
    if (m_data == nullptr || m_data->CancelRequested)
        return;
    const QString head = QString::fromLatin1(PeekReceiveStream(4));
    if (head.size() < 3 && !head.contains(QLatin1Char('\n')))
        return;
    // An error reply, a line that is no reply or a flood ends the wait for the data at once;
    // the completion reply (226) may come before the data is read, and is read after it.
    if (!HasCode(head) || ReplyCode(head) >= FtpConst::CommandFailFirst ||
        ReceiveStreamSize() > MaxLineLength)
        m_data->Cancel();
}

QString TFtpClient::SettleCompletion() {
    m_replyOwed = false;
    if (!IsConnected)
        return QString();
    const int idle = IdleTimeOut;
    const int total = TotalTimeOut;
    const int bound = idle > 0 ? std::min(SettleTimeOut, idle) : SettleTimeOut;
    IdleTimeOut = bound;
    TotalTimeOut = bound;
    const auto restore = qScopeGuard([&] {
        IdleTimeOut = idle;
        TotalTimeOut = total;
    });
    try {
        return ReadReply();
    } catch (const ESockError&) {
        // No reply in time: the session is out of step and ends. A flood is its own error;
        // otherwise the transfer's error is the one to report.
        const bool flooded = ReceiveStreamSize() > MaxLineLength;
        if (IsConnected)
            TAsyncSocket::Disconnect();
        if (flooded)
            throw;
    }
    return QString();
}

void TFtpClient::AcceptFromControlPeer() {
    const QString peer = RemoteAddressText();
    // Intruders on the data port restart neither bound: the accept as a whole has them.
    QElapsedTimer accepting;
    accepting.start();
    const auto left = [&accepting](int bound) {
        return bound > 0 ? std::max<int>(1, bound - int(accepting.elapsed())) : 0;
    };
    for (;;) {
        m_data->IdleTimeOut = left(IdleTimeOut);
        m_data->TotalTimeOut = left(TotalTimeOut);
        const TSocket accepted = m_data->AcceptConnection();
        if (m_data->RemoteAddressText() == peer) {
            m_data->ReplaceSocket(accepted);
            m_data->IdleTimeOut = IdleTimeOut;
            return;
        }
        // Someone else got to the announced port first: drop it and wait for the server.
        ::close(accepted);
        m_data->AsyncDone = false;
        m_data->IsConnected = false;
    }
}
