#include "db/WalIndexFile.h"

#include <QFile>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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
    const int fd = ::open(m_path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return m_known ? QStringLiteral("The database's index file ") + name + QStringLiteral(" is gone.") : QString();
    struct stat st {};
    int flags = 0;
    const bool statted = ::fstat(fd, &st) == 0;
    const bool flagged = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    if (!statted)
        return QStringLiteral("The database's index file ") + name + QStringLiteral(" cannot be read.");
    if (flagged && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)))
        return QStringLiteral("The database's index file ") + name + QStringLiteral(" is not writable (immutable).");
    if (::access(m_path.constData(), W_OK) != 0)
        return QStringLiteral("The database's index file ") + name + QStringLiteral(" is not writable.");
    if (m_known && (st.st_dev != m_device || st.st_ino != m_inode))
        return QStringLiteral("The database's index file ") + name + QStringLiteral(" was replaced.");
    if (m_known && st.st_size < kIndexRegion)
        return QStringLiteral("The database's index file ") + name + QStringLiteral(" was cut short.");
    return {};
}

} // namespace pacs::db
