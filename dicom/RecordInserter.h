#pragma once

#include "dicom/PendingWrites.h"

#include <QString>
#include <QVariant>
#include <functional>

namespace pacs {

class ActivityLog;
class ServerOptions;
namespace db {
class ArchiveConnection;
struct UpdatableRow;
}
namespace toolkit {
class ToolkitConnection;
class ToolkitImage;
}

// Turns a received image into archive rows (patient, study, series, image)
// and starts writing its file. Each insert returns true when its row is
// there afterwards (for the image: when the image counts as stored).
class RecordInserter
{
public:
    RecordInserter(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options,
                   std::function<bool()> updateImageData);

    bool InsertPatient(const toolkit::ToolkitImage &image);
    bool InsertStudy(const toolkit::ToolkitImage &image);
    bool InsertSeries(const toolkit::ToolkitImage &image);
    bool InsertImage(toolkit::ToolkitImage &image, toolkit::ToolkitConnection &connection);
    // The saves in progress, ended by the save's completion.
    PendingWrites &pendingWrites() { return m_pending; }

    // The last statement composed, for the reception's error report.
    const QString &lastStatement() const { return m_lastStatement; }

private:
    QString dateLiteral(const QVariant &value, const QString &what);
    void trace(const QString &text);
    bool runInsert(const QString &statement);
    bool insertIfAbsent(const QString &table, const QString &keyColumn, const QString &keyLiteral,
                        const QString &statement);
    void startFileWrite(toolkit::ToolkitImage &image, toolkit::ToolkitConnection &connection, const QString &path);
    // "Data Updated" and one save when an existing row took new values.
    bool saveIfChanged(db::UpdatableRow &row, bool changed);
    // True when the stored file of an archived instance can be read back.
    bool storedFileReadable(const QString &uid);

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    ServerOptions &m_options;
    std::function<bool()> m_updateImageData;
    QString m_lastStatement;
    PendingWrites m_pending;
};

} // namespace pacs
