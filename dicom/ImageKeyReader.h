#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <vector>

namespace pacs {

class ActivityLog;
class ServerOptions;
namespace db {
class ArchiveConnection;
}

// Fills the image key columns (SOP class, frames, rows, columns) and the
// series date and body part of images archived before those columns existed,
// from their stored files. The upgrade lists such images in ImageKeysToRead;
// this works the list off while the server runs: files are read, up to their
// pixel data, on a worker thread, a batch at a time, and the rows are written
// on the main thread with one statement per batch. An image leaves the list
// once its file has been read; a missing or unreadable file is logged and
// leaves the columns NULL. Interrupted, it goes on at the next start.
class ImageKeyReader : public QObject
{
    Q_OBJECT
public:
    static constexpr int BatchSize = 100;

    struct FileKeys
    {
        QString instanceUid;
        QString path;
        enum class Outcome { Read, Missing, Unreadable, Gone } outcome = Outcome::Read;
        QString error;
        QString sopClassUid;
        QString numberOfFrames; // "" when the file has none
        QString rows;
        QString columns;
        QString seriesUid;
        QString seriesDate; // "MM/DD/YYYY", "" when none
        QString bodyPart;
    };
    // Reads one stored file (any thread).
    static FileKeys readFile(const QString &instanceUid, const QString &path);

    ImageKeyReader(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options, QObject *parent = nullptr);
    ~ImageKeyReader() override;

    // Starts when images are listed and no run is going on.
    void start();
    bool isRunning() const { return m_running; }

signals:
    void finished();

private:
    void nextBatch();
    void storeBatch(const std::vector<FileKeys> &batch);
    void stop(const QString &line);

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    ServerOptions &m_options;
    QThreadPool m_pool; // one file reader at a time
    QSet<QString> m_seriesDone;
    bool m_running = false;
    int m_read = 0;
    int m_failed = 0;
};

} // namespace pacs
