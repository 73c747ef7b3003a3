#include "tools/NameConsistencyCheck.h"

#include "core/ActivityLog.h"
#include "core/EventYield.h"
#include "core/ServerOptions.h"
#include "db/ArchiveConnection.h"
#include "db/SqlText.h"
#include "tools/FolderImages.h"

#include <QFileInfo>

namespace pacs::tools {

NameConsistencyCheck::NameConsistencyCheck(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options,
                                           QObject *parent)
    : QObject(parent), m_connection(connection), m_log(log), m_options(options)
{
}

void NameConsistencyCheck::append(const QString &line)
{
    const QString text = QStringLiteral("\r\n") + line;
    m_report += text;
    emit reportAppended(text);
}

bool NameConsistencyCheck::ReadNames(const QString &folder)
{
    if (m_running)
        return false; // the window's button is disabled meanwhile; a second walk would share the image list
    m_running = true;
    emit runningChanged(true);
    m_stopCheck = false;
    m_filesChecked = 0;
    m_imagesSent = 0;
    m_walked.clear();
    QString error;
    QStringList names;
    const bool opened = listFolderFiles(folder, QStringLiteral("dcm"), names, error);
    if (opened)
        CheckFolderNames(folder);
    else
        append(error);
    append(QStringLiteral("DONE."));
    m_running = false;
    emit runningChanged(false);
    return opened;
}

void NameConsistencyCheck::CheckFolderNames(const QString &folderText)
{
    const QString folder = withTrailingSlash(folderText);
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (!canonical.isEmpty()) {
        if (m_walked.contains(canonical))
            return;
        m_walked.insert(canonical);
    }
    for (const QString &subfolder : listSubfolders(folder))
        CheckFolderNames(subfolder);

    QStringList names;
    QString error;
    if (!listFolderFiles(folder, QStringLiteral("dcm"), names, error)) {
        append(error);
        return;
    }
    for (const QString &name : names) {
        if (m_stopCheck)
            break;
        checkFile(folder + name);
    }
}

void NameConsistencyCheck::checkFile(const QString &path)
{
    ++m_filesChecked;
    QString error;
    const bool read = readImageFile(m_viewerImages, path, error);
    yieldToEvents();
    if (!read) {
        append(error); // nothing of this file to compare; the next one
        return;
    }
    const toolkit::ToolkitImage image = m_viewerImages.listItem(1);
    const QString patientId = image.patientId();
    const QString fullName = image.patientName();
    QString rest = fullName;
    QString imageName = db::NextToken(rest, QStringLiteral("^"));
    imageName.remove(QLatin1Char(','));

    // A statement that fails is reported in the error box; its text is also the report's line.
    QString failure;
    const QMetaObject::Connection onError =
        connect(&m_log, &ActivityLog::errorLineAdded, this, [&failure](const QString &line) { failure = line.trimmed(); });
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(
        QStringLiteral("select * from  PatientTable  Where PatientID='") + db::Quote(patientId) + QLatin1Char('\''), failed);
    disconnect(onError);
    if (failed || rows.isNone() || rows.endedWithError()) {
        if (failure.isEmpty())
            failure = rows.error().isEmpty() ? QStringLiteral("Cannot look up Patient ID ") + patientId : rows.error();
        append(failure);
        rows.close();
        return;
    }
    if (rows.atEnd()) {
        append(QStringLiteral("Patient not Found. ") + patientId + QLatin1Char(' ') + fullName);
        rows.close();
        if (m_transmitNotFound)
            transmit(image);
        return;
    }
    QString stored = rows.text(QStringLiteral("Name_Last"));
    rows.close();
    stored.remove(QLatin1Char(','));
    if (stored == imageName)
        append(QStringLiteral("match DB:") + stored + QStringLiteral(" for ") + patientId + QLatin1Char(' '));
    else
        append(QStringLiteral("Mismatch DB: ") + stored + QStringLiteral(" image:") + imageName + QStringLiteral(" for ")
               + patientId + QLatin1Char(' '));
}

void NameConsistencyCheck::transmit(const toolkit::ToolkitImage &image)
{
    int port = 0;
    QString error;
    if (!storagePortNumber(m_options.storagePort(), port, error)) {
        append(error);
        return;
    }
    if (!image.sendToNode(m_options.storageNode().trimmed(), port, QLatin1String(CallingTitle), m_options.storageAE(), &error)) {
        append(error.isEmpty() ? QStringLiteral("The storage node did not take the image") : error);
        return;
    }
    ++m_imagesSent;
}

} // namespace pacs::tools
