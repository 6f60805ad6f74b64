#pragma once

#include <QString>
#include <exception>

// The general error class of the system: it carries only its message. Every error that the
// windows raise derives from it, and the application's top-level handler shows its message.
class Exception : public std::exception {
public:
    explicit Exception(QString message)
        : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}
    const QString& message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};
