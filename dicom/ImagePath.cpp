#include "dicom/ImagePath.h"

#include "db/SqlText.h"
#include "dicom/SqlLiterals.h"

#include <QCryptographicHash>
#include <QDate>
#include <QFile>

namespace pacs {

namespace {

// The longest start of `text` whose UTF-8 takes at most `bytes` bytes, never
// cutting a character in two.
QString utf8Prefix(const QString &text, qsizetype bytes)
{
    qsizetype used = 0;
    qsizetype end = 0;
    while (end < text.size()) {
        const bool pair = text[end].isHighSurrogate() && end + 1 < text.size() && text[end + 1].isLowSurrogate();
        const char32_t code = pair ? QChar::surrogateToUcs4(text[end], text[end + 1]) : text[end].unicode();
        const qsizetype size = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (used + size > bytes)
            break;
        used += size;
        end += pair ? 2 : 1;
    }
    return text.left(end);
}

} // namespace

QString cleanPathComponent(const QString &text)
{
    QString clean = db::SafeFileName(text);
    for (QChar &c : clean)
        if (c == QLatin1Char('\\') || c.unicode() < 0x20 || c == QChar(0x7f))
            c = QLatin1Char('_');
    // File systems take 255 bytes a name, and a name beyond ASCII takes up to
    // three of them a character: at most 120 bytes (120 characters of ASCII).
    clean = utf8Prefix(clean, 120);
    return clean.isEmpty() ? QStringLiteral("_") : clean;
}

QString instanceFileStem(const QString &instanceUid)
{
    // A UID of digits and dots keeps its plain name. Any other value (a
    // malformed UID from a modality, one too long for the name, one differing
    // from another only in letter case or in "." against "_") gets a digest of
    // its exact text, so two different instances never share a file. The "x"
    // before the digest never occurs in a plain name.
    bool plain = !instanceUid.isEmpty() && instanceUid.size() <= 120;
    for (const QChar c : instanceUid)
        plain = plain && ((c.isDigit() && c.unicode() < 0x80) || c == QLatin1Char('.'));
    if (plain)
        return cleanPathComponent(instanceUid);
    const QByteArray digest =
        QCryptographicHash::hash(instanceUid.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return utf8Prefix(cleanPathComponent(instanceUid), 100) + QStringLiteral("_x") + QString::fromLatin1(digest);
}

namespace {
QString imagesSubfolder(const QString &storageRoot, const QString &name)
{
    QString folder = storageRoot;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder + QStringLiteral("IMAGES/") + name;
}
} // namespace

QString pendingWriteFolder(const QString &storageRoot) { return imagesSubfolder(storageRoot, QStringLiteral("_pending")); }

QString encodeQueueFolder(const QString &storageRoot) { return imagesSubfolder(storageRoot, QStringLiteral("_encode")); }

QString imagePath(const ImagePathParts &parts)
{
    QString path = parts.storageRoot;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    path += QStringLiteral("IMAGES/");
    if (parts.byInstitution)
        path += cleanPathComponent(parts.institution) + QLatin1Char('/');
    const QDate date = parts.studyDate.typeId() == QMetaType::QDate ? parts.studyDate.toDate() : QDate();
    const QString year = date.isValid() ? QString::number(date.year()) : QStringLiteral("0000");
    path += year + QLatin1Char('/') + cleanPathComponent(parts.modality) + QLatin1Char('/')
            + cleanPathComponent(valueText(parts.studyDate)) + QLatin1Char('/')
            + cleanPathComponent(db::Quote(parts.patientId)) + QLatin1Char('/') + instanceFileStem(parts.instanceUid)
            + QStringLiteral(".dcm");
    return path;
}

} // namespace pacs

namespace pacs {

bool isReadableDicomFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.seek(128) && file.read(4) == "DICM";
}

} // namespace pacs
