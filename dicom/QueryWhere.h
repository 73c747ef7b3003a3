#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

namespace pacs {

namespace toolkit {
class ToolkitAttribute;
}

// Builders of a query's WHERE text, each appending one condition. Values
// from the network are quoted, so a value can never change the statement.
namespace QueryWhere {

// At most this many components of one multi-valued key.
constexpr int MaxValues = 100;

void AppendWhere(QString &where);
// A DICOM match value as a LIKE pattern for ESCAPE '\': "*" -> "%", "?" -> "_",
// and "%", "_", "[" and "\" escaped so that they match themselves.
QString ConvertWildcards(const QString &value);
// A single value (QString) or several (QStringList); empty text matches all.
void AddLikeMatch(QString &where, const QString &column, const QVariant &value);
void AddExistsMatch(QString &where, const QString &subqueryOpening, const QVariant &value);
void AddNameMatch(QString &where, const QString &stem, const toolkit::ToolkitAttribute &attribute);
// A TM attribute is matched as a time range (AddTimeRangeMatch).
void AddDateRangeMatch(QString &where, const QString &column, const toolkit::ToolkitAttribute &attribute);
// Time of day within the range, ends included; a single time matches itself.
void AddTimeRangeMatch(QString &where, const QString &column, const toolkit::ToolkitAttribute &attribute);
// "CT\MR" -> ["CT", "MR"] (empty pieces dropped); text without "\" unchanged.
// False when the key has more than MaxValues components.
bool SplitMultiValue(QVariant &value);

} // namespace QueryWhere
} // namespace pacs
