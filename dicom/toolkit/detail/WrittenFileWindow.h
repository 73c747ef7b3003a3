#pragma once

#include <QByteArray>
#include <QString>

#include <deque>
#include <mutex>

namespace pacs::toolkit::detail {

// The stored files written last keep their pages in the page cache (the
// outbox forwards new images soon, a viewer opens the study just received);
// older ones give theirs back. An archive writes far more than it reads back
// soon, and the index, the log and other programs need that memory more.
// Dropping the pages of files written out also lets the next writes reuse
// memory the system has touched: on a virtual machine whose memory the host
// backs only when first used, writing into never-used pages costs several
// times the copy itself.
class WrittenFileWindow
{
public:
    explicit WrittenFileWindow(qint64 maxBytes, int maxFiles);

    // The window of the received images' files.
    static WrittenFileWindow &received();

    // A file whose data is durable now (its pages are clean, so dropping them
    // loses nothing); the files beyond the window lose their cached pages,
    // on the caller's thread. A file removed since is passed over.
    void add(const QString &path, qint64 bytes);

private:
    struct Entry
    {
        QByteArray path;
        qint64 bytes;
    };
    const qint64 m_maxBytes;
    const int m_maxFiles;
    std::mutex m_mutex;
    std::deque<Entry> m_entries;
    qint64 m_bytes = 0;
};

} // namespace pacs::toolkit::detail
