#include "browser/StudyInfo.h"

#include "browser/AttributeListing.h"
#include "core/ActivityLog.h"
#include "core/EventYield.h"
#include "db/ArchiveConnection.h"
#include "db/ResultSet.h"
#include "db/SqlText.h"
#include "dicom/toolkit/ToolkitImageList.h"

#include <QStringList>
#include <algorithm>

namespace pacs::browser {

namespace {
const int ColumnWidths[StudyInfo::GridColumns] = {2500, 2500, 1500, 1500, 1500};
// Image table columns the view relies on.
constexpr int ImageInstanceUid = 0;
constexpr int ImageSeriesUid = 1;
constexpr int ImageFileName = 3;
constexpr int ImageSyncStatus = 4;
} // namespace

StudyInfo::StudyInfo(db::ArchiveConnection &connection, ActivityLog &log, StudyInfoFields &fields,
                     toolkit::ToolkitImageList &viewerImages, std::function<QString()> storageRoot, bool &searching,
                     QObject *parent)
    : QObject(parent), m_connection(connection), m_log(log), m_fields(fields), m_viewerImages(viewerImages),
      m_storageRoot(std::move(storageRoot)), m_searching(searching)
{
    for (GridModel *grid : {&m_seriesGrid, &m_imageGrid})
        for (int c = 0; c < GridColumns; ++c)
            grid->setColumnWidth(c, ColumnWidths[c]);
}

void StudyInfo::setAttributeList(const QString &text)
{
    if (m_attributeList == text)
        return;
    m_attributeList = text;
    emit attributeListChanged(text);
}

QString StudyInfo::rowText(const db::ResultSet &rows)
{
    QStringList cells;
    for (int c = 0; c < GridColumns; ++c)
        cells << (c < rows.fieldCount() ? rows.text(c) : QString());
    return cells.join(QLatin1Char('\t'));
}

void StudyInfo::setHeader(GridModel &grid, const db::ResultSet &rows)
{
    for (int c = 0; c < GridColumns; ++c) {
        grid.setCaption(c, c < rows.fieldCount() ? rows.fieldName(c) : QString());
        grid.setColumnWidth(c, ColumnWidths[c]);
    }
}

void StudyInfo::enterFirstRow(GridModel &grid)
{
    if (grid.row() == 0 && grid.rows() > 1)
        grid.setRow(1);
}

void StudyInfo::resetCounters()
{
    m_imageCounter = 0;
    m_sentCounter = 0;
}

void StudyInfo::ClearImageView()
{
    m_viewerImages.listClear();
    emit viewerImagesChanged();
    m_fields.setValue(StudyInfoFields::InstanceUid, QString());
    m_fields.setValue(StudyInfoFields::ImageSeriesUid, QString());
    m_imageGrid.reset(GridColumns);
}

void StudyInfo::ClearSeriesView()
{
    m_seriesGrid.reset(GridColumns);
    m_fields.setValue(StudyInfoFields::SeriesUid, QString());
    m_fields.setValue(StudyInfoFields::StudyUid, db::Quote(m_fields.value(StudyInfoFields::StudyUid)));
    m_fields.setValue(StudyInfoFields::SeriesUidToUpdate, QString());
    m_fields.setValue(StudyInfoFields::SeriesStudyUid, QString());
    m_fields.setValue(StudyInfoFields::UpdatesSeriesUid, QString());
    ClearImageView();
}

void StudyInfo::LoadSeriesList()
{
    ClearSeriesView();
    db::ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT * from seriestable where studyuid_fkey='")
                                                 + m_fields.value(StudyInfoFields::StudyUid) + QStringLiteral("'"));
    if (!rows.isNone()) {
        while (!rows.atEnd()) {
            m_seriesGrid.addRow(rowText(rows));
            yieldToEvents();
            rows.moveNext();
        }
        enterFirstRow(m_seriesGrid);
        setHeader(m_seriesGrid, rows);
        rows.close();
    }
    ClearImageView();
    ShowSeriesRow();
    ShowImageRow();
}

void StudyInfo::ShowSeriesRow()
{
    m_fields.setValue(StudyInfoFields::SeriesUidToUpdate, QString());
    m_fields.setValue(StudyInfoFields::SeriesStudyUid, QString());
    m_fields.setValue(StudyInfoFields::UpdatesSeriesUid, QString());
    ClearImageView();
    const int row = m_seriesGrid.row();
    if (row > 0 && m_seriesGrid.rows() > 1) {
        const QString seriesUid = m_seriesGrid.cell(row, 0);
        m_fields.setValue(StudyInfoFields::SeriesUid, seriesUid);
        m_fields.setValue(StudyInfoFields::SeriesUidToUpdate, seriesUid);
        m_fields.setValue(StudyInfoFields::SeriesStudyUid, m_seriesGrid.cell(row, 1));
        m_fields.setValue(StudyInfoFields::ImageSeriesUid, seriesUid);
        m_fields.setValue(StudyInfoFields::UpdatesSeriesUid, seriesUid);
        LoadImageList();
    }
}

void StudyInfo::LoadImageList()
{
    ClearImageView();
    m_fields.setValue(StudyInfoFields::SeriesUid, db::Quote(m_fields.value(StudyInfoFields::SeriesUid)));
    db::ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT top 1000  * from imagetable where [SeriesUID_FKey]='")
                                                 + m_fields.value(StudyInfoFields::SeriesUid) + QStringLiteral("'"));
    if (rows.isNone())
        return; // the statement routine has reported why
    if (!rows.atEnd()) {
        m_searching = true;
        // No yielding here: the Stop button ends the fill only between
        // handlers, as in the operator's other list fills.
        while (!rows.atEnd() && m_searching) {
            const QString text = rowText(rows);
            if (m_countingMode) {
                ++m_imageCounter;
                if (rows.text(ImageSyncStatus) == QLatin1String("1"))
                    ++m_sentCounter;
            } else {
                m_imageGrid.addRow(text);
            }
            rows.moveNext();
        }
    }
    if (!m_countingMode)
        setHeader(m_imageGrid, rows);
    rows.close();
    enterFirstRow(m_imageGrid);
    if (m_imageGrid.rows() > 1)
        ShowImageRow();
}

void StudyInfo::ShowImageRow()
{
    m_viewerImages.listClear();
    emit viewerImagesChanged();
    const int row = m_imageGrid.row();
    if (row != 0 && m_imageGrid.rows() > 1) {
        m_fields.setValue(StudyInfoFields::InstanceUid, m_imageGrid.cell(row, ImageInstanceUid));
        m_fields.setValue(StudyInfoFields::ImageSeriesUid, m_imageGrid.cell(row, ImageSeriesUid));
        // A file that cannot be read leaves the viewer empty and so the listing.
        const QString path = db::OnServerDrive(m_imageGrid.cell(row, ImageFileName), m_storageRoot());
        m_viewerImages.listReadFile(path);
        emit viewerImagesChanged();
        ShowAttributes();
    } else {
        ClearImageView();
    }
}

void StudyInfo::ShowAttributes()
{
    setAttributeList(QString());
    // One text, written to the box once.
    setAttributeList(AttributeListing::listing(m_viewerImages.listItem(1).attributeSet()));
}

void StudyInfo::showReceivedImage()
{
    emit viewerImagesChanged();
    ShowAttributes();
}

bool StudyInfo::imageChosen() const
{
    return m_imageGrid.row() > 0 && m_imageGrid.rows() > 1;
}

QString StudyInfo::containingFolder() const
{
    if (!imageChosen())
        return QString();
    const QString stored = m_imageGrid.cell(m_imageGrid.row(), ImageFileName);
    const qsizetype at = std::max(stored.lastIndexOf(QLatin1Char('\\')), stored.lastIndexOf(QLatin1Char('/')));
    return at < 0 ? QString() : stored.left(at + 1);
}

} // namespace pacs::browser
