#include "dicom/ImageReception.h"

#include "core/ActivityLog.h"
#include "core/ServerOptions.h"
#include "core/TextValues.h"
#include "db/ArchiveConnection.h"
#include "db/SqlText.h"
#include "dicom/DicomServer.h"
#include "dicom/HisFeedback.h"
#include "dicom/ImagePath.h"
#include "dicom/PersonName.h"
#include "dicom/SqlLiterals.h"
#include "dicom/toolkit/ToolkitConnection.h"
#include "dicom/toolkit/ToolkitImage.h"
#include "dicom/toolkit/ToolkitUtility.h"

#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <exception>

namespace pacs {

using toolkit::ToolkitConnection;
using toolkit::ToolkitImage;

namespace {
constexpr int kStatusSuccess = 0x0000;
constexpr int kStatusRefused = 0xA801;
constexpr int kStatusOutOfResources = 0xA700;

QString upperWithoutTilde(const QString &text)
{
    QString s = text.toUpper();
    s.replace(QChar(0x00D1), QLatin1Char('N')); // Ñ
    return s;
}
} // namespace

ImageReception::ImageReception(DicomServer &server, db::ArchiveConnection &connection, ActivityLog &log,
                               ServerOptions &options, HisFeedback &his, std::function<bool()> updateImageData)
    : m_server(server),
      m_connection(connection),
      m_log(log),
      m_options(options),
      m_his(his),
      m_updateImageData(updateImageData),
      m_inserter(connection, log, options, updateImageData)
{
}

QString ImageReception::NewTemporaryPatientId()
{
    QRandomGenerator random{quint32(QDateTime::currentMSecsSinceEpoch())};
    for (;;) {
        QString candidate = QStringLiteral("t");
        for (int i = 0; i < 8; ++i)
            candidate += QChar(QLatin1Char('0').unicode() + random.bounded(10));
        bool failed = false;
        db::ResultSet rows = m_connection.ExecuteSQL(
            QStringLiteral(" select patientid FROM PATIENTTABLE WHERE patientid='") + candidate + QStringLiteral("'"), failed);
        if (rows.isNone())
            return candidate; // cannot check: nine random characters are all but certainly free
        const bool taken = !rows.atEnd();
        rows.close();
        if (!taken)
            return candidate;
    }
}

ImageReception::Outcome ImageReception::checkLastName(ToolkitConnection &connection, ToolkitImage &image, QString &error)
{
    const QString patientId = image.patientId();
    const PersonNameParts name = SplitPersonName(image.attributeSet().findAttribute(0x10, 0x10).attributeValue(), &m_log);
    m_lastStatement = QStringLiteral(" select name_last FROM PATIENTTABLE WHERE PATIENTID='") + db::Quote(patientId) + QStringLiteral("'");
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(m_lastStatement, failed);
    if (rows.isNone()) {
        error = QStringLiteral("The archive could not be read.");
        return Outcome::Failed;
    }
    if (rows.atEnd())
        return Outcome::Continue;
    const QString stored = upperWithoutTilde(db::Quote(rows.text(0)));
    rows.close();
    const QString sending = upperWithoutTilde(db::Quote(name.last));
    if (stored.contains(sending))
        return Outcome::Continue;

    m_log.ReportError(QStringLiteral("Same ID, Different Last Name.DB:") + stored + QStringLiteral(" <> sending ") + sending
                          + QStringLiteral(" for ") + patientId,
                      true);
    if (m_options.disregardSelected()) {
        dropIntoQuarantine(connection, image, QStringLiteral("different-name"));
        return Outcome::Done;
    }
    // The name parts are SQL-ready already; the birth date comes as the toolkit reads it.
    m_lastStatement = QStringLiteral(" select patientid FROM PATIENTTABLE WHERE name_first='") + name.first
                      + QStringLiteral("' and name_middle='") + name.middle + QStringLiteral("' and name_last='") + name.last
                      + QStringLiteral("' and dateofbirth='")
                      + db::Quote(valueText(image.attributeSet().findAttribute(0x10, 0x30).attributeValue())) + QStringLiteral("'");
    db::ResultSet same = m_connection.ExecuteSQL(m_lastStatement, failed);
    if (same.isNone()) {
        error = QStringLiteral("The archive could not be read.");
        return Outcome::Failed;
    }
    if (same.atEnd()) {
        image.setPatientId(NewTemporaryPatientId());
    } else {
        const QString existing = same.text(QStringLiteral("PatientID"));
        same.close();
        image.setPatientId(existing);
        m_log.ReportError(QStringLiteral("Using existing ID:") + existing + QStringLiteral(" instead of ") + patientId, true);
    }
    return Outcome::Continue;
}

ImageReception::Outcome ImageReception::checkMasterList(ToolkitConnection &connection, ToolkitImage &image, QString &error)
{
    const QString patientId = image.patientId();
    if (patientId.left(2).toUpper() == QLatin1String("OS"))
        return Outcome::Continue;
    m_lastStatement = QStringLiteral(" select LastName FROM Patient_Data.dbo.tbMaster WHERE HospNum='") + db::Quote(patientId)
                      + QStringLiteral("'");
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(m_lastStatement, failed);
    if (rows.isNone()) {
        error = QStringLiteral("The master patient list could not be read.");
        return Outcome::Failed;
    }
    const bool found = !rows.atEnd();
    rows.close();
    if (found)
        return Outcome::Continue;
    m_log.ReportError(QStringLiteral("Name ") + image.patientName() + QStringLiteral(" not for in Master database for ID:") + patientId, true);
    dropIntoQuarantine(connection, image, QStringLiteral("not-in-master-list"));
    return Outcome::Done;
}

void ImageReception::dropIntoQuarantine(ToolkitConnection &connection, const ToolkitImage &image, const QString &reason)
{
    QString folder = m_options.storageRoot();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    folder += QStringLiteral("IMAGES/_quarantine/") + reason;
    const QString path = folder + QLatin1Char('/') + instanceFileStem(image.instanceUid()) + QStringLiteral(".dcm");
    QString error;
    if (!QDir().mkpath(folder))
        error = QStringLiteral("the folder cannot be made");
    else if (image.writeImageFile(path, false, &error))
        error.clear();
    else if (error.isEmpty())
        error = QStringLiteral("the file cannot be written");
    if (error.isEmpty()) {
        m_log.ReportError(QStringLiteral("Image kept in quarantine (") + reason + QStringLiteral("): ") + path, true);
        connection.setStatus(kStatusSuccess);
        return;
    }
    m_log.ReportError(QStringLiteral("Image refused: it cannot be kept in quarantine (") + reason + QStringLiteral("): ")
                          + path + QStringLiteral(": ") + error,
                      true);
    connection.setStatus(kStatusOutOfResources);
}

void ImageReception::errorExit(ToolkitConnection &connection, const QString &description)
{
    connection.setStatus(kStatusOutOfResources);
    m_log.ReportError(QStringLiteral("Image Received ") + description + QStringLiteral(" : ") + QStringLiteral("talmir-pacs")
                          + QStringLiteral(" ") + QStringLiteral(" / ") + m_lastStatement,
                      false);
    m_log.WriteLog(QStringLiteral("----------- "));
}

void ImageReception::Server_ImageReceivedAsync(ToolkitConnection &connection, ToolkitImage &image)
{
    m_server.TickReceiveIndicator();
    m_server.setStopButtonVisible(true);
    if (m_server.takeStopConnectionRequest()) {
        connection.setStatus(kStatusRefused);
        return;
    }
    m_log.WriteLog(QStringLiteral("----RECEIVING---- ") + image.studyUid());
    m_lastStatement.clear();
    try {
        if (image.patientId().isEmpty()) {
            m_log.ReportError(QStringLiteral("No Patient ID.") + image.patientName(), true);
            dropIntoQuarantine(connection, image, QStringLiteral("no-patient-id"));
            return;
        }
        const PersonNameParts name = SplitPersonName(image.attributeSet().findAttribute(0x10, 0x10).attributeValue().isNull()
                                                         ? QVariant(QString())
                                                         : image.attributeSet().findAttribute(0x10, 0x10).attributeValue(),
                                                     &m_log);
        QString error;
        if (m_options.checkDifferentName() == 1) {
            const Outcome outcome = checkLastName(connection, image, error);
            if (outcome == Outcome::Done)
                return;
            if (outcome == Outcome::Failed)
                return errorExit(connection, error);
        }
        if (m_options.hospNumExists() == 1) {
            const Outcome outcome = checkMasterList(connection, image, error);
            if (outcome == Outcome::Done)
                return;
            if (outcome == Outcome::Failed)
                return errorExit(connection, error);
        }
        if (m_options.checkRequestNumber() == 1 && image.accessionNumber().isEmpty()) {
            m_log.ReportError(QStringLiteral("No AccessionNumber"), true);
            return; // no status: the toolkit refuses the image
        }

        const bool everyImage = m_updateImageData();
        if (image.patientId() != m_lastPatientId || everyImage) {
            if (!m_inserter.InsertPatient(image)) {
                m_lastStatement = m_inserter.lastStatement();
                m_log.ReportError(QStringLiteral("Cannot InsertPatient."), false);
                return errorExit(connection, QStringLiteral("Cannot InsertPatient."));
            }
            m_lastPatientId = image.patientId();
        }

        if (valueText(image.attributeSet().findAttribute(0x20, 0x0D).attributeValue()).isEmpty()) {
            m_log.ReportError(QStringLiteral("No STUDY UID. ") + image.patientName() + QStringLiteral(" "), false);
            m_server.showInViewer(image);
            m_server.stopListening();
            image.setStudyUid(toolkit::ToolkitUtility::newUid());
        }
        const QString studyUid = image.studyUid();
        if (studyUid != m_lastStudyUid || everyImage) {
            if (!m_inserter.InsertStudy(image)) {
                m_lastStatement = m_inserter.lastStatement();
                m_log.ReportError(QStringLiteral("Cannot InsertStudy."), false);
                return errorExit(connection, QStringLiteral("Cannot InsertStudy."));
            }
            m_lastStudyUid = studyUid;
        }
        if (image.seriesUid() != m_lastSeriesUid || everyImage) {
            if (!m_inserter.InsertSeries(image)) {
                m_lastStatement = m_inserter.lastStatement();
                m_log.ReportError(QStringLiteral("Cannot InsertSeries"), false);
                return errorExit(connection, QStringLiteral("Cannot InsertSeries"));
            }
            m_lastSeriesUid = image.seriesUid();
        }
        if (!m_inserter.InsertImage(image, connection)) {
            m_lastStatement = m_inserter.lastStatement();
            m_log.ReportError(QStringLiteral("Cannot InsertImage"), false);
            return errorExit(connection, QStringLiteral("Cannot InsertImage"));
        }

        const QString summary = QStringLiteral(" L: ") + name.last + QStringLiteral(" F: ") + name.first + QStringLiteral(" M:") + name.middle;
        if (summary != m_lastReceivedSummary) {
            m_lastReceivedSummary = summary;
            m_log.addReceived(generalDateTime(QDateTime::currentDateTime()) + QStringLiteral(": ") + summary);
            m_log.LogEvent(QStringLiteral("Received ") + summary, QString(), 0);
        }
        m_his.NotifyHisOrder(image);
        m_log.WriteLog(QStringLiteral("----------- "));
    } catch (const std::exception &e) {
        errorExit(connection, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        errorExit(connection, QStringLiteral("Unexpected error"));
    }
}

} // namespace pacs
