// Any institution, date, modality, patient ID and instance UID through the
// path of a received image: the path stays below the storage root, has the
// documented depth, and no name is longer than a file system takes.

#include "dicom/ImagePath.h"
#include "tests/fuzz/FuzzInput.h"

#include <QDate>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QString> f = pacs::fuzz::fields(data, size, 5);
    pacs::ImagePathParts parts;
    parts.storageRoot = QStringLiteral("/srv/pacs/");
    parts.byInstitution = !f[0].isEmpty();
    parts.institution = f[0];
    const QDate date = QDate::fromString(f[1], QStringLiteral("yyyyMMdd"));
    parts.studyDate = date.isValid() ? QVariant(date) : QVariant(f[1]);
    parts.modality = f[2];
    parts.patientId = f[3];
    parts.instanceUid = f[4];
    const QString path = pacs::imagePath(parts);

    const QString prefix = QStringLiteral("/srv/pacs/IMAGES/");
    if (!path.startsWith(prefix) || !path.endsWith(QStringLiteral(".dcm")))
        std::abort();
    const QStringList names = path.mid(prefix.size()).split(QLatin1Char('/'));
    if (names.size() != (parts.byInstitution ? 6 : 5))
        std::abort();
    for (const QString &name : names)
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.contains(QChar(0))
            || name.toUtf8().size() > 255)
            std::abort();
    return 0;
}
