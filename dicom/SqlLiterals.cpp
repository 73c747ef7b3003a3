#include "dicom/SqlLiterals.h"

#include "core/TextValues.h"
#include "db/SqlText.h"
#include "db/TsqlTranslator.h"
#include "dicom/toolkit/ToolkitAttribute.h"

#include <QDate>
#include <QTime>

namespace pacs {

QString valueText(const QVariant &value)
{
    return toolkit::ToolkitAttribute::textOf(value);
}

QString SqlText(const QVariant &value)
{
    const QString text = valueText(value);
    if (!value.isValid() || value.isNull() || text.isEmpty())
        return QStringLiteral("''");
    return QLatin1Char('\'') + db::Quote(text).trimmed() + QLatin1Char('\'');
}

QString SqlDate(const QVariant &value, bool *unreadable)
{
    if (unreadable)
        *unreadable = false;
    if (!value.isValid() || value.isNull())
        return QStringLiteral("NULL");
    if (value.typeId() == QMetaType::QDate || value.typeId() == QMetaType::QDateTime)
        return QLatin1Char('\'') + db::DateText(value.toDate()) + QLatin1Char('\'');
    const QString text = valueText(value).trimmed();
    if (text.isEmpty()) // an element present without a value: no date either
        return QStringLiteral("NULL");
    if (!db::TsqlTranslator::isoDateTime(text).isEmpty())
        return QLatin1Char('\'') + db::Quote(text) + QLatin1Char('\'');
    if (unreadable)
        *unreadable = true;
    return QStringLiteral("NULL");
}

QString SqlTime(const QVariant &value, bool *unreadable)
{
    if (unreadable)
        *unreadable = false;
    if (!value.isValid() || value.isNull())
        return QStringLiteral("NULL");
    if (value.typeId() == QMetaType::QTime)
        return QLatin1Char('\'') + db::TimeText(value.toTime()) + QLatin1Char('\'');
    if (value.typeId() == QMetaType::QDateTime)
        return QLatin1Char('\'') + db::TimeText(value.toDateTime().time()) + QLatin1Char('\'');
    const QString text = valueText(value).trimmed();
    if (text.isEmpty())
        return QStringLiteral("NULL");
    if (!db::TsqlTranslator::isoDateTime(text).isEmpty())
        return QLatin1Char('\'') + db::Quote(text) + QLatin1Char('\'');
    if (unreadable)
        *unreadable = true;
    return QStringLiteral("NULL");
}

QString leadingNumber(const QVariant &value)
{
    if (value.typeId() == QMetaType::QVariantList) {
        const QVariantList list = value.toList();
        return list.isEmpty() ? QStringLiteral("0") : leadingNumber(list.first());
    }
    return QString::number(qint64(numericValue(valueText(value))));
}

} // namespace pacs
