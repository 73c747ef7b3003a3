#pragma once

#include <QObject>
#include <QString>
#include <array>

namespace pacs::browser {

// The identifier text boxes of the main window that the browser fills and
// the correction commands read (the study, series and image chosen). The
// windows show them in line edits named after the control; the headless
// commands set them directly.
class StudyInfoFields : public QObject
{
    Q_OBJECT
public:
    enum Field {
        StudyUid,            // txtStudyUID
        NewPatientIdForStudy, // txtNewPATIDforSTUDY
        UpdateStudyUid,      // txtUpdateStudyUID
        SeriesUid,           // txtSeriesUID
        SeriesUidToUpdate,   // txtSeriesUIDtoUpdate
        UpdatesSeriesUid,    // txtUpdatesSeriesUID
        ImageSeriesUid,      // txtImageSeriesUID
        SeriesStudyUid,      // txtSeriesStudyUID
        InstanceUid,         // txtInstanceUID
        FieldCount
    };

    explicit StudyInfoFields(QObject *parent = nullptr) : QObject(parent) {}

    const QString &value(Field field) const { return m_values[field]; }
    // Emits fieldChanged when the text changes.
    void setValue(Field field, const QString &text);
    // The control's name, e.g. "txtStudyUID".
    static QString controlName(Field field);

signals:
    void fieldChanged(pacs::browser::StudyInfoFields::Field field, const QString &text);

private:
    std::array<QString, FieldCount> m_values;
};

} // namespace pacs::browser
