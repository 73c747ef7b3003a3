#include "dicom/toolkit/detail/WrittenFileWindow.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace pacs::toolkit::detail {

WrittenFileWindow::WrittenFileWindow(qint64 maxBytes, int maxFiles) : m_maxBytes(maxBytes), m_maxFiles(maxFiles)
{
}

WrittenFileWindow &WrittenFileWindow::received()
{
    // The last few dozen images (about 85 compressed CT slices). Small
    // on purpose: pages given back a while ago are reused less readily than
    // those of the last few files (a window of 64 MB took 15 % more CPU
    // for the same ingest than one of 16 MB).
    // Never destroyed: the encode queue's worker may still add its last file
    // while the process exits, after the statics made since the queue are gone.
    static WrittenFileWindow *const window = new WrittenFileWindow(16 * 1024 * 1024, 1024);
    return *window;
}

void WrittenFileWindow::add(const QString &path, qint64 bytes)
{
    std::vector<QByteArray> leaving;
    {
        const std::lock_guard<std::mutex> guard(m_mutex);
        m_entries.push_back({QFile::encodeName(path), bytes});
        m_bytes += bytes;
        while (!m_entries.empty() && (m_bytes > m_maxBytes || int(m_entries.size()) > m_maxFiles)) {
            m_bytes -= m_entries.front().bytes;
            leaving.push_back(std::move(m_entries.front().path));
            m_entries.pop_front();
        }
    }
    for (const QByteArray &name : leaving) {
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

} // namespace pacs::toolkit::detail
