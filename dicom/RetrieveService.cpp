#include "dicom/RetrieveService.h"

#include "core/ActivityLog.h"
#include "core/ServerOptions.h"
#include "core/TextValues.h"
#include "db/ArchiveConnection.h"
#include "db/SqlText.h"
#include "dicom/toolkit/ToolkitConnection.h"

namespace pacs {

using toolkit::ToolkitConnection;

namespace {
// The unique key of a retrieve may list several values (uid1\uid2): every
// listed object is sent. A single value keeps the plain comparison.
QString keyCondition(const QString &column, const QString &key)
{
    QStringList values;
    for (const QString &value : key.split(QLatin1Char('\\'))) {
        const QString trimmed = value.trimmed();
        if (!trimmed.isEmpty())
            values << QLatin1Char('\'') + db::Quote(trimmed) + QLatin1Char('\'');
    }
    if (!key.contains(QLatin1Char('\\')) || values.isEmpty())
        return QStringLiteral(" WHERE ") + column + QStringLiteral("='") + db::Quote(key) + QStringLiteral("'");
    return QStringLiteral(" WHERE ") + column + QStringLiteral(" IN (") + values.join(QLatin1Char(',')) + QLatin1Char(')');
}
} // namespace

RetrieveService::RetrieveService(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options)
    : m_connection(connection), m_log(log), m_options(options)
{
}

void RetrieveService::retrieveRequest(ToolkitConnection &connection)
{
    if (connection.commandName() == QLatin1String("C-MOVE"))
        resolveDestination(connection);
    else
        SendRequestedImages(connection);
}

void RetrieveService::resolveDestination(ToolkitConnection &connection)
{
    const QString destination = connection.moveDestination();
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(
        QStringLiteral("SELECT * from DICOM..RemoteAETs where remoteaet= '") + db::Quote(destination) + QStringLiteral("'"), failed);
    if (rows.isNone() || rows.atEnd()) {
        const QString comment = QStringLiteral("Unknown Move Destination: ") + destination;
        connection.statusDataset().putAttribute(0x0000, 0x0902, comment);
        connection.setStatus(0xA801);
        m_log.WriteLog(comment);
        return;
    }
    const int port = int(rows.field(QStringLiteral("Port")).toInteger());
    const QString address = rows.text(QStringLiteral("IPAddress")).trimmed();
    rows.close();
    const QString calling = m_options.aeName().trimmed();
    if (m_options.useCallingRemoteIp() == 1) {
        m_log.WriteLog(QStringLiteral("RemoteIP: ") + connection.remoteAddress());
        connection.connectTo(connection.remoteAddress().trimmed(), port, calling, destination);
    } else {
        connection.connectTo(address, port, calling, destination);
    }
    connection.setStatus(0xFF00);
}

void RetrieveService::SendRequestedImages(ToolkitConnection &connection)
{
    m_log.WriteLog(QStringLiteral("Sending Image."));
    const toolkit::ToolkitDataset identifier = connection.requestIdentifier();
    const QString level = identifier.findAttribute(0x08, 0x52).attributeText().trimmed();
    QString statement = QStringLiteral("SELECT Filename FROM ImageRetrievalView ");
    if (level == QLatin1String("PATIENT"))
        statement += keyCondition(QStringLiteral("PatientID"), identifier.datasetPatientId());
    else if (level == QLatin1String("STUDY"))
        statement += keyCondition(QStringLiteral("StudyUID"), identifier.datasetStudyUid());
    else if (level == QLatin1String("SERIES"))
        statement += keyCondition(QStringLiteral("SeriesUID"), identifier.datasetSeriesUid());
    else if (level == QLatin1String("IMAGE"))
        statement += keyCondition(QStringLiteral("InstanceUID"), identifier.datasetInstanceUid());
    statement += QStringLiteral(" ORDER BY studydate,studyuid,CAST(SeriesNumber AS int), CAST(InstanceNumber AS int)");

    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(statement, failed);
    if (rows.isNone()) {
        m_log.WriteLog(QStringLiteral("The images to send could not be listed."));
        return; // no final status: the toolkit answers with a failure
    }
    // Slot 0 names no file; the paths follow from slot 1.
    QStringList files{QString()};
    for (; !rows.atEnd() && files.size() <= MaxFiles; rows.moveNext())
        files << db::OnServerDrive(rows.text(0), m_options.storageRoot());
    rows.close();
    if (rows.endedWithError()) { // sending part of the list would pass for the whole retrieve
        const QString comment = QStringLiteral("The images to send could not be listed: ") + rows.error();
        m_log.WriteLog(comment);
        connection.statusDataset().putAttribute(0x0000, 0x0902, comment);
        connection.setStatus(0xC000);
        return;
    }
    m_lastFiles = files.mid(1);

    const QString quality = m_options.jpegQuality();
    if (numericValue(quality) > 0)
        connection.setCompression(QStringLiteral("1.2.840.10008.1.2.4.91"), quality);
    m_log.WriteLog(QStringLiteral("Sending to: ") + connection.remoteAddress());
    connection.sendFilesAsync(files);
    connection.setUserTag(connection.commandName() == QLatin1String("C-MOVE") ? QStringLiteral("DoneMove")
                                                                              : QStringLiteral("DoneGet"));
}

} // namespace pacs
