#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace pacs {
class ActivityLog;
namespace db {
class ArchiveConnection;
class ResultSet;
}
} // namespace pacs

namespace pacs::browser {

class StudyInfoFields;

// The text boxes of the "Add/Update Data" tab that the patient and study
// commands read and fill. The identifier boxes the browser fills as well
// (txtStudyUID, txtNewPATIDforSTUDY, txtUpdateStudyUID) are in StudyInfoFields.
struct PatientStudyForm
{
    // "Update Patient"
    QString updatePatientId;  // txtUpdatePatientID
    QString updateLastName;   // txtUpdateLastName
    QString updateFirstName;  // txtUpdateFirstName
    QString updateMiddleName; // txtUpdateMiddleName
    QString updateBirthDate;  // txtUpdateBdate
    QString updateSex;        // txtUpdateSex
    // "New Patient"
    QString newPatientId; // txtIDNEW
    QString first;        // txtFirst
    QString middle;       // txtMiddle
    QString last;         // txtLast
    QString birthDate;    // txtBDATE
    QString sex;          // txtSEX
    // "Change Patient ID of studies"
    QString changeOldId; // txtChangeOLDID
    QString changeNewId; // txtChangeNEWID
    // "Update Study" (its UID box is StudyInfoFields::UpdateStudyUid)
    QString updateStudyPatientId;       // txtUpdateStudyPatientID
    QString updateStudyDate;            // txtUpdateStudyDate
    QString updateStudyTime;            // txtUpdateStudyTime
    QString updateStudyAccessionNumber; // txtUpdateStudyAccessionNumber
    QString updateStudyDesc;            // txtUpdateStudyDesc
    // "New STUDY"
    QString newStudyUid;          // txtNewStudyUID
    QString newStudyPatientId;    // txtNewStudyPatientID
    QString newStudyDate;         // txtNewStudyDate
    QString newStudyTime;         // txtNewStudyTime
    QString newStudyAccessionNum; // txtNewStudyAccessionNum
};

// The commands that correct patient and study rows in the archive database:
// look up and edit a patient, add one, change a patient identifier, look up
// and edit a study, move a study to another patient, create a study row.
// Only rows change; the image files keep their headers. Each command returns
// the text of its message box (empty when it shows none) and emits message()
// with it; "DONE." is success.
class PatientStudyCorrections : public QObject
{
    Q_OBJECT
public:
    static constexpr int EnterKey = 13;
    static constexpr const char *Done = "DONE.";

    PatientStudyCorrections(db::ArchiveConnection &connection, ActivityLog &log, StudyInfoFields &fields,
                            QObject *parent = nullptr);

    PatientStudyForm &form() { return m_form; }
    const PatientStudyForm &form() const { return m_form; }
    StudyInfoFields &fields() { return m_fields; }

    // A key in txtUpdatePatientID / txtUpdateStudyUID: Enter in a filled box looks up.
    QString updatePatientIdKeyPress(int keyCode);
    QString updateStudyUidKeyPress(int keyCode);
    // The lookups themselves: fill the boxes from the row.
    QString lookUpPatient();
    QString lookUpStudy();

    QString cmdUpdatePatient();
    QString cmdNewPat();
    QString cmdChangeID();
    QString cmdUpdateStudy2();
    QString cmdUpdateStudy();
    void cmdGenerateStudyUID();
    QString cmdCreateStudyUID();

signals:
    // A message box with an OK button.
    void message(const QString &text);
    // A lookup or the UID generator has filled boxes of the form.
    void formChanged();

private:
    // One attempt on the connection, the way the patient commands open their
    // recordsets; on failure *error holds the description.
    db::ResultSet direct(const QString &statement, QString *error);
    // Through the statement routine, with its reconnect and retry.
    db::ResultSet routine(const QString &statement, QString *error);
    // Whether a check query found a row; false with *error when it failed.
    bool found(db::ResultSet rows, const QString &error, QString *failure);
    // A check query run once: whether it found a row; false with *failure when it failed.
    bool rowExists(const QString &statement, QString *failure);
    QString show(const QString &text);

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    StudyInfoFields &m_fields;
    PatientStudyForm m_form;
};

} // namespace pacs::browser
