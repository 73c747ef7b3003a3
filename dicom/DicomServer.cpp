#include "dicom/DicomServer.h"

#include "core/ActivityLog.h"
#include "core/ServerOptions.h"
#include "db/ArchiveConnection.h"
#include "db/SqlText.h"
#include "dicom/CallerAccess.h"
#include "dicom/HisFeedback.h"
#include "dicom/ImagePath.h"
#include "dicom/ImageReception.h"
#include "dicom/PendingWrites.h"
#include "dicom/QueryService.h"
#include "dicom/RetrieveService.h"
#include "dicom/TlsSettings.h"
#include "dicom/toolkit/ToolkitConnection.h"
#include "dicom/toolkit/ToolkitEncodeQueue.h"


#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>

namespace pacs {

using toolkit::ToolkitConnection;

DicomServer::DicomServer(const HomeFolder &home, ActivityLog &log, ServerOptions &options, db::ArchiveConnection &connection,
                         QObject *parent)
    : QObject(parent),
      m_log(log),
      m_options(options),
      m_connection(connection),
      m_listener(this),
      m_his(std::make_unique<HisFeedback>(home, log, options))
{
    m_reception = std::make_unique<ImageReception>(*this, connection, log, options, *m_his,
                                                   [this] { return m_updateImageData; });
    m_retrieve = std::make_unique<RetrieveService>(connection, log, options);
    m_access = std::make_unique<CallerAccess>(connection, options);
    m_query = std::make_unique<QueryService>(connection, log, options, *m_retrieve);
    // Set once after creation; the toolkit gives them no meaning here.
    m_listener.setListenerSettingA(true);
    m_listener.setListenerSettingB(-16384);
}

DicomServer::~DicomServer()
{
    m_listener.setEvents(nullptr);
}

void DicomServer::LoadCustomDB(Prompter *prompter)
{
    m_his->LoadCustomDB(prompter);
}

void DicomServer::showInViewer(const toolkit::ToolkitImage &image)
{
    m_viewerImages.listClear();
    m_viewerImages.listAdd(image);
    emit viewerImagesChanged();
}

void DicomServer::imageReceived(ToolkitConnection &connection, toolkit::ToolkitImage &image)
{
    m_reception->Server_ImageReceivedAsync(connection, image);
}

void DicomServer::queryRequest(ToolkitConnection &connection)
{
    m_query->Server_QueryRequest(connection);
}

void DicomServer::ListenIfEnabled(bool listenChecked)
{
    if (!listenChecked)
        return;
    if (!m_options.isLoaded())
        m_options.load();
    const QString portText = m_options.port();
    bool ok = false;
    const int port = portText.trimmed().toInt(&ok);
    if (!ok || port < 0 || port > 65535) {
        m_log.prependRaw(QStringLiteral("Invalid port number: ") + portText);
        return;
    }
    applyTlsSettings();
    if (m_listener.startListening(port)) {
        m_listenedPort = portText;
        m_log.WriteLog(QStringLiteral("Listened succesfully on Port ") + portText);
        if (m_listener.isSecure())
            m_log.WriteLog(m_options.tlsTrustedCertificates().isEmpty()
                               ? QStringLiteral("DICOM TLS on; peer certificates are not checked")
                               : QStringLiteral("DICOM TLS on; peers need a certificate from ")
                                     + m_options.tlsTrustedCertificates());
        if (port == 0) // a free port was chosen; say which
            m_log.WriteLog(QStringLiteral("Listening on port %1").arg(m_listener.listeningPort()));
        emit listeningChanged(true);
    } else {
        m_log.WriteLog(QStringLiteral("Failed to Listen on Port ") + portText);
        if (!m_listener.lastError().isEmpty())
            m_log.WriteLog(m_listener.lastError());
    }
}

QString DicomServer::tlsSignature() const
{
    return QStringList{m_options.tlsCertificate(), m_options.tlsPrivateKey(), m_options.tlsTrustedCertificates(),
                       QString::number(m_options.tlsOutgoing())}
        .join(QLatin1Char('\n'));
}

void DicomServer::followPortChange()
{
    const bool tlsChanged = tlsSignature() != m_appliedTls;
    if (!m_listener.isListening()) {
        if (tlsChanged) // for outgoing associations
            applyTlsSettings();
        return;
    }
    if (m_options.port() == m_listenedPort && !tlsChanged)
        return;
    const QString previous = m_listenedPort;
    const int previousPort = m_listener.listeningPort();
    ListenIfEnabled(true);
    // A port that cannot be had must not leave the archive deaf: back to the old one.
    if (!m_listener.isListening() && m_listener.startListening(previousPort)) {
        m_listenedPort = previous;
        m_log.WriteLog(QStringLiteral("Still listening on Port ") + QString::number(previousPort));
    }
}

void DicomServer::stopListening()
{
    m_listenedPort.clear();
    if (!m_options.isLoaded())
        m_options.load();
    m_listener.stopListening(m_options.portNumber());
    emit listeningChanged(false);
}

bool DicomServer::takeStopConnectionRequest()
{
    const bool requested = m_stopConnectionRequested;
    m_stopConnectionRequested = false;
    return requested;
}

void DicomServer::setStopButtonVisible(bool visible)
{
    if (m_stopButtonVisible == visible)
        return;
    m_stopButtonVisible = visible;
    emit stopButtonVisibilityChanged(visible);
}

// The file could not be written: a row written before it must not point at
// a file that is not there (an earlier copy that is still readable keeps it).
void DicomServer::saveImageFailed(const QString &tag)
{
    const QString uid = tag.section(QLatin1Char('|'), 0, 0);
    if (uid.isEmpty())
        return;
    const QString where = QStringLiteral(" WHERE InstanceUID='") + db::Quote(uid) + QLatin1Char('\'');
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT Filename FROM ImageTABLE") + where, failed);
    if (rows.isNone() || rows.atEnd())
        return;
    const QString path = db::OnServerDrive(rows.text(0), m_options.storageRoot());
    rows.close();
    if (isReadableDicomFile(path))
        return;
    m_connection.ExecuteSQL(QStringLiteral("DELETE FROM ImageTABLE") + where, failed);
    m_log.WriteLog(QStringLiteral("Image row removed, its file could not be written: ") + uid);
}

void DicomServer::forgetPendingWrite(ToolkitConnection &connection)
{
    m_reception->pendingWrites().end(&connection);
}

int DicomServer::repairInterruptedWrites()
{
    QDir folder(pendingWriteFolder(m_options.storageRoot()));
    int removed = 0;
    for (const QString &name : folder.entryList({QStringLiteral("*.pending")}, QDir::Files)) {
        QFile marker(folder.filePath(name));
        const QString uid = PendingWrites::uidIn(marker.fileName());
        if (uid.isEmpty()) { // an empty slot: nothing was in progress there
            marker.remove();
            continue;
        }
        const QString where = QStringLiteral(" WHERE InstanceUID='") + db::Quote(uid) + QLatin1Char('\'');
        bool failed = false;
        db::ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT Filename FROM ImageTABLE") + where, failed);
        if (rows.isNone())
            continue; // the archive cannot be read now: the marker stays for the next start
        const bool hasRow = !rows.atEnd();
        const QString path = hasRow ? db::OnServerDrive(rows.text(0), m_options.storageRoot()) : QString();
        rows.close();
        if (hasRow && !uid.isEmpty() && !isReadableDicomFile(path)) {
            m_connection.ExecuteSQL(QStringLiteral("DELETE FROM ImageTABLE") + where, failed);
            if (failed)
                continue;
            ++removed;
            m_log.ReportError(QStringLiteral("Image row removed at start, its file was never completed: ") + uid, true);
        }
        marker.remove();
    }
    // Files a stopped server stored as received and had not compressed yet.
    toolkit::ToolkitEncodeQueue::instance().resume(encodeQueueFolder(m_options.storageRoot()));
    return removed;
}

void DicomServer::setReceiveIndicator(const QString &caption)
{
    m_receiveIndicator = caption;
    emit receiveIndicatorChanged(caption);
}

void DicomServer::TickReceiveIndicator()
{
    QString caption = m_receiveIndicator + QLatin1Char('.');
    if (caption == QString(19, QLatin1Char('.')))
        caption.clear();
    setReceiveIndicator(caption);
    QCoreApplication::processEvents();
}

void DicomServer::associationRequest(ToolkitConnection &connection, bool &isOK)
{
    m_log.WriteLog(QStringLiteral("Association Request."));
    m_log.WriteLog(QStringLiteral("Association request from ") + connection.callingTitle() + QStringLiteral(" to ")
                   + connection.calledTitle());
    // Every association that offers a presentation context is accepted.
    for (qsizetype i = 0; i < connection.offeredContexts().size(); ++i)
        isOK = true;
    QString reason;
    if (isOK && !m_access->admits(connection.callingTitle(), connection.remoteAddress(), &reason)) {
        isOK = false;
        connection.setRejection(ToolkitConnection::Rejection::CallingTitleNotRecognized);
        m_log.WriteLog(QStringLiteral("Association refused: ") + reason);
    }
}

bool DicomServer::applyTlsSettings()
{
    if (!m_options.isLoaded())
        m_options.load();
    QString error;
    m_appliedTls = tlsSignature();
    const bool ok = pacs::applyTlsSettings(m_options, &error);
    if (!ok)
        m_log.ReportError(error, false);
    return ok;
}

void DicomServer::verifyReceived(ToolkitConnection &, int &status)
{
    status = 0;
}

void DicomServer::actionUpdate(ToolkitConnection &, const QString &, const QString &, int, int)
{
}

void DicomServer::actionComplete(ToolkitConnection &connection, const QString &action, const QString &,
                                 bool success, const QString &errorMessage)
{
    setReceiveIndicator(QString());
    setStopButtonVisible(false);
    const bool saving = action == QLatin1String("SaveImage");
    if (!success) {
        m_log.ReportError(errorMessage, false);
        if (saving) {
            // This image is refused; the next images of the association are
            // still tried (a full folder need not be a full disk).
            saveImageFailed(connection.userTag());
            forgetPendingWrite(connection);
            connection.setStatus(0xA700);
            return;
        }
        connection.closeAssociation();
        return;
    }
    m_log.WriteLog(QStringLiteral("Complete: ") + QStringLiteral(" action:") + action);
    m_log.WriteLog(QString());

    if (saving) {
        completeSaveImage(connection);
        forgetPendingWrite(connection);
    } else if (action == QLatin1String("SetDestination")) {
        m_retrieve->SendRequestedImages(connection);
    } else if (action == QLatin1String("SendImages")) {
        if (connection.actionResultCode() == 0)
            connection.setStatus(0);
        if (m_outboxLog)
            m_outboxLog(QStringLiteral("Send Complete."));
    }
}

// An association that broke (or a handler that failed) says why in the
// activity log, beside its "Association request" lines.
void DicomServer::connectionError(ToolkitConnection &, const QString &errorMessage)
{
    m_log.WriteLog(errorMessage);
}

// The image file is written: the sender gets its status now.
void DicomServer::completeSaveImage(ToolkitConnection &connection)
{
    const QString tag = connection.userTag();
    const QString uid = tag.section(QLatin1Char('|'), 0, 0);
    // A refusal set while the file was being written (the row could not be
    // written) stands: the modality must not hear "stored".
    const int earlier = connection.status();
    if (earlier >= 0xA000 && earlier != 0xB000 && earlier < 0xFF00)
        return;
    if (m_options.saveDbBeforeImage() == 1) {
        connection.setStatus(0);
        if (m_options.autoEcho() == 1 && m_queueImage)
            m_queueImage(uid);
        return;
    }
    if (tag.isEmpty()) {
        m_log.ReportError(QStringLiteral("No connection tag in action complete saveimage."), false);
        return;
    }
    const qsizetype bar = tag.indexOf(QLatin1Char('|'));
    if (bar < 0) { // the row was written by row editing already
        connection.setStatus(0);
        if (m_options.autoEcho() == 1 && m_queueImage)
            m_queueImage(uid);
        return;
    }
    const QString statement = tag.mid(bar + 1);
    bool failed = false;
    m_connection.ExecuteSQL(statement, failed);
    if (failed || statement.isEmpty()) {
        connection.setStatus(0xB000);
        m_log.WriteLog(tag);
        return;
    }
    connection.setStatus(0);
    if (m_options.autoEcho() == 1 && m_queueImage)
        m_queueImage(uid);
}

} // namespace pacs
