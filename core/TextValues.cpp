#include "core/TextValues.h"

#include <cmath>

namespace pacs {

double numericValue(const QString &text)
{
    // Blanks, tabs and line breaks are skipped wherever they stand.
    QString digits;
    digits.reserve(text.size());
    for (QChar c : text)
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            digits.append(c);

    qsizetype i = 0;
    const qsizetype n = digits.size();
    auto isDigit = [&](qsizetype k) { return k < n && digits[k] >= QLatin1Char('0') && digits[k] <= QLatin1Char('9'); };
    if (i < n && (digits[i] == QLatin1Char('+') || digits[i] == QLatin1Char('-')))
        ++i;
    const qsizetype mantissaStart = i;
    while (isDigit(i))
        ++i;
    if (i < n && digits[i] == QLatin1Char('.')) {
        ++i;
        while (isDigit(i))
            ++i;
    }
    if (i == mantissaStart || (i == mantissaStart + 1 && digits[mantissaStart] == QLatin1Char('.')))
        return 0.0;
    qsizetype end = i;
    if (i < n && (digits[i] == QLatin1Char('e') || digits[i] == QLatin1Char('E'))) {
        qsizetype k = i + 1;
        if (k < n && (digits[k] == QLatin1Char('+') || digits[k] == QLatin1Char('-')))
            ++k;
        if (isDigit(k)) {
            while (isDigit(k))
                ++k;
            end = k;
        }
    }
    bool ok = false;
    const double value = digits.left(end).toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

int roundedValue(const QString &text)
{
    const double v = std::nearbyint(numericValue(text));
    if (v > 2147483647.0)
        return 2147483647;
    if (v < -2147483648.0)
        return -2147483647 - 1;
    return static_cast<int>(v);
}

QString shortDate(const QDate &date)
{
    return QStringLiteral("%1/%2/%3").arg(date.month()).arg(date.day()).arg(date.year(), 4, 10, QLatin1Char('0'));
}

QString generalDateTime(const QDateTime &when)
{
    const QTime t = when.time();
    const int hour12 = t.hour() % 12 == 0 ? 12 : t.hour() % 12;
    return shortDate(when.date()) + QStringLiteral(" %1:%2:%3 %4")
                                        .arg(hour12)
                                        .arg(t.minute(), 2, 10, QLatin1Char('0'))
                                        .arg(t.second(), 2, 10, QLatin1Char('0'))
                                        .arg(t.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM"));
}

} // namespace pacs
