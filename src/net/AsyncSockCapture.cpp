// The data path of CaptureFile: received bytes fill blocks, each block goes to CapturedBlock
// and then to the file, within the capture's bound and the disk's reserve.
#include "net/AsyncSock.h"

#include <atomic>

#include <QFile>

#include <sys/statvfs.h>

char* TAsyncSocket::CaptureRoom(qsizetype count) {
    if (m_captureBlocks[m_captureBlock].size() + count > CaptureBlock)
        FlushCapture();
    QByteArray& block = m_captureBlocks[m_captureBlock];
    block.resize(block.size() + count);
    return block.data() + block.size() - count;
}

void TAsyncSocket::CaptureTaken(qsizetype room, qsizetype count) {
    m_captureBlocks[m_captureBlock].chop(room - std::min(room, count));
    if (count <= 0)
        return;
    Progress();
    ReceivedBytes += count;
    // A sender that goes on past the bound fills no disk: nothing more is written, and the
    // read that went past is dropped with the block.
    const qint64 limit = m_captureTarget.Limit;
    if (limit >= 0 && ReceivedBytes > limit && !m_captureFailed)
        FailCapture(std::make_exception_ptr(
            Exception(QStringLiteral("Received more than %1 bytes").arg(limit))));
}

void TAsyncSocket::FlushCapture() {
    QByteArray& block = m_captureBlocks[m_captureBlock];
    if (block.isEmpty() || m_captureFailed) {
        block.resize(0);
        return;
    }
    // Called from a notification, which has no caller to raise to: a failing hook or write
    // ends the capture, and CaptureFile raises its error.
    try {
        CheckDiskReserve(block.size());
        if (CapturedBlock)
            CapturedBlock(block);
        if (m_captureFile->write(block) != block.size())
            throw Exception(QStringLiteral("Stream write error"));
    } catch (...) {
        FailCapture(std::current_exception());
    }
    NextCaptureBlock();
}

void TAsyncSocket::FailCapture(std::exception_ptr error) {
    m_captureFailed = true;
    m_captureError = std::move(error);
}

void TAsyncSocket::CheckDiskReserve(qsizetype pending) const {
    struct statvfs fs {};
    // A file system that states no size (network and pseudo file systems may) is not judged.
    if (::fstatvfs(m_captureFile->handle(), &fs) != 0 || fs.f_blocks == 0 || fs.f_frsize == 0)
        return;
    const qint64 reserve = m_captureTarget.DiskReserve;
    const quint64 needed =
        (quint64(std::max<qint64>(reserve, 0)) + quint64(pending) + fs.f_frsize - 1) / fs.f_frsize;
    if (fs.f_bavail < needed)
        throw Exception(QStringLiteral("Stream write error: less than %1 MiB would stay free")
                            .arg(reserve >> 20));
}

// Takes up the first block the hook does not hold, the one just written first (so without a
// hook that keeps blocks there is only ever one); when it holds them all, a fresh block takes
// the place of the next, and the hook's copy lives on until it lets go.
void TAsyncSocket::NextCaptureBlock() {
    for (int i = 0; i < CaptureBlocks; ++i) {
        const int candidate = (m_captureBlock + i) % CaptureBlocks;
        if (m_captureBlocks[candidate].isDetached()) {
            // Pairs with the release of the hashing thread's last reference: its reads of the
            // block are over before the block is written again.
            std::atomic_thread_fence(std::memory_order_acquire);
            m_captureBlock = candidate;
            m_captureBlocks[candidate].resize(0);
            return;
        }
    }
    m_captureBlock = (m_captureBlock + 1) % CaptureBlocks;
    m_captureBlocks[m_captureBlock] = QByteArray();
    m_captureBlocks[m_captureBlock].reserve(CaptureBlock);
}
