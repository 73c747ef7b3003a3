#include "dicom/ImagePath.h"

#include "db/SqlText.h"
#include "dicom/SqlLiterals.h"

#include <QCryptographicHash>
#include <QDate>
#include <QFile>

namespace pacs {

QString cleanPathComponent(const QString &text)
{
    QString clean = db::SafeFileName(text);
    for (QChar &c : clean)
        if (c == QLatin1Char('\\') || c.unicode() < 0x20 || c == QChar(0x7f))
            c = QLatin1Char('_');
    // File systems take 255 bytes a name; DICOM values are far shorter.
    if (clean.size() > 120)
        clean.truncate(120);
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
    return cleanPathComponent(instanceUid).left(100) + QStringLiteral("_x") + QString::fromLatin1(digest);
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

QString pendingWriteMarker(const QString &storageRoot, const QString &instanceUid)
{
    return pendingWriteFolder(storageRoot) + QLatin1Char('/') + instanceFileStem(instanceUid) + QStringLiteral(".pending");
}

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
