#include "dicom/PersonName.h"

#include "core/ActivityLog.h"

#include <QStringList>

namespace pacs {

namespace {

// The text before the first `delimiter` (all of it when absent); `rest`
// keeps what follows the delimiter.
QString takeUntil(QString &rest, QChar delimiter)
{
    const qsizetype at = rest.indexOf(delimiter);
    if (at < 0) {
        QString all = rest;
        rest.clear();
        return all;
    }
    QString part = rest.left(at);
    rest = rest.mid(at + 1);
    return part;
}

QString cleanPart(const QString &part)
{
    QString s = part;
    s.replace(QLatin1Char('\''), QLatin1String("''"));
    s.remove(QLatin1Char(','));
    s.replace(QLatin1Char('^'), QLatin1Char(' '));
    return s.trimmed();
}

bool isAllUpper(const QString &s)
{
    return s == s.toUpper();
}

} // namespace

PersonNameParts SplitPersonName(const QVariant &value, ActivityLog *log)
{
    PersonNameParts p;
    if (!value.isValid() || value.isNull()) {
        if (log)
            log->WriteLog(QStringLiteral("No Name."));
        return p;
    }
    QString name = value.toString().trimmed();
    // A DICOM name may carry up to three component groups (alphabetic,
    // ideographic, phonetic: "Yamada^Tarou=山田^太郎=やまだ^たろう"). The
    // columns hold one group: the first that is not empty. The whole value
    // stays in the stored file.
    if (name.contains(QLatin1Char('='))) {
        const QStringList groups = name.split(QLatin1Char('='));
        name.clear();
        for (const QString &group : groups) {
            if (!group.trimmed().isEmpty()) {
                name = group.trimmed();
                break;
            }
        }
    }

    if (name.contains(QLatin1Char('^')) && name.contains(QLatin1Char(','))) {
        // Comma form: "LAST, FIRST^MIDDLE^TITLE".
        const qsizetype comma = name.indexOf(QLatin1Char(','));
        name += QStringLiteral("^^^^^");
        p.last = name.left(comma);
        name = name.mid(comma + 2);
        qsizetype at = name.indexOf(QLatin1Char(','));
        if (at < 0)
            at = name.indexOf(QLatin1Char('^'));
        p.first = name.left(at);
        name = name.mid(at + 1);
        p.middle = takeUntil(name, QLatin1Char('^'));
        p.title = takeUntil(name, QLatin1Char('^'));
    } else if (name.contains(QLatin1Char('^'))) {
        // DICOM order: family^given^middle^fourth. A fourth component is
        // taken as a further middle name, the middle joining the first.
        name += QStringLiteral("^^^^^");
        p.last = takeUntil(name, QLatin1Char('^'));
        p.first = takeUntil(name, QLatin1Char('^'));
        p.middle = takeUntil(name, QLatin1Char('^'));
        p.title = takeUntil(name, QLatin1Char('^'));
        if (!p.title.isEmpty()) {
            p.first = p.first + QLatin1Char(' ') + p.middle;
            p.middle = p.title;
            p.title.clear();
        }
    } else {
        qsizetype at = name.indexOf(QLatin1Char(','));
        if (at < 0)
            at = name.indexOf(QLatin1Char(' '));
        if (at < 0) {
            p.last = name;
        } else {
            p.last = name.left(at);
            p.first = name.mid(at + 1);
            // "John Paul SMITH": the family name written last in capitals.
            const QString lastWord = name.section(QLatin1Char(' '), -1);
            if (isAllUpper(lastWord) && !isAllUpper(name)) {
                p.last = lastWord;
                p.first = name.left(name.size() - lastWord.size() - 1);
            }
        }
    }
    p.title = p.title.trimmed();
    p.first = cleanPart(p.first);
    p.last = cleanPart(p.last);
    p.middle = cleanPart(p.middle);
    return p;
}

} // namespace pacs
