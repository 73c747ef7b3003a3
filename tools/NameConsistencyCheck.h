#pragma once

#include "dicom/toolkit/ToolkitImageList.h"

#include <QObject>
#include <QSet>
#include <QString>

namespace pacs {
class ActivityLog;
class ServerOptions;
namespace db {
class ArchiveConnection;
}
} // namespace pacs

namespace pacs::tools {

// "Check Mismatched names": walks a folder tree of image files and compares
// the family name in each file with the last name the archive keeps for the
// same Patient ID. Images of patients the archive does not know can be sent
// to the storage node, so that they get archived. The report grows by one
// line per file; a step that fails adds its description and the walk goes on.
class NameConsistencyCheck : public QObject
{
    Q_OBJECT
public:
    // The calling AE title of the sends; fixed, not the server's own title.
    static constexpr const char *CallingTitle = "TALMIR";

    NameConsistencyCheck(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options,
                         QObject *parent = nullptr);

    // "Transmit not found".
    bool transmitNotFound() const { return m_transmitNotFound; }
    void setTransmitNotFound(bool on) { m_transmitNotFound = on; }

    // "Read Names": clears the stop flag, walks the folder, appends "DONE.".
    // True when the start folder could be walked; false when it could not be
    // opened or a check is already running (then nothing is done).
    bool ReadNames(const QString &folder);
    // The walk: subfolders first, then the folder's own "*.dcm" files.
    void CheckFolderNames(const QString &folder);
    // "Stop": no further file is read; the walk still finishes and says "DONE.".
    void stop() { m_stopCheck = true; }
    bool stopRequested() const { return m_stopCheck; }
    bool isRunning() const { return m_running; }

    const QString &report() const { return m_report; }
    // Files looked at in the last run, and images sent.
    int filesChecked() const { return m_filesChecked; }
    int imagesSent() const { return m_imagesSent; }

signals:
    void reportAppended(const QString &text); // CR LF and the new line
    void runningChanged(bool running);

private:
    void append(const QString &line);
    void checkFile(const QString &path);
    void transmit(const toolkit::ToolkitImage &image);

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    ServerOptions &m_options;
    toolkit::ToolkitImageList m_viewerImages; // the viewer's image list each file is read into
    QSet<QString> m_walked;                   // folders already walked (a link back up is not followed again)
    QString m_report;
    bool m_transmitNotFound = false;
    bool m_stopCheck = false;
    bool m_running = false;
    int m_filesChecked = 0;
    int m_imagesSent = 0;
};

} // namespace pacs::tools
