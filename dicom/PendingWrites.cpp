#include "dicom/PendingWrites.h"

#include "dicom/ImagePath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSysInfo>

namespace pacs {

QString PendingWrites::begin(const void *key, const QString &storageRoot, const QString &uid)
{
    // A save still noted for `key` (its completion never came) keeps its
    // slot: the next start checks it.
    m_busy.remove(key);
    const QString folder = pendingWriteFolder(storageRoot);
    QString slot;
    // A slot of a storage root used before (the operator changed it) stays there unused.
    for (qsizetype i = 0; i < m_free.size() && slot.isEmpty(); ++i)
        if (m_free.at(i).startsWith(folder + QLatin1Char('/')))
            slot = m_free.takeAt(i);
    if (slot.isEmpty()) {
        QDir().mkpath(folder);
        // Two nodes may share a storage root: each names its own slots.
        slot = folder + QStringLiteral("/slot-") + QString::fromLatin1(QSysInfo::machineUniqueId().left(12)) + QLatin1Char('-')
               + QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-') + QString::number(++m_made)
               + QStringLiteral(".pending");
    }
    QFile file(slot);
    if (file.open(QIODevice::ReadWrite)) {
        const QByteArray text = uid.toUtf8();
        file.write(text);
        file.resize(text.size());
    }
    m_busy.insert(key, slot);
    return slot;
}

void PendingWrites::end(const void *key)
{
    const auto busy = m_busy.find(key);
    if (busy == m_busy.end())
        return;
    const QString slot = busy.value();
    m_busy.erase(busy);
    // Emptied to one blank rather than to nothing: a file cut to nothing gives
    // its block back (with a discard to the device on volumes mounted so) and
    // takes a new one for the next image.
    QFile file(slot);
    if (file.exists() && file.open(QIODevice::ReadWrite) && file.write("\n", 1) == 1 && file.resize(1))
        m_free << slot;
    else
        QFile::remove(slot); // cannot be emptied: a new one next time
}

QString PendingWrites::uidIn(const QString &slotPath)
{
    QFile file(slotPath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

} // namespace pacs
