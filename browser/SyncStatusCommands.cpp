#include "browser/SyncStatusCommands.h"

#include "browser/GridModel.h"
#include "browser/StudyInfo.h"
#include "browser/StudyInfoFields.h"
#include "core/EventYield.h"
#include "db/ArchiveConnection.h"
#include "db/ArchiveTransaction.h"
#include "db/SqlText.h"
#include "transfer/ScheduledSender.h"

#include <algorithm>

namespace pacs::browser {

namespace {
constexpr int kStudyUidColumn = 3;
constexpr int kPatientIdColumn = 5;
constexpr int kLastNameColumn = 6;
constexpr int kFirstNameColumn = 7;
constexpr int kSendStatusColumn = 19;
constexpr int kSyncCountColumn = 20;
const QString kCrLf = QStringLiteral("\r\n");

// A study list with a current data row.
bool hasCurrentRow(const GridModel &grid)
{
    return grid.row() > 0 && grid.rows() > 1;
}
} // namespace

SyncStatusCommands::SyncStatusCommands(db::ArchiveConnection &connection, ScheduledSender &sender, GridModel &studyGrid,
                                       StudyInfo &studyInfo, StudyInfoFields &fields, QObject *parent)
    : QObject(parent), m_connection(connection), m_sender(sender), m_studyGrid(studyGrid), m_studyInfo(studyInfo),
      m_fields(fields)
{
}

int SyncStatusCommands::SendSelected()
{
    if (!hasCurrentRow(m_studyGrid))
        return 0;
    const int first = std::max(1, std::min(m_studyGrid.row(), m_studyGrid.rowSel()));
    const int last = std::min(m_studyGrid.rows() - 1, std::max(m_studyGrid.row(), m_studyGrid.rowSel()));
    int queued = 0;
    for (int row = first; row <= last; ++row) {
        m_sender.queueStudy(m_studyGrid.cell(row, kStudyUidColumn));
        ++queued;
    }
    return queued;
}

bool SyncStatusCommands::SendImage()
{
    const QString uid = m_fields.value(StudyInfoFields::InstanceUid);
    if (uid.isEmpty())
        return false;
    m_sender.QueueImage(uid);
    return true;
}

int SyncStatusCommands::MarkListedAsSent()
{
    emit busyChanged(true);
    int marked = 0;
    if (hasCurrentRow(m_studyGrid)) {
        for (int row = 1; row < m_studyGrid.rows(); ++row) {
            if (markStudySent(m_studyGrid.cell(row, kStudyUidColumn)))
                ++marked;
            yieldToEvents();
        }
    }
    emit busyChanged(false);
    return marked;
}

bool SyncStatusCommands::markStudySent(const QString &uid)
{
    const QString studyUid = db::Quote(uid);
    bool failed = false;
    // A study is marked with all its images or not at all.
    db::ArchiveTransaction transaction(m_connection);
    m_connection.ExecuteSQL(
        QStringLiteral("update DICOM..StudyTABLE set SendStatus='1' where StudyUID='") + studyUid + QLatin1Char('\''),
        failed);
    bool ok = !failed;
    db::ResultSet series = m_connection.ExecuteSQL(
        QStringLiteral("SELECT seriesUID from seriestable where studyuid_fkey='") + studyUid + QLatin1Char('\''), failed);
    ok = ok && !failed;
    QStringList seriesUids;
    for (; ok && !series.isNone() && !series.atEnd(); series.moveNext())
        seriesUids << series.text(0);
    series.close();
    for (const QString &seriesUid : std::as_const(seriesUids)) {
        m_connection.ExecuteSQL(QStringLiteral("update imagetable set SyncStatus='1' where [SeriesUID_FKey]='")
                                    + db::Quote(seriesUid) + QLatin1Char('\''),
                                failed);
        ok = ok && !failed;
    }
    return ok && transaction.isOpen() && transaction.commit();
}

QString SyncStatusCommands::SyncStatusReport()
{
    m_studyInfo.setCountingMode(true);
    m_studies = m_studiesSent = m_studiesUnsent = m_images = m_imagesSent = 0;
    m_syncStatus = QStringLiteral("Patients with unsent images:") + kCrLf;
    for (int row = 1; row < m_studyGrid.rows(); ++row) {
        m_studyGrid.setRow(row);
        m_fields.setValue(StudyInfoFields::StudyUid, m_studyGrid.cell(row, kStudyUidColumn));
        m_studyInfo.LoadSeriesList();
        m_studyInfo.resetCounters();
        GridModel &series = m_studyInfo.seriesGrid();
        for (int seriesRow = 1; seriesRow < series.rows(); ++seriesRow) {
            series.setRow(seriesRow);
            m_studyInfo.ShowSeriesRow();
        }
        const qint32 images = m_studyInfo.imageCounter();
        const qint32 sent = m_studyInfo.sentCounter();
        m_studyGrid.setCell(row, kSyncCountColumn, QString::number(sent) + QLatin1Char('/') + QString::number(images));
        if (sent == images) {
            ++m_studiesSent;
            m_studyGrid.setCellBackground(row, kSendStatusColumn, SentRgb);
        } else {
            m_syncStatus += kCrLf + m_studyGrid.cell(row, kPatientIdColumn) + QLatin1Char(' ')
                            + m_studyGrid.cell(row, kLastNameColumn) + QStringLiteral(", ")
                            + m_studyGrid.cell(row, kFirstNameColumn);
            ++m_studiesUnsent;
            m_studyGrid.setCellBackground(row, kSendStatusColumn, UnsentRgb);
        }
        ++m_studies;
        m_images += images;
        m_imagesSent += sent;
    }
    const QString gap = kCrLf + kCrLf;
    m_syncStatus += gap + QStringLiteral("Total Studies: ") + QString::number(m_studies);
    m_syncStatus += gap + QStringLiteral("Total Studies Sent: ") + QString::number(m_studiesSent);
    m_syncStatus += gap + QStringLiteral("Total Studies Unsent: ") + QString::number(m_studiesUnsent);
    m_syncStatus += gap + QStringLiteral("Total Images: ") + QString::number(m_imagesSent) + QLatin1Char('/')
                    + QString::number(m_images);
    m_studyInfo.setCountingMode(false);
    emit syncStatusChanged(m_syncStatus);
    return m_syncStatus;
}

} // namespace pacs::browser
