#include "net/AsyncSock.h"

#include <QFile>

class AsyncSockWindow : public QObject {};

TThreadTimer::TThreadTimer(QObject* Owner) : QObject(Owner) {}
TThreadTimer::~TThreadTimer() = default;
void TThreadTimer::SetEnabled(bool value) {
    m_enabled = value;
}
void TThreadTimer::SetInterval(unsigned value) {
    m_interval = value;
}
void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
    m_onTimer = std::move(handler);
}
void TThreadTimer::timerEvent(QTimerEvent*) {}

TAsyncSocket::TAsyncSocket(QObject* Owner) : QObject(Owner) {}
TAsyncSocket::~TAsyncSocket() = default;
TAsyncSocket::TSocket TAsyncSocket::AcceptConnection() {
    return NoSocket;
}
void TAsyncSocket::Connect() {}
void TAsyncSocket::Disconnect() {}
QString TAsyncSocket::Transaction(const QString&) {
    return {};
}
void TAsyncSocket::Abort() {}
void TAsyncSocket::Cancel() {
    CancelRequested = true;
}
void TAsyncSocket::Write(const QString&) {}
void TAsyncSocket::Writeln(const QString&) {}
void TAsyncSocket::SendBuffer(const char*, int) {}
QString TAsyncSocket::Read(int) {
    return {};
}
QString TAsyncSocket::ReadLn() {
    return {};
}
void TAsyncSocket::Listen(bool) {}
void TAsyncSocket::ReplaceSocket(TSocket) {}
void TAsyncSocket::CaptureFile(const QString&) {}
QString TAsyncSocket::LocalAddressText() const {
    return {};
}
QString TAsyncSocket::LocalPortText() const {
    return {};
}
void TAsyncSocket::CheckConnected() {}
void TAsyncSocket::RequestCloseSocket() {}
qsizetype TAsyncSocket::ReceiveStreamSize() const {
    return m_recv.size() - m_recvHead;
}
QByteArray TAsyncSocket::PeekReceiveStream(qsizetype Count) const {
    return m_recv.mid(m_recvHead, Count);
}
void TAsyncSocket::ClearReceiveStream() {
    m_recv.clear();
    m_recvHead = 0;
}
void TAsyncSocket::ReportStatus(int, const QString&) {}
QString TAsyncSocket::LookupErrorMessage(int) {
    return {};
}
QString TAsyncSocket::RemoteAddressText() const {
    return {};
}
int TAsyncSocket::ComponentCount() {
    return 0;
}
