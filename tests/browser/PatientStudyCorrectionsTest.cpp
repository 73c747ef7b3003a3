#include "browser/PatientStudyCorrections.h"
#include "browser/StudyInfoFields.h"
#include "browser/StudyListSearch.h"
#include "tests/db/ArchiveFixture.h"

#include <QTimer>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::browser;
using namespace pacs::test;

namespace {

// An installed archive: patient P1 with three studies, P2 with one, P3 with none.
class PatientStudyCorrectionsTest : public ArchiveFixture
{
protected:
    void SetUp() override
    {
        ArchiveFixture::SetUp();
        if (HasFatalFailure())
            return;
        exec("INSERT INTO PatientTable (PatientID, Name_Last, Name_First, DateOfBirth, Sex) VALUES "
             "('P1', 'SMITH', 'JOHN', '3/4/1950', 'M'), ('P2', 'SMALL', 'ANNA', NULL, 'F'), ('P3', 'JONES', 'BOB', NULL, 'M')");
        exec("INSERT INTO StudyTable (StudyUID, PatientID_FKey, StudyDate, StudyTime, AccessionNumber, StudyDescription) VALUES "
             "('1.1', 'P1', '1/15/2024', '10:30:00', 'A1', 'CHEST'), ('1.2', 'P1', '1/16/2024', '09:00:00', 'A2', 'HAND'), "
             "('1.3', 'P1', '1/17/2024', '08:00:00', 'A3', 'KNEE'), ('2.1', 'P2', '1/18/2024', '08:00:00', 'A4', 'HEAD')");
        QObject::connect(&corrections, &PatientStudyCorrections::message, [this](const QString &text) { shown << text; });
    }

    void exec(const QString &sql)
    {
        bool failed = false;
        connection.ExecuteSQL(sql, failed);
        ASSERT_FALSE(failed) << log.errorText().toStdString();
    }

    QStringList column(const QString &sql)
    {
        QStringList values;
        db::ResultSet rows = connection.ExecuteSQL(sql);
        for (; !rows.isNone() && !rows.atEnd(); rows.moveNext())
            values << rows.text(0);
        rows.close();
        return values;
    }

    QStringList studiesOf(const QString &id)
    {
        return column("SELECT StudyUID FROM StudyTable WHERE PatientID_FKey='" + id + "' ORDER BY StudyUID");
    }

    QString changeId(const QString &from, const QString &to)
    {
        corrections.form().changeOldId = from;
        corrections.form().changeNewId = to;
        return corrections.cmdChangeID();
    }

    QStringList searchDay(const QDate &day)
    {
        StudyFilter filter;
        filter.allDates = false;
        filter.startDate = day;
        search.setFilter(filter);
        search.Search_Exam(false);
        QStringList uids;
        for (int r = 1; r < search.grid().rows(); ++r)
            uids << search.grid().cell(r, StudyListSearch::StudyUidColumn);
        return uids;
    }

    StudyInfoFields fields;
    PatientStudyCorrections corrections{connection, log, fields};
    bool searching = false;
    QTimer timer1;
    StudyListSearch search{connection, log, fields, searching, timer1};
    QStringList shown;
};

TEST_F(PatientStudyCorrectionsTest, ChangeOfPatientIdMovesEveryStudyOrNone)
{
    const QStringList three{"1.1", "1.2", "1.3"};
    EXPECT_EQ(changeId("P1", "P2"), "PATIENT ID in use.");
    EXPECT_EQ(changeId("P3", "P9"), "Patient not Found"); // the patient row exists, but no study
    EXPECT_EQ(changeId("P1", ""), "");
    EXPECT_EQ(studiesOf("P1"), three);

    // The second study cannot be detached: nothing of the change stays.
    QString error;
    if (onServer())
        ASSERT_TRUE(test::ServerDatabase::executeNative(scratch.home(),
                                                  "CREATE FUNCTION second_fails() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN "
                                                  "IF OLD.StudyUID = '1.2' THEN RAISE EXCEPTION 'injected failure'; END IF; "
                                                  "RETURN NEW; END$$; CREATE TRIGGER second_fails BEFORE UPDATE ON "
                                                  "dicom.StudyTable FOR EACH ROW EXECUTE FUNCTION second_fails()",
                                                  error))
            << error.toStdString();
    else
        ASSERT_TRUE(connection.executeQuiet("CREATE TRIGGER second_fails BEFORE UPDATE ON StudyTable "
                                            "WHEN OLD.StudyUID = '1.2' BEGIN SELECT RAISE(ABORT, 'injected failure'); END",
                                            error))
            << error.toStdString();
    const QString failure = changeId("P1", "P9");
    EXPECT_TRUE(failure.contains("injected failure") && failure.endsWith(" 1.1")) << failure.toStdString();
    EXPECT_EQ(studiesOf("P1"), three);
    EXPECT_EQ(studiesOf("P9"), QStringList());
    EXPECT_EQ(column("SELECT PatientID FROM PatientTable WHERE PatientID IN ('P1','P9')"), QStringList{"P1"});
    EXPECT_FALSE(connection.inTransaction());

    ASSERT_TRUE(connection.executeQuiet(onServer() ? "DROP TRIGGER second_fails ON StudyTable" : "DROP TRIGGER second_fails", error))
        << error.toStdString();
    EXPECT_EQ(changeId("P1", "P9"), "DONE.");
    EXPECT_EQ(studiesOf("P9"), three);
    EXPECT_EQ(studiesOf("P1"), QStringList());
    EXPECT_EQ(column("SELECT Name_Last FROM PatientTable WHERE PatientID='P9'"), QStringList{"SMITH"});
    EXPECT_EQ(shown.last(), "DONE.");
}

TEST_F(PatientStudyCorrectionsTest, PatientsAreLookedUpAddedAndUpdatedWithApostrophes)
{
    PatientStudyForm &f = corrections.form();
    f.newPatientId = "P7";
    f.last = "O'BRIEN";
    f.first = "SEAN";
    f.birthDate = "5/6/1970";
    f.sex = "M";
    EXPECT_EQ(corrections.cmdNewPat(), "DONE.");
    EXPECT_EQ(corrections.cmdNewPat(), "Patient exists already.");
    EXPECT_EQ(column("SELECT Name_Last FROM PatientTable WHERE PatientID='P7'"), QStringList{"O'BRIEN"});

    // Only Enter in a filled box looks up.
    EXPECT_EQ(corrections.updatePatientIdKeyPress(PatientStudyCorrections::EnterKey), "");
    f.updatePatientId = "P7";
    EXPECT_EQ(corrections.updatePatientIdKeyPress('A'), "");
    EXPECT_EQ(f.updateLastName, "");
    EXPECT_EQ(corrections.updatePatientIdKeyPress(PatientStudyCorrections::EnterKey), "");
    EXPECT_EQ(f.updateLastName, "O'BRIEN");
    EXPECT_EQ(f.updateFirstName, "SEAN");
    EXPECT_EQ(f.updateBirthDate, "5/6/1970");
    EXPECT_EQ(f.updateSex, "M");

    f.updateLastName = "D'ARCY";
    EXPECT_EQ(corrections.cmdUpdatePatient(), "DONE.");
    EXPECT_EQ(column("SELECT Name_Last FROM PatientTable WHERE PatientID='P7'"), QStringList{"D'ARCY"});
    EXPECT_EQ(column("SELECT Name_First FROM PatientTable WHERE PatientID='P7'"), QStringList{"SEAN"});

    f.updatePatientId = "NOBODY";
    EXPECT_EQ(corrections.lookUpPatient(), "Patient not found.");
    EXPECT_EQ(corrections.cmdUpdatePatient(), "Patient not found.");
    EXPECT_TRUE(log.errorText().startsWith("---")) << "no statement failed: " << log.errorText().toStdString();
}

TEST_F(PatientStudyCorrectionsTest, StudiesTypedWithADateAreFoundByTheStudyList)
{
    PatientStudyForm &f = corrections.form();
    fields.setValue(StudyInfoFields::UpdateStudyUid, "9.9");
    EXPECT_EQ(corrections.updateStudyUidKeyPress(PatientStudyCorrections::EnterKey), "Study  not found.");
    EXPECT_EQ(corrections.cmdUpdateStudy2(), "Study UID not Found");

    fields.setValue(StudyInfoFields::UpdateStudyUid, "1.2");
    EXPECT_EQ(corrections.lookUpStudy(), "");
    EXPECT_EQ(f.updateStudyPatientId, "P1");
    EXPECT_EQ(f.updateStudyDate, "1/16/2024");
    EXPECT_EQ(f.updateStudyTime, "09:00:00");
    EXPECT_EQ(f.updateStudyAccessionNumber, "A2");
    EXPECT_EQ(f.updateStudyDesc, "HAND");
    f.updateStudyDate = "2/29/2024";
    f.updateStudyTime = "13:45:00";
    f.updateStudyDesc = "HAND'S X-RAY";
    EXPECT_EQ(corrections.cmdUpdateStudy2(), "DONE.");
    EXPECT_EQ(searchDay(QDate(2024, 2, 29)), QStringList{"1.2"});
    EXPECT_EQ(search.grid().cell(1, 15), "2/29/2024 13:45:00");
    EXPECT_EQ(search.grid().cell(1, 12), "HAND'S X-RAY");
    EXPECT_EQ(searchDay(QDate(2024, 1, 16)), QStringList());

    // "Update Study" beside "New pat ID:" moves the study to another patient.
    fields.setValue(StudyInfoFields::StudyUid, "1.2");
    fields.setValue(StudyInfoFields::NewPatientIdForStudy, "P2");
    EXPECT_EQ(corrections.cmdUpdateStudy(), "DONE.");
    EXPECT_EQ(studiesOf("P2"), (QStringList{"1.2", "2.1"}));
    fields.setValue(StudyInfoFields::StudyUid, "9.9");
    EXPECT_EQ(corrections.cmdUpdateStudy(), "Study UID not Found");

    // "New STUDY": a generated UID, date and time as typed.
    corrections.cmdGenerateStudyUID();
    EXPECT_FALSE(f.newStudyUid.isEmpty());
    f.newStudyPatientId = "P3";
    f.newStudyDate = "3/1/2024";
    f.newStudyTime = "07:05:09";
    f.newStudyAccessionNum = "A9";
    EXPECT_EQ(corrections.cmdCreateStudyUID(), "DONE.");
    EXPECT_EQ(corrections.cmdCreateStudyUID(), "Already Exists");
    EXPECT_EQ(searchDay(QDate(2024, 3, 1)), QStringList{f.newStudyUid});
    EXPECT_EQ(search.grid().cell(1, 5), "P3");
    EXPECT_EQ(search.grid().cell(1, 15), "3/1/2024 07:05:09");
}

} // namespace
