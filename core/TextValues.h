#pragma once

#include <QDateTime>
#include <QString>

namespace pacs {

// Numeric reading of a text the way the settings and one-line files are read:
// the leading number (blanks skipped, sign, decimals, exponent), 0 when none.
double numericValue(const QString &text);

// numericValue rounded to the nearest integer, halves to even.
int roundedValue(const QString &text);

// Short date, a space, long time of the local clock, e.g. "12/8/2026 4:44:11 AM".
// Used in the error box and in journal rows.
QString generalDateTime(const QDateTime &when);

// "M/D/YYYY" without leading zeros, the text a date value reads as.
QString shortDate(const QDate &date);

} // namespace pacs
