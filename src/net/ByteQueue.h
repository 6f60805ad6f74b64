#pragma once

#include <QByteArray>

// Bytes in arrival order: appended at the back, taken from the front. Taken bytes are not
// copied away one by one; the rest moves to the front only once it is the smaller part.
class ByteQueue {
public:
    qsizetype size() const { return m_bytes.size() - m_head; }
    bool isEmpty() const { return size() == 0; }
    const char* front() const { return m_bytes.constData() + m_head; }

    void append(const char* data, qsizetype count) { m_bytes.append(data, count); }
    QByteArray peek(qsizetype count) const { return m_bytes.mid(m_head, count); }
    // Takes up to count bytes from the front.
    QByteArray take(qsizetype count);
    // Drops up to count bytes from the front.
    void drop(qsizetype count);
    // The length of the first line, its line feed included; -1 while no line feed has come.
    qsizetype lineLength() const;
    void clear();

private:
    void compact();

    QByteArray m_bytes;
    qsizetype m_head = 0;
};
