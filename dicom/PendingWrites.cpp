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
    OpenSlot *open = slotFile(slot, true);
    if (open && !overwrite(*open, uid.toUtf8()))
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
    // Should the file at its name have been removed or replaced meanwhile,
    // the blanks go to the one that got the note: no name claims the save.
    OpenSlot *open = slotFile(slot, false);
    if (open && overwrite(*open, QByteArray())) {
        m_free << slot;
        return;
    }
    forget(slot);
    QFile::remove(slot); // cannot be emptied: a new one next time
}

// Slots stay open from one image to the next: one write per note instead of
// an open, a write, a cut and a close each time. A slot removed or replaced
// meanwhile (its folder cleared) is opened anew for the next note, so the
// note is always in the file a later start reads.
PendingWrites::OpenSlot *PendingWrites::slotFile(const QString &slot, bool named)
{
    const auto held = m_open.find(slot);
    if (!named)
        return held != m_open.end() ? &held.value() : nullptr;
    const QByteArray name = QFile::encodeName(slot);
    struct stat st;
    if (held != m_open.end()) {
        if (::stat(name.constData(), &st) == 0 && st.st_ino == held->inode && st.st_dev == held->device)
            return &held.value();
        forget(slot);
    }
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return nullptr;
    }
    return &m_open.insert(slot, OpenSlot{fd, st.st_dev, st.st_ino, st.st_size}).value();
}

// The slot's text, padded with blanks to the slot's length (at least one
// UID's): its length never changes from one image to the next, so neither
// write is a cut of the file, and the start's reading trims the blanks.
bool PendingWrites::overwrite(OpenSlot &open, const QByteArray &text)
{
    constexpr qsizetype kSlotBytes = 65; // a UID of 64 characters and its newline
    QByteArray padded = text;
    padded.append(std::max<qsizetype>({kSlotBytes, qsizetype(open.size), text.size() + 1}) - text.size(), ' ');
    padded.back() = '\n';
    if (::pwrite(open.fd, padded.constData(), size_t(padded.size()), 0) != padded.size())
        return false;
    open.size = std::max(open.size, off_t(padded.size()));
    return true;
}

void PendingWrites::forget(const QString &slot)
{
    if (const auto open = m_open.find(slot); open != m_open.end()) {
        ::close(open->fd);
        m_open.erase(open);
    }
}

PendingWrites::~PendingWrites()
{
    for (const OpenSlot &open : std::as_const(m_open))
        ::close(open.fd);
}

QString PendingWrites::uidIn(const QString &slotPath)
{
    QFile file(slotPath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

} // namespace pacs
