#pragma once

// ToolkitEncodeQueue: the compression of stored files after their sender
// heard "stored". A received image is written as it arrived (flushed and
// renamed into place, so it is durable when acknowledged) together with a
// marker in the queue's folder naming the file and the syntax it is to take;
// workers on every core then re-encode it and replace the file atomically, so
// a reader sees either form whole. Markers survive a restart: resume() picks
// up what a stopped or killed process left.
//
// A file removed (removeStoredFile) or replaced by a newer write while its
// compression runs stays as that left it: the compressed form replaces only
// the very file it was made from. Each write has its own marker, so a
// replaced file's compression does not drop its successor's marker. A marker
// whose compression is done is set aside and filled again by a later write.
//
// Deferring is on for a process once setFolder() named the marker folder:
// ToolkitConnection::saveImageAsync then writes as received and queues the
// compression, as long as the queue keeps up (see backlogLimit()). Without a
// folder, saves compress before they complete.

#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <mutex>

class QThreadPool;

namespace pacs::toolkit {

class ToolkitEncodeQueue
{
public:
    static ToolkitEncodeQueue &instance();

    // Set on the main thread, read on any (a received image is written
    // before its handler runs); a save takes the folder current when it starts.
    void setFolder(const QString &folder)
    {
        const std::lock_guard<std::mutex> guard(m_folderLock);
        if (m_folder != folder)
            m_folder = folder;
    }
    QString folder() const
    {
        const std::lock_guard<std::mutex> guard(m_folderLock);
        return m_folder;
    }

    // Writes the marker for `path` in `folder`, flushed to disk before it
    // returns unless `flush` is false (the caller flushes it with the file).
    static bool writeMarker(const QString &folder, const QString &path, const QString &transferSyntaxUid,
                            QString *markerPath, QString *error, bool flush = true);
    // Hands a marker written by writeMarker() to the workers.
    void enqueue(const QString &markerPath);
    // Queues every marker of the folder; returns how many.
    int resume(const QString &folder);
    // Markers handed over and not yet done.
    int pending() const { return m_pending; }
    // At this many pending, saves compress before they complete (two per
    // worker unless set; set on the main thread, read on any).
    int backlogLimit() const { return m_backlogLimit; }
    void setBacklogLimit(int limit) { m_backlogLimit = limit; }
    // Blocks until nothing is pending or `msecs` passed; true when idle.
    bool waitIdle(int msecs);

    // Removes a stored file so that a compression running on it cannot put
    // it back; false when it existed and could not be removed.
    static bool removeStoredFile(const QString &path);

private:
    ToolkitEncodeQueue();
    void stopForExit();
    // True when the marker is done with (compressed, or nothing left to do).
    bool encode(const QString &markerPath);
    // Markers of finished compressions, set aside for later writes to fill.
    QString takeSpareMarker(const QString &folder);
    void finishMarker(const QString &markerPath, bool done);

    QThreadPool *m_pool;
    mutable std::mutex m_folderLock;
    QString m_folder;
    std::atomic<int> m_pending{0};
    std::atomic<int> m_backlogLimit{4};
    std::mutex m_spareLock;
    QStringList m_spare;
    QSet<QString> m_queued;
};

} // namespace pacs::toolkit
