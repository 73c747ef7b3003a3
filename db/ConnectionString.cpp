#include "db/ConnectionString.h"

#include <QStringList>

namespace pacs::db {

ConnectionString::ConnectionString(const QString &text) : m_text(text)
{
}

QString ConnectionString::value(const QString &key) const
{
    const QStringList items = m_text.split(QLatin1Char(';'));
    for (const QString &item : items) {
        const qsizetype eq = item.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        if (item.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0)
            return item.mid(eq + 1).trimmed();
    }
    return QString();
}

bool ConnectionString::has(const QString &key) const
{
    const QStringList items = m_text.split(QLatin1Char(';'));
    for (const QString &item : items) {
        const qsizetype eq = item.indexOf(QLatin1Char('='));
        if (eq >= 0 && item.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString ConnectionString::driver() const
{
    QString d = value(QStringLiteral("Driver"));
    if (d.startsWith(QLatin1Char('{')) && d.endsWith(QLatin1Char('}')))
        d = d.mid(1, d.size() - 2);
    if (d.isEmpty())
        d = value(QStringLiteral("Provider"));
    return d;
}

} // namespace pacs::db
