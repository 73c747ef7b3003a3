#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>

namespace pacs::db {

// One field of a result row: null, a number, a text or a date and time.
// Date values read as "M/D/YYYY" (with " hh:mm:ss" when they carry a time),
// the way the program's statements and displays expect them.
class DbValue
{
public:
    enum class Type { Null, Integer, Real, Text, DateTime };

    DbValue() = default;
    static DbValue fromInteger(qint64 v);
    static DbValue fromReal(double v);
    static DbValue fromText(const QString &v);
    static DbValue fromDateTime(const QDateTime &v);
    // A QVariant of the usual kinds (null, numbers, texts, QDate, QTime, QDateTime).
    static DbValue fromVariant(const QVariant &v);

    Type type() const { return m_type; }
    bool isNull() const { return m_type == Type::Null; }
    bool isDateTime() const { return m_type == Type::DateTime; }

    QString toText() const;      // null gives an empty text
    qint64 toInteger() const;    // texts by their leading number
    double toReal() const;
    QDateTime toDateTime() const; // invalid unless a date value
    QVariant toVariant() const;

    bool operator==(const DbValue &other) const;

    // The stored form of a date and time in the embedded back ends.
    static QString isoText(const QDateTime &v);
    static QDateTime fromIsoText(const QString &text);

private:
    Type m_type = Type::Null;
    qint64 m_integer = 0;
    double m_real = 0.0;
    QString m_text;
    QDateTime m_dateTime;
};

} // namespace pacs::db
