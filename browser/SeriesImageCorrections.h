#pragma once

#include <QObject>
#include <QString>

namespace pacs {
class ActivityLog;
namespace db {
class ArchiveConnection;
}
} // namespace pacs

namespace pacs::browser {

class StudyInfo;
class StudyInfoFields;

// The boxes of the "New Series" frame.
struct NewSeriesFields
{
    QString seriesUid;         // txtNewSeriesUID
    QString studyUid;          // txtNewSeriesStudyUID
    QString modality;          // txtNewSeriesModality
    QString seriesNumber;      // txtNewSeriesSeriesNo
    QString seriesDescription; // txtNewSeriesSeriesDesc
};

// The six boxes of "Edit Image Details".
struct ImageDetailsFields
{
    QString patientName;      // txtPatName
    QString patientId;        // txtPatID
    QString birthDate;        // txtPatBdate: M/D/YYYY, or the stored text
    QString studyDescription; // txtStudyDesc
    QString accessionNumber;  // txtAccessionNum
    QString sex;              // txtSexUpdate
};

// The series and image corrections of "Study Info" and "New Series", and the
// header edit that rewrites six patient and study elements in the stored
// file of the chosen image. The database commands change rows only; the
// header edit changes the file only. Values typed into the boxes go into the
// statements quoted, so an apostrophe is data, not a broken statement.
class SeriesImageCorrections : public QObject
{
    Q_OBJECT
public:
    SeriesImageCorrections(db::ArchiveConnection &connection, ActivityLog &log, StudyInfoFields &fields,
                           StudyInfo &studyInfo, QObject *parent = nullptr);

    NewSeriesFields &newSeries() { return m_newSeries; }
    ImageDetailsFields &imageDetails() { return m_details; }
    bool imageDetailsVisible() const { return m_detailsVisible; } // fraImgDetails

    // Each returns the text of its message box, empty when it shows none.
    QString cmdUpdateSeries();
    QString cmdUpdateSeriesStudyUID();
    QString cmdCreateSeries();
    QString cmdUpdateImageSeriesUID();

    // Fills the six boxes from the viewer's first image and shows the frame;
    // false (nothing shown) when the viewer is empty.
    bool cmdUpdateImgDetails();
    // Writes the six boxes into the stored file of the image grid's current
    // row; false with the error-box line written when the file was not replaced.
    bool cmdUpdateDetails();
    void cmdCancelUpdate();

    static QString notFoundText() { return QStringLiteral("SeriesUID UID not Found"); }
    static QString doneText() { return QStringLiteral("DONE."); }

signals:
    void message(const QString &text); // a message box with an OK button
    void imageDetailsVisibleChanged(bool visible);
    void imageDetailsChanged();        // the six boxes were filled

private:
    QString updateChosenSeries(const QString &setPrefix, const QString &value);
    // Runs a statement; false with the error's description.
    bool run(const QString &statement, QString &error);
    // Whether the statement returns a row; false with an error when it failed.
    bool exists(const QString &statement, bool &found, QString &error);
    QString inform(const QString &text);
    QString failure(const QString &error) { return inform(error); }
    void setDetailsVisible(bool visible);

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    StudyInfoFields &m_fields;
    StudyInfo &m_studyInfo;
    NewSeriesFields m_newSeries;
    ImageDetailsFields m_details;
    bool m_detailsVisible = false;
};

} // namespace pacs::browser
