#include "browser/SeriesImageCorrections.h"

#include "browser/GridModel.h"
#include "browser/StudyInfo.h"
#include "browser/StudyInfoFields.h"
#include "core/ActivityLog.h"
#include "db/ArchiveConnection.h"
#include "db/ResultSet.h"
#include "db/SqlText.h"
#include "dicom/toolkit/ToolkitImage.h"
#include "dicom/toolkit/ToolkitImageList.h"

#include <QDate>

namespace pacs::browser {

namespace {
constexpr int ImageFileName = 3;
const QString BirthDateFormat = QStringLiteral("M/d/yyyy");

QString q(const QString &text) { return db::Quote(text); }
} // namespace

SeriesImageCorrections::SeriesImageCorrections(db::ArchiveConnection &connection, ActivityLog &log,
                                               StudyInfoFields &fields, StudyInfo &studyInfo, QObject *parent)
    : QObject(parent), m_connection(connection), m_log(log), m_fields(fields), m_studyInfo(studyInfo)
{
}

QString SeriesImageCorrections::inform(const QString &text)
{
    emit message(text);
    return text;
}

bool SeriesImageCorrections::run(const QString &statement, QString &error)
{
    // The statement routine reports the failure in the error box; its line
    // is also the description the message box shows.
    QString reported;
    const QMetaObject::Connection watch =
        connect(&m_log, &ActivityLog::errorLineAdded, this, [&reported](const QString &line) { reported = line.trimmed(); });
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(statement, failed);
    disconnect(watch);
    failed = failed || rows.isNone() || rows.endedWithError();
    rows.close();
    if (failed)
        error = reported.isEmpty() ? QStringLiteral("The statement failed: ") + statement : reported;
    return !failed;
}

bool SeriesImageCorrections::exists(const QString &statement, bool &found, QString &error)
{
    QString reported;
    const QMetaObject::Connection watch =
        connect(&m_log, &ActivityLog::errorLineAdded, this, [&reported](const QString &line) { reported = line.trimmed(); });
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(statement, failed);
    disconnect(watch);
    failed = failed || rows.isNone();
    found = !failed && !rows.atEnd();
    failed = failed || rows.endedWithError();
    rows.close();
    if (failed)
        error = reported.isEmpty() ? QStringLiteral("The statement failed: ") + statement : reported;
    return !failed;
}

// The chosen series (txtSeriesUIDtoUpdate) must exist; then one update of its row.
QString SeriesImageCorrections::updateChosenSeries(const QString &setPrefix, const QString &value)
{
    const QString current = m_fields.value(StudyInfoFields::SeriesUidToUpdate);
    if (current.isEmpty())
        return QString();
    bool found = false;
    QString error;
    if (!exists(QStringLiteral("select StudyUID_fkey from SeriesTable where SeriesUID='") + q(current) + QStringLiteral("'"),
                found, error))
        return failure(error);
    if (!found)
        return inform(notFoundText());
    if (!run(setPrefix + q(value) + QStringLiteral("' where SeriesUID='") + q(current) + QStringLiteral("'"), error))
        return failure(error);
    return inform(doneText());
}

QString SeriesImageCorrections::cmdUpdateSeries()
{
    // The images keep their series reference.
    return updateChosenSeries(QStringLiteral("update SeriesTable set SeriesUID = '"),
                              m_fields.value(StudyInfoFields::UpdatesSeriesUid));
}

QString SeriesImageCorrections::cmdUpdateSeriesStudyUID()
{
    // The target study is not checked: a series may be moved ahead of its study row.
    return updateChosenSeries(QStringLiteral("update SeriesTable set StudyUID_fkey = '"),
                              m_fields.value(StudyInfoFields::SeriesStudyUid));
}

QString SeriesImageCorrections::cmdCreateSeries()
{
    const NewSeriesFields &s = m_newSeries;
    bool found = false;
    QString error;
    if (!exists(QStringLiteral("select * from  SeriesTable Where Seriesuid='") + q(s.seriesUid) + QStringLiteral("'"), found,
                error))
        return failure(error);
    if (found)
        return inform(QStringLiteral("Already Exists"));
    if (!run(QStringLiteral("Insert Into SeriesTable (SeriesUID,StudyUID_FKey,Modality,[SeriesNumber],[SeriesDescription])  VALUES ")
                 + QStringLiteral("( '") + q(s.seriesUid) + QStringLiteral("' ") + QStringLiteral(", '") + q(s.studyUid)
                 + QStringLiteral("' ") + QStringLiteral(", '") + q(s.modality) + QStringLiteral("' ")
                 + QStringLiteral(", '") + q(s.seriesNumber) + QStringLiteral("' ") + QStringLiteral(", '")
                 + q(s.seriesDescription) + QStringLiteral("' ") + QStringLiteral(")  "),
             error))
        return failure(error);
    return inform(doneText());
}

QString SeriesImageCorrections::cmdUpdateImageSeriesUID()
{
    const QString instanceUid = m_fields.value(StudyInfoFields::InstanceUid);
    if (instanceUid.isEmpty())
        return QString();
    bool found = false;
    QString error;
    if (!exists(QStringLiteral("select * from ImageTable where [InstanceUID]='") + q(instanceUid) + QStringLiteral("'"), found,
                error))
        return failure(error);
    if (!found)
        return inform(notFoundText());
    if (!run(QStringLiteral("update ImageTable set SeriesUID_fkey = '") + q(m_fields.value(StudyInfoFields::ImageSeriesUid))
                 + QStringLiteral("' where [InstanceUID]='") + q(instanceUid) + QStringLiteral("'"),
             error))
        return failure(error);
    return inform(doneText());
}

void SeriesImageCorrections::setDetailsVisible(bool visible)
{
    if (m_detailsVisible == visible)
        return;
    m_detailsVisible = visible;
    emit imageDetailsVisibleChanged(visible);
}

bool SeriesImageCorrections::cmdUpdateImgDetails()
{
    const toolkit::ToolkitImageList &viewer = m_studyInfo.viewerImages();
    if (viewer.listCount() < 1)
        return false;
    const toolkit::ToolkitImage image = viewer.listItem(1);
    m_details.patientName = image.patientName();
    m_details.patientId = image.patientId();
    const QVariant birth = image.birthDate();
    m_details.birthDate = birth.userType() == QMetaType::QDate ? birth.toDate().toString(BirthDateFormat) : birth.toString();
    m_details.studyDescription = image.studyDescription();
    m_details.accessionNumber = image.accessionNumber();
    m_details.sex = image.patientSex();
    emit imageDetailsChanged();
    setDetailsVisible(true);
    return true;
}

bool SeriesImageCorrections::cmdUpdateDetails()
{
    QString error;
    toolkit::ToolkitImageList &viewer = m_studyInfo.viewerImages();
    const GridModel &grid = m_studyInfo.imageGrid();
    const int row = grid.row();
    if (viewer.listCount() < 1)
        error = QStringLiteral("no image in the viewer");
    else if (row < 1 || row >= grid.rows())
        error = QStringLiteral("no image chosen");
    if (error.isEmpty()) {
        toolkit::ToolkitImage image = viewer.listItem(1);
        image.setPatientName(m_details.patientName);
        image.setPatientId(m_details.patientId);
        const QDate birth = QDate::fromString(m_details.birthDate.trimmed(), BirthDateFormat);
        image.setBirthDate(birth.isValid() ? QVariant(birth) : QVariant(m_details.birthDate.trimmed()));
        image.setStudyDescription(m_details.studyDescription);
        image.setAccessionNumber(m_details.accessionNumber);
        image.setPatientSex(m_details.sex);
        // The stored name as the row has it. The toolkit writes a temporary
        // file beside it and renames that over the stored name, so the
        // original stays whole under its name until the new one is complete.
        const QString stored = grid.cell(row, ImageFileName);
        if (image.writeImageFile(stored, true, &error)) {
            viewer.listClear();
            m_studyInfo.showReceivedImage(); // repaints the now empty viewer and its listing
            setDetailsVisible(false);
            return true;
        }
        if (error.isEmpty())
            error = QStringLiteral("the file could not be written");
    }
    m_log.ReportError(QStringLiteral("Cannot update file, ") + error + QStringLiteral(", Make sure image is not open elsewhere."),
                      false);
    return false;
}

void SeriesImageCorrections::cmdCancelUpdate()
{
    setDetailsVisible(false);
}

} // namespace pacs::browser
