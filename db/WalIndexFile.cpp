#include "db/WalIndexFile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace pacs::db {

namespace {
// The index is made of 32 KiB regions; a mapped one is never shorter.
constexpr off_t kIndexRegion = 32768;
} // namespace

WalIndexFile::WalIndexFile(const QString &databasePath) : m_path(QFile::encodeName(databasePath + QStringLiteral("-shm")))
{
}

void WalIndexFile::remember()
{
    struct stat st {};
    m_known = !m_path.isEmpty() && ::stat(m_path.constData(), &st) == 0;
    m_device = m_known ? st.st_dev : 0;
    m_inode = m_known ? st.st_ino : 0;
}

QString WalIndexFile::fault() const
{
    if (m_path.isEmpty())
        return {};
    const QString name = QFile::decodeName(m_path);
    // Looked at by name only. SQLite holds POSIX locks on this file (the one
    // that tells other processes the index is in use among them), and such
    // locks belong to the process: closing any descriptor of the file, ours
    // included, would drop them, and the next process to open the archive
    // would reset the index under this one.
    struct statx st {};
    if (::statx(AT_FDCWD, m_path.constData(), AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT,
                STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE, &st)
        != 0)
        return m_known ? QStringLiteral("The database's index file ") + name + QStringLiteral(" is gone.") : QString();
    constexpr quint64 kUnwritable = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    if (st.stx_attributes_mask & st.stx_attributes & kUnwritable)
        return QStringLiteral("The database's index file ") + name + QStringLiteral(" is not writable (immutable).");
    if (::access(m_path.constData(), W_OK) != 0)
        return QStringLiteral("The database's index file ") + name + QStringLiteral(" is not writable.");
    if (m_known && (makedev(st.stx_dev_major, st.stx_dev_minor) != m_device || st.stx_ino != m_inode))
        return QStringLiteral("The database's index file ") + name + QStringLiteral(" was replaced.");
    if (m_known && off_t(st.stx_size) < kIndexRegion)
        return QStringLiteral("The database's index file ") + name + QStringLiteral(" was cut short.");
    return {};
}

} // namespace pacs::db
