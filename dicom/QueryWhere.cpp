#include "dicom/QueryWhere.h"

#include "db/SqlText.h"
#include "dicom/PersonName.h"
#include "dicom/toolkit/ToolkitAttribute.h"

#include <QDate>
#include <QTime>

namespace pacs::QueryWhere {

namespace {

// The escape character of every LIKE pattern: SQL Server, SQLite and
// PostgreSQL all take it in ESCAPE, and it is no DICOM wildcard.
constexpr char16_t kEscape = u'\\';

// The quoted pattern with its ESCAPE clause: 'PID\_03' ESCAPE '\'
QString likePattern(const QString &value)
{
    return QLatin1Char('\'') + db::Quote(ConvertWildcards(value)) + QStringLiteral("' ESCAPE '") + QChar(kEscape) + QLatin1Char('\'');
}

QString likeCondition(const QString &column, const QString &value)
{
    return column + QStringLiteral(" LIKE ") + likePattern(value);
}

QString existsCondition(const QString &opening, const QString &value)
{
    return QStringLiteral("EXISTS ( ") + opening + QLatin1Char(' ') + likePattern(value) + QLatin1Char(')');
}

void addMatch(QString &where, const QVariant &value, const std::function<QString(const QString &)> &condition)
{
    if (value.typeId() == QMetaType::QStringList) {
        const QStringList values = value.toStringList();
        if (values.isEmpty())
            return;
        QStringList conditions;
        for (const QString &v : values)
            conditions << condition(v);
        AppendWhere(where);
        where += QStringLiteral(" ( ") + conditions.join(QStringLiteral(" OR ")) + QStringLiteral(" ) ");
        return;
    }
    const QString text = toolkit::ToolkitAttribute::textOf(value);
    if (text.isEmpty())
        return;
    AppendWhere(where);
    where += condition(text);
}

} // namespace

void AppendWhere(QString &where)
{
    if (where.isEmpty())
        where = QStringLiteral("WHERE ");
    else
        where += QStringLiteral(" AND ");
}

QString ConvertWildcards(const QString &value)
{
    // Only "*" and "?" are wildcards in a match value; every character that
    // LIKE would take as one (SQL Server's "[" too) must match itself.
    QString converted;
    converted.reserve(value.size() + 8);
    for (const QChar c : value) {
        if (c == QLatin1Char('*'))
            converted += QLatin1Char('%');
        else if (c == QLatin1Char('?'))
            converted += QLatin1Char('_');
        else if (c == QLatin1Char('%') || c == QLatin1Char('_') || c == QLatin1Char('[') || c == QChar(kEscape))
            converted += QChar(kEscape) + QString(c);
        else
            converted += c;
    }
    return converted;
}

void AddLikeMatch(QString &where, const QString &column, const QVariant &value)
{
    addMatch(where, value, [&](const QString &v) { return likeCondition(column, v); });
}

void AddExistsMatch(QString &where, const QString &subqueryOpening, const QVariant &value)
{
    addMatch(where, value, [&](const QString &v) { return existsCondition(subqueryOpening, v); });
}

void AddNameMatch(QString &where, const QString &stem, const toolkit::ToolkitAttribute &attribute)
{
    const QVariant value = attribute.attributeValue();
    if (toolkit::ToolkitAttribute::textOf(value).isEmpty())
        return;
    // The archive keeps names as the splitter gives them, apostrophes
    // doubled; quoting the parts once more makes O'NEIL find O''NEIL.
    const PersonNameParts parts = SplitPersonName(value);
    auto add = [&](const QString &part, const char *suffix) {
        if (part.isEmpty())
            return;
        AppendWhere(where);
        where += likeCondition(stem + QLatin1String(suffix), part);
    };
    add(parts.last, "_last");
    add(parts.first, "_first");
    add(parts.middle, "_middle");
}

void AddDateRangeMatch(QString &where, const QString &column, const toolkit::ToolkitAttribute &attribute)
{
    if (attribute.attributeVr() == QLatin1String("TM")) {
        AddTimeRangeMatch(where, column, attribute);
        return;
    }
    const QVariant value = attribute.attributeValue();
    if (!value.isValid() || value.isNull())
        return;
    const QVariant start = attribute.attributeRangeStart();
    const QVariant end = attribute.attributeRangeEnd();
    const QDate from = start.typeId() == QMetaType::QDate ? start.toDate() : QDate(1800, 1, 1);
    const QDate to = end.typeId() == QMetaType::QDate ? end.toDate() : QDate(2200, 1, 1);
    AppendWhere(where);
    where += column + QStringLiteral(" >= '") + db::DateText(from) + QStringLiteral("' AND ") + column + QStringLiteral(" <= '")
             + db::DateText(to) + QLatin1Char('\'');
}

void AddTimeRangeMatch(QString &where, const QString &column, const toolkit::ToolkitAttribute &attribute)
{
    const QVariant value = attribute.attributeValue();
    if (!value.isValid() || value.isNull())
        return;
    const QVariant start = attribute.attributeRangeStart();
    const QVariant end = attribute.attributeRangeEnd();
    const QTime from = start.typeId() == QMetaType::QTime ? start.toTime() : QTime(0, 0, 0);
    const QTime to = end.typeId() == QMetaType::QTime ? end.toTime() : QTime(23, 59, 59);
    // A time column holds a date too (1900-01-01 from reception, maybe
    // another from elsewhere): only the time of day takes part, as
    // "hh:mm:ss" text, which sorts as the times do.
    const QString timeOfDay = QStringLiteral("CONVERT(varchar, ") + column + QStringLiteral(", 8)");
    AppendWhere(where);
    where += timeOfDay + QStringLiteral(" >= '") + from.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("' AND ")
             + timeOfDay + QStringLiteral(" <= '") + to.toString(QStringLiteral("HH:mm:ss")) + QLatin1Char('\'');
}

bool SplitMultiValue(QVariant &value)
{
    if (value.typeId() == QMetaType::QVariantList) { // values the toolkit read apart already
        QStringList texts;
        for (const QVariant &v : value.toList())
            texts << toolkit::ToolkitAttribute::textOf(v);
        value = texts.join(QLatin1Char('\\'));
    }
    const QString text = value.toString();
    if (!text.contains(QLatin1Char('\\')))
        return true;
    const QStringList pieces = (text + QLatin1Char('\\')).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    if (pieces.size() > MaxValues)
        return false;
    value = pieces;
    return true;
}

} // namespace pacs::QueryWhere
