#pragma once

#include <QObject>
#include <QString>

namespace pacs {
class ScheduledSender;
namespace db {
class ArchiveConnection;
}
} // namespace pacs

namespace pacs::browser {

class GridModel;
class StudyInfo;
class StudyInfoFields;

// The study list's send commands: "Send Selected", "Send Image",
// "Mark Listed:Sent" and the "Send Count " report. They work on the rows the
// study list shows (column 3 the study UID, 5 to 7 the patient) and queue
// into the outbox through the scheduled sender.
class SyncStatusCommands : public QObject
{
    Q_OBJECT
public:
    static constexpr int SentRgb = 0xFFFFFF;
    static constexpr int UnsentRgb = 0xFF80FF;

    SyncStatusCommands(db::ArchiveConnection &connection, ScheduledSender &sender, GridModel &studyGrid,
                       StudyInfo &studyInfo, StudyInfoFields &fields, QObject *parent = nullptr);

    // cmdTransmit: every row from the current row to the selection's far end.
    // Returns the number of studies queued.
    int SendSelected();
    // cmdSendImage: the image chosen on "Study Info"; false when none is.
    bool SendImage();
    // cmdMarkListtedAsSent: every listed study and all images of its series.
    // Returns the number of studies marked.
    int MarkListedAsSent();
    // cmdSyncStatusReport: counts each listed study's images and those sent,
    // writes "sent/images" into column 20 and colours column 19; the report
    // text (txtSyncStatus) is returned and announced.
    QString SyncStatusReport();

    const QString &syncStatusText() const { return m_syncStatus; }
    int studies() const { return m_studies; }
    int studiesSent() const { return m_studiesSent; }
    int studiesUnsent() const { return m_studiesUnsent; }
    int images() const { return m_images; }
    int imagesSent() const { return m_imagesSent; }

signals:
    void busyChanged(bool busy); // the hourglass pointer
    void syncStatusChanged(const QString &text);

private:
    bool markStudySent(const QString &studyUid);

    db::ArchiveConnection &m_connection;
    ScheduledSender &m_sender;
    GridModel &m_studyGrid;
    StudyInfo &m_studyInfo;
    StudyInfoFields &m_fields;
    QString m_syncStatus;
    int m_studies = 0;
    int m_studiesSent = 0;
    int m_studiesUnsent = 0;
    int m_images = 0;
    int m_imagesSent = 0;
};

} // namespace pacs::browser
