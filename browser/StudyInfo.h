#pragma once

#include "browser/GridModel.h"
#include "browser/StudyInfoFields.h"

#include <QObject>
#include <QString>
#include <functional>

namespace pacs {
class ActivityLog;
namespace db {
class ArchiveConnection;
class ResultSet;
}
namespace toolkit {
class ToolkitImageList;
}
} // namespace pacs

namespace pacs::browser {

// The "Study Info" tab below the study list: the series of one study, the
// images of the chosen series, the chosen image in the main viewer and the
// listing of its attributes. Choosing rows fills the identifier fields the
// correction commands read. The sync status report drives the same routines
// in counting mode, where the image list only counts.
//
// The viewer's image list is shared with image reception, which puts an
// image without a Study UID there for the operator; showReceivedImage()
// lists that one.
class StudyInfo : public QObject
{
    Q_OBJECT
public:
    static constexpr int GridColumns = 5;
    static constexpr int MaxImageRows = 1000;

    StudyInfo(db::ArchiveConnection &connection, ActivityLog &log, StudyInfoFields &fields,
              toolkit::ToolkitImageList &viewerImages, std::function<QString()> storageRoot, bool &searching,
              QObject *parent = nullptr);

    GridModel &seriesGrid() { return m_seriesGrid; }
    GridModel &imageGrid() { return m_imageGrid; }
    StudyInfoFields &fields() { return m_fields; }
    toolkit::ToolkitImageList &viewerImages() { return m_viewerImages; }

    void ClearImageView();
    void ClearSeriesView();
    void LoadSeriesList();
    void ShowSeriesRow();
    void LoadImageList();
    void ShowImageRow();
    void ShowAttributes();

    // The text of AttributeList.
    QString attributeList() const { return m_attributeList; }

    // cmdOpenContainingFolder: whether an image row is chosen, and the folder
    // of its stored file name (as stored, up to and including the last "\"
    // or "/"; empty when the name has none).
    bool imageChosen() const;
    QString containingFolder() const;

    // Counting mode of the sync status report: the image list counts the
    // series' images and those already forwarded instead of listing them.
    void setCountingMode(bool on) { m_countingMode = on; }
    bool countingMode() const { return m_countingMode; }
    void resetCounters();
    qint32 imageCounter() const { return m_imageCounter; }
    qint32 sentCounter() const { return m_sentCounter; }

public slots:
    // Reception has put an image in the viewer: list it and repaint.
    void showReceivedImage();

signals:
    void attributeListChanged(const QString &text);
    void viewerImagesChanged();

private:
    void setAttributeList(const QString &text);
    // Columns 0 to 4 of the current row as tab-separated text.
    static QString rowText(const db::ResultSet &rows);
    void setHeader(GridModel &grid, const db::ResultSet &rows);
    // A grid filled from nothing starts on its first data row.
    static void enterFirstRow(GridModel &grid);

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    StudyInfoFields &m_fields;
    toolkit::ToolkitImageList &m_viewerImages;
    std::function<QString()> m_storageRoot;
    bool &m_searching;
    GridModel m_seriesGrid{GridColumns};
    GridModel m_imageGrid{GridColumns};
    QString m_attributeList;
    bool m_countingMode = false;
    qint32 m_imageCounter = 0;
    qint32 m_sentCounter = 0;
};

} // namespace pacs::browser
