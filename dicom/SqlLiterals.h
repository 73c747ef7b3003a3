#pragma once

#include <QString>
#include <QVariant>

namespace pacs {

// SQL literals of values taken from received images.

// Null or empty: ''; otherwise the text, apostrophes doubled, trimmed, quoted.
QString SqlText(const QVariant &value);
// Null or empty: NULL; a date: 'MM/DD/YYYY'. Text that reads as a date is
// kept; other text gives NULL (with *unreadable set), so a bad value cannot
// fail the row.
QString SqlDate(const QVariant &value, bool *unreadable = nullptr);
// As sqlDate, for times: 'hh:mm:ss'.
QString SqlTime(const QVariant &value, bool *unreadable = nullptr);
// The text of a value as the program shows it (dates "M/D/YYYY", times "hh:mm:ss").
QString valueText(const QVariant &value);
// The leading number of a value's text ("5" for "5", 0 for text without one).
QString leadingNumber(const QVariant &value);

} // namespace pacs
