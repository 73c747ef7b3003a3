#pragma once

#include "dicom/RecordInserter.h"

#include <QString>
#include <functional>

namespace pacs {

class ActivityLog;
class DicomServer;
class HisFeedback;
class ServerOptions;
namespace db {
class ArchiveConnection;
}
namespace toolkit {
class ToolkitConnection;
class ToolkitImage;
}

// The storage service: decides whether a received image is accepted,
// reconciles its patient identity with the archive and the hospital's master
// list, has its rows written and its file started, and reports it. The
// status reaches the modality when the file write completes.
class ImageReception
{
public:
    ImageReception(DicomServer &server, db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options,
                   HisFeedback &his, std::function<bool()> updateImageData);

    void Server_ImageReceivedAsync(toolkit::ToolkitConnection &connection, toolkit::ToolkitImage &image);

    // "t" and eight random digits, not yet used as a Patient ID.
    QString NewTemporaryPatientId();

    // The saves noted as in progress, for their completion to end.
    PendingWrites &pendingWrites() { return m_inserter.pendingWrites(); }

    const QString &lastPatientId() const { return m_lastPatientId; }
    const QString &lastStudyUid() const { return m_lastStudyUid; }
    const QString &lastSeriesUid() const { return m_lastSeriesUid; }
    // A study's rows were deleted: the next image of it writes its study and
    // series rows again instead of trusting the remembered keys.
    void forgetLastStudy()
    {
        m_lastStudyUid.clear();
        m_lastSeriesUid.clear();
    }

private:
    enum class Outcome { Continue, Done, Failed };
    Outcome checkLastName(toolkit::ToolkitConnection &connection, toolkit::ToolkitImage &image, QString &error);
    Outcome checkMasterList(toolkit::ToolkitConnection &connection, toolkit::ToolkitImage &image, QString &error);
    void errorExit(toolkit::ToolkitConnection &connection, const QString &description);
    // An image a rule drops is answered with success but kept, under
    // IMAGES/_quarantine/<reason>/, for the operator to correct and import
    // again. An image that cannot be kept there is refused instead, so the
    // sender keeps it.
    void dropIntoQuarantine(toolkit::ToolkitConnection &connection, const toolkit::ToolkitImage &image,
                            const QString &reason);

    DicomServer &m_server;
    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    ServerOptions &m_options;
    HisFeedback &m_his;
    std::function<bool()> m_updateImageData;
    RecordInserter m_inserter;
    QString m_lastPatientId;
    QString m_lastStudyUid;
    QString m_lastSeriesUid;
    QString m_lastReceivedSummary;
    QString m_lastStatement;
};

} // namespace pacs
