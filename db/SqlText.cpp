#include "db/SqlText.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace pacs::db {

QString Quote(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('\''), QLatin1String("''"));
    return out;
}

QString DateText(const QDate &date)
{
    return QStringLiteral("%1/%2/%3")
        .arg(date.month(), 2, 10, QLatin1Char('0'))
        .arg(date.day(), 2, 10, QLatin1Char('0'))
        .arg(date.year(), 4, 10, QLatin1Char('0'));
}

QString TimeText(const QTime &time)
{
    return QStringLiteral("%1:%2:%3")
        .arg(time.hour(), 2, 10, QLatin1Char('0'))
        .arg(time.minute(), 2, 10, QLatin1Char('0'))
        .arg(time.second(), 2, 10, QLatin1Char('0'));
}

QString NextToken(QString &source, const QString &delimiter)
{
    const qsizetype at = delimiter.isEmpty() ? -1 : source.indexOf(delimiter);
    if (at < 0) {
        QString token = source;
        source.clear();
        return token;
    }
    QString token = source.left(at);
    source = source.mid(at + delimiter.size());
    return token;
}

QString SafeFileName(const QString &text)
{
    // Trims blanks only, as the journal and file names expect.
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && text[start] == QLatin1Char(' '))
        ++start;
    while (end > start && text[end - 1] == QLatin1Char(' '))
        --end;
    QString out = text.mid(start, end - start);
    for (QChar &c : out)
        if (c == QLatin1Char(' ') || c == QLatin1Char('/') || c == QLatin1Char('\'') || c == QLatin1Char('.')
            || c == QLatin1Char(':'))
            c = QLatin1Char('_');
    return out;
}

void MakeDirs(const QString &path)
{
    // Most calls name a folder made before (each image of a series): one
    // look at it instead of a mkdir per level.
    const qsizetype last = path.lastIndexOf(QLatin1Char('/'));
    struct stat st;
    if (last > 0 && ::stat(QFile::encodeName(path.left(last)).constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return;
    qsizetype at = path.indexOf(QLatin1Char('/'), 1);
    while (at > 0) {
        QDir().mkdir(path.left(at));
        at = path.indexOf(QLatin1Char('/'), at + 1);
    }
}

QString OnServerDrive(const QString &storedPath, const QString &storageRoot)
{
    QString path = storedPath;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QString root = storageRoot;
    root.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!root.isEmpty() && !root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    if (path.startsWith(root + QLatin1String("IMAGES/")))
        return path;
    qsizetype at = path.startsWith(QLatin1String("IMAGES/")) ? 0 : -1;
    if (at < 0) {
        at = path.indexOf(QLatin1String("/IMAGES/"));
        if (at >= 0)
            ++at;
    }
    if (at < 0)
        return storedPath;
    return root + path.mid(at);
}

} // namespace pacs::db
