#include "db/DbValue.h"

#include "core/TextValues.h"

#include <cmath>

namespace pacs::db {

DbValue DbValue::fromInteger(qint64 v)
{
    DbValue d;
    d.m_type = Type::Integer;
    d.m_integer = v;
    return d;
}

DbValue DbValue::fromReal(double v)
{
    DbValue d;
    d.m_type = Type::Real;
    d.m_real = v;
    return d;
}

DbValue DbValue::fromText(const QString &v)
{
    DbValue d;
    d.m_type = Type::Text;
    d.m_text = v;
    return d;
}

DbValue DbValue::fromDateTime(const QDateTime &v)
{
    if (!v.isValid())
        return DbValue();
    DbValue d;
    d.m_type = Type::DateTime;
    d.m_dateTime = v;
    return d;
}

DbValue DbValue::fromVariant(const QVariant &v)
{
    if (!v.isValid() || v.isNull())
        return DbValue();
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Bool:
        return fromInteger(v.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return fromReal(v.toDouble());
    case QMetaType::QDate:
        return fromDateTime(QDateTime(v.toDate(), QTime(0, 0)));
    case QMetaType::QTime:
        return fromDateTime(QDateTime(QDate(1900, 1, 1), v.toTime()));
    case QMetaType::QDateTime:
        return fromDateTime(v.toDateTime());
    default:
        return fromText(v.toString());
    }
}

QString DbValue::toText() const
{
    switch (m_type) {
    case Type::Null:
        return QString();
    case Type::Integer:
        return QString::number(m_integer);
    case Type::Real:
        if (std::isfinite(m_real) && m_real == std::floor(m_real) && std::fabs(m_real) < 1e15)
            return QString::number(qint64(m_real));
        return QString::number(m_real, 'g', 15);
    case Type::Text:
        return m_text;
    case Type::DateTime: {
        const QString date = shortDate(m_dateTime.date());
        if (m_dateTime.time() == QTime(0, 0))
            return date;
        return date + QLatin1Char(' ') + m_dateTime.time().toString(QStringLiteral("HH:mm:ss"));
    }
    }
    return QString();
}

qint64 DbValue::toInteger() const
{
    switch (m_type) {
    case Type::Integer:
        return m_integer;
    case Type::Real:
        return qint64(std::nearbyint(m_real));
    case Type::Text:
        return qint64(std::nearbyint(numericValue(m_text)));
    default:
        return 0;
    }
}

double DbValue::toReal() const
{
    switch (m_type) {
    case Type::Integer:
        return double(m_integer);
    case Type::Real:
        return m_real;
    case Type::Text:
        return numericValue(m_text);
    default:
        return 0.0;
    }
}

QDateTime DbValue::toDateTime() const
{
    return m_type == Type::DateTime ? m_dateTime : QDateTime();
}

QVariant DbValue::toVariant() const
{
    switch (m_type) {
    case Type::Null:
        return QVariant();
    case Type::Integer:
        return QVariant(m_integer);
    case Type::Real:
        return QVariant(m_real);
    case Type::Text:
        return QVariant(m_text);
    case Type::DateTime:
        return QVariant(m_dateTime);
    }
    return QVariant();
}

bool DbValue::operator==(const DbValue &other) const
{
    if (m_type != other.m_type)
        return false;
    switch (m_type) {
    case Type::Null:
        return true;
    case Type::Integer:
        return m_integer == other.m_integer;
    case Type::Real:
        return m_real == other.m_real;
    case Type::Text:
        return m_text == other.m_text;
    case Type::DateTime:
        return m_dateTime == other.m_dateTime;
    }
    return false;
}

QString DbValue::isoText(const QDateTime &v)
{
    return v.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QDateTime DbValue::fromIsoText(const QString &text)
{
    if (text.size() < 10 || text[4] != QLatin1Char('-') || text[7] != QLatin1Char('-'))
        return QDateTime();
    QDateTime v = QDateTime::fromString(text.left(19), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!v.isValid() && text.size() == 10)
        v = QDateTime(QDate::fromString(text, QStringLiteral("yyyy-MM-dd")), QTime(0, 0));
    return v;
}

} // namespace pacs::db
