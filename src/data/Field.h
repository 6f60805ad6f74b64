#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QVariant>

// One field value of the current row (or one procedure parameter).
class Field {
public:
    Field() = default;
    Field(QString name, QVariant value) : m_name(std::move(name)), m_value(std::move(value)) {}

    const QString& name() const { return m_name; }
    const QVariant& value() const { return m_value; }
    bool isNull() const { return m_value.isNull() || !m_value.isValid(); }

    // Text form; numbers in the shortest general form (1 -> "1", 2.5 -> "2.5"); null -> "".
    QString asString() const;
    double asFloat() const;
    QByteArray asBlob() const;
    QDate asDate() const;

private:
    QString m_name;
    QVariant m_value;
};
