#include "dicom/PendingWrites.h"

#include "dicom/ImagePath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSysInfo>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    off_t size = 0;
    const int fd = slotFile(slot, true, &size);
    if (fd >= 0 && !overwrite(fd, uid.toUtf8(), size))
        forget(slot);
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
    // Emptied to blanks rather than to nothing: a file cut to nothing gives
    // its block back (with a discard to the device on volumes mounted so) and
    // takes a new one for the next image.
    off_t size = 0;
    const int fd = slotFile(slot, false, &size);
    if (fd >= 0 && overwrite(fd, QByteArray(), size)) {
        m_free << slot;
        return;
    }
    forget(slot);
    QFile::remove(slot); // cannot be emptied: a new one next time
}

// Slots stay open from one image to the next: two writes per image instead of
// an open, a write, a cut and a close each time. A slot removed or replaced
// meanwhile (its folder cleared) is opened anew, so the note is always in the
// file a later start reads.
int PendingWrites::slotFile(const QString &slot, bool create, off_t *size)
{
    const QByteArray name = QFile::encodeName(slot);
    struct stat named;
    const bool exists = ::stat(name.constData(), &named) == 0;
    if (!exists && !create)
        return -1;
    if (const auto open = m_open.constFind(slot); open != m_open.cend()) {
        struct stat held;
        if (exists && ::fstat(open.value(), &held) == 0 && held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            *size = held.st_size;
            return open.value();
        }
        forget(slot);
    }
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat opened;
    *size = fd >= 0 && ::fstat(fd, &opened) == 0 ? opened.st_size : 0;
    if (fd >= 0)
        m_open.insert(slot, fd);
    return fd;
}

// The slot's text, padded with blanks to the slot's length (at least one
// UID's): its length never changes from one image to the next, so neither
// write is a cut of the file, and the start's reading trims the blanks.
bool PendingWrites::overwrite(int fd, const QByteArray &text, off_t size)
{
    constexpr qsizetype kSlotBytes = 65; // a UID of 64 characters and its newline
    QByteArray padded = text;
    padded.append(std::max<qsizetype>({kSlotBytes, qsizetype(size), text.size() + 1}) - text.size(), ' ');
    padded.back() = '\n';
    return ::pwrite(fd, padded.constData(), size_t(padded.size()), 0) == padded.size();
}

void PendingWrites::forget(const QString &slot)
{
    if (const auto open = m_open.find(slot); open != m_open.end()) {
        ::close(open.value());
        m_open.erase(open);
    }
}

PendingWrites::~PendingWrites()
{
    for (const int fd : std::as_const(m_open))
        ::close(fd);
}

QString PendingWrites::uidIn(const QString &slotPath)
{
    QFile file(slotPath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

} // namespace pacs
