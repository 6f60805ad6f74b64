#include "data/Field.h"

#include "platform/Exception.h"

#include <cmath>

QString Field::asString() const {
    if (isNull())
        return {};
    switch (m_value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float: {
        const double v = m_value.toDouble();
        // Whole numbers print without a fraction (and without an exponent while exact).
        if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15)
            return QString::number(qint64(v));
        return QString::number(v, 'g', 15);
    }
    case QMetaType::QDate:
        return m_value.toDate().toString(Qt::ISODate);
    case QMetaType::QByteArray:
        return QString::fromLatin1(m_value.toByteArray());
    case QMetaType::Bool:
        return m_value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    default:
        return m_value.toString();
    }
}

double Field::asFloat() const {
    if (isNull())
        return 0;
    if (m_value.typeId() == QMetaType::QString) {
        bool ok = false;
        const double v = m_value.toString().trimmed().toDouble(&ok);
        if (!ok)
            throw Exception(
                QStringLiteral("'%1' is not a valid floating point value").arg(m_value.toString()));
        return v;
    }
    return m_value.toDouble();
}

QByteArray Field::asBlob() const {
    if (isNull())
        return {};
    if (m_value.typeId() == QMetaType::QByteArray)
        return m_value.toByteArray();
    return m_value.toString().toLatin1();
}

QDate Field::asDate() const {
    if (isNull())
        return {};
    if (m_value.typeId() == QMetaType::QString)
        return QDate::fromString(m_value.toString(), Qt::ISODate);
    return m_value.toDate();
}
