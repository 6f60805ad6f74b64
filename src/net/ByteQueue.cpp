#include "net/ByteQueue.h"

QByteArray ByteQueue::take(qsizetype count) {
    const QByteArray taken = m_bytes.mid(m_head, count);
    m_head += taken.size();
    compact();
    return taken;
}

void ByteQueue::drop(qsizetype count) {
    m_head += std::min(count, size());
    compact();
}

qsizetype ByteQueue::lineLength() const {
    const qsizetype lineFeed = m_bytes.indexOf('\n', m_head);
    return lineFeed < 0 ? -1 : lineFeed - m_head + 1;
}

void ByteQueue::clear() {
    m_bytes.resize(0);
    m_head = 0;
}

void ByteQueue::compact() {
    if (m_head >= m_bytes.size()) {
        clear();
    } else if (m_head >= m_bytes.size() / 2) {
        m_bytes.remove(0, m_head);
        m_head = 0;
    }
}
