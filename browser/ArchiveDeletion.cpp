#include "browser/ArchiveDeletion.h"

#include "browser/GridModel.h"
#include "browser/StudyInfo.h"
#include "browser/StudyInfoFields.h"
#include "browser/StudyListSearch.h"
#include "core/EventYield.h"
#include "core/Prompter.h"
#include "db/ArchiveConnection.h"
#include "db/ArchiveTransaction.h"
#include "db/ResultSet.h"
#include "db/SqlText.h"
#include "dicom/toolkit/ToolkitEncodeQueue.h"
#include "dicom/toolkit/ToolkitImageList.h"

#include <QFile>
#include <QFileInfo>

namespace pacs::browser {

namespace {
constexpr int ImageInstanceUid = 0;
constexpr int ImageSeriesUid = 1;
constexpr int ImageFileName = 3;
} // namespace

ArchiveDeletion::ArchiveDeletion(db::ArchiveConnection &connection, StudyInfoFields &fields, StudyInfo &studyInfo,
                                 StudyListSearch &studyList, std::function<Prompter *()> prompter,
                                 std::function<void()> forgetLastStudy, bool &searching, QObject *parent)
    : QObject(parent), m_connection(connection), m_fields(fields), m_studyInfo(studyInfo), m_studyList(studyList),
      m_prompter(std::move(prompter)), m_forgetLastStudy(std::move(forgetLastStudy)), m_searching(searching)
{
}

QString ArchiveDeletion::failedImageText(const QString &instanceUid)
{
    return QStringLiteral("Image ") + instanceUid + QStringLiteral(" was not deleted (see the error box).");
}

QString ArchiveDeletion::failedStudyText(const QString &studyUid)
{
    return QStringLiteral("Study ") + studyUid + QStringLiteral(" was not deleted, nothing of it changed (see the error box).");
}

QString ArchiveDeletion::inform(const QString &text)
{
    emit message(text);
    return text;
}

void ArchiveDeletion::removeFile(const QString &storedName)
{
    // As stored, not moved onto today's storage root: the name the row had.
    if (storedName.isEmpty() || !QFileInfo::exists(storedName))
        return; // already gone: nothing to say
    // Through the encode queue: a compression running on it must not put it back.
    if (!toolkit::ToolkitEncodeQueue::removeStoredFile(storedName))
        m_filesLeft << storedName;
}

QString ArchiveDeletion::cmdDeleteImage()
{
    m_filesLeft.clear();
    const QString instanceUid = m_fields.value(StudyInfoFields::InstanceUid);
    if (instanceUid.isEmpty())
        return QString();
    const QString seriesUid = m_fields.value(StudyInfoFields::ImageSeriesUid);
    bool failed = false;
    m_connection.ExecuteSQL(QStringLiteral("delete  From ImageTable WHERE INSTANCEUID= '") + db::Quote(instanceUid)
                                + QStringLiteral("' and  SeriesUID_Fkey= '") + db::Quote(seriesUid) + QStringLiteral("'"),
                            failed);
    if (failed)
        return inform(failedImageText(instanceUid)); // the file stays with its row
    emit beep();
    m_studyInfo.viewerImages().listClear();
    // The file of the grid's current row, but only when that row is the image
    // just deleted: boxes the operator overwrote must not take another
    // image's file.
    const GridModel &grid = m_studyInfo.imageGrid();
    const int row = grid.row();
    if (row > 0 && row < grid.rows() && grid.cell(row, ImageInstanceUid) == instanceUid
        && grid.cell(row, ImageSeriesUid) == seriesUid)
        removeFile(grid.cell(row, ImageFileName));
    m_studyInfo.LoadImageList();
    return QString();
}

QString ArchiveDeletion::cmdDeleteStudy()
{
    m_filesLeft.clear();
    const QString studyUid = m_fields.value(StudyInfoFields::StudyUid);
    if (studyUid.isEmpty())
        return QString();
    m_searching = false;
    Prompter *prompter = m_prompter ? m_prompter() : nullptr;
    if (!prompter || !prompter->askYesNo(QStringLiteral("Delete Study ") + studyUid + QStringLiteral("?")))
        return QString();
    emit busyChanged(true);
    const QString uid = db::Quote(studyUid);

    // The rows go first, all in one transaction; the files named by them are
    // collected on the way and removed once the deletion is committed.
    QList<QStringList> filesBySeries;
    bool deleted = false;
    {
        db::ArchiveTransaction transaction(m_connection);
        bool failed = !transaction.isOpen();
        QStringList seriesUids;
        if (!failed) {
            db::ResultSet series = m_connection.ExecuteSQL(
                QStringLiteral("SELECT seriesUID from seriestable where studyuid_fkey='") + uid + QStringLiteral("'"), failed);
            while (!failed && !series.isNone() && !series.atEnd()) {
                seriesUids << series.text(QStringLiteral("seriesUID"));
                series.moveNext();
            }
            failed = failed || series.isNone() || series.endedWithError();
            series.close();
        }
        for (const QString &seriesUid : seriesUids) {
            if (failed)
                break;
            const QString key = db::Quote(seriesUid);
            QStringList files;
            db::ResultSet images = m_connection.ExecuteSQL(
                QStringLiteral("SELECT FileName from imagetable where [SeriesUID_FKey]='") + key + QStringLiteral("'"), failed);
            while (!failed && !images.isNone() && !images.atEnd()) {
                files << images.text(QStringLiteral("FileName"));
                images.moveNext();
            }
            failed = failed || images.isNone() || images.endedWithError();
            images.close();
            if (!failed)
                m_connection.ExecuteSQL(QStringLiteral("delete from imagetable where [SeriesUID_FKey]='") + key
                                            + QStringLiteral("'"),
                                        failed);
            filesBySeries << files;
        }
        if (!failed)
            m_connection.ExecuteSQL(QStringLiteral("delete from seriestable where [studyuid_fkey]='") + uid + QStringLiteral("'"),
                                    failed);
        if (!failed)
            m_connection.ExecuteSQL(QStringLiteral("delete from studytable where [studyuid]='") + uid + QStringLiteral("'"),
                                    failed);
        deleted = !failed && transaction.commit();
    }
    if (!deleted) {
        emit busyChanged(false);
        return inform(failedStudyText(studyUid));
    }
    for (const QStringList &files : filesBySeries) {
        for (const QString &file : files)
            removeFile(file);
        yieldToEvents();
    }
    if (m_forgetLastStudy)
        m_forgetLastStudy();
    emit busyChanged(false);
    return inform(QStringLiteral("Done."));
}

void ArchiveDeletion::cmdDeleteALL()
{
    GridModel &grid = m_studyList.grid();
    QStringList left;
    for (int row = 1; row < grid.rows(); ++row) {
        grid.setRow(row);
        m_studyList.openStudy(row);
        cmdDeleteStudy();
        left << m_filesLeft;
    }
    m_filesLeft = left;
}

} // namespace pacs::browser
