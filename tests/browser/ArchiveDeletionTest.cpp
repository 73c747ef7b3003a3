// Deletion on an archive filled by storing real images through the running server.
#include "browser/ArchiveDeletion.h"
#include "browser/StudyInfo.h"
#include "dicom/ImageReception.h"
#include "tests/dicom/ReceptionFixture.h"

#include <QFileInfo>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::browser;
using namespace pacs::test;

namespace {

class Answers : public Prompter
{
public:
    bool askYesNo(const QString &text) override
    {
        questions << text;
        return yes;
    }
    void inform(const QString &) override {}
    bool yes = true;
    QStringList questions;
};

class ArchiveDeletionReception : public ReceptionFixture
{
protected:
    void SetUp() override
    {
        ReceptionFixture::SetUp();
        m_controller->setPrompter(&answers);
    }
    // Two series of one study, and a second study of the same patient.
    void fill()
    {
        start();
        SampleSpec a;
        a.studyUid = study;
        a.seriesUid = study + ".1";
        a.instanceUid = study + ".1.1";
        SampleSpec b = a;
        b.seriesUid = study + ".2";
        b.instanceUid = study + ".2.1";
        b.seriesNumber = 2;
        SampleSpec other;
        other.studyUid = "1.2.840.99.80";
        other.instanceUid = "1.2.840.99.80.1.1";
        first = sample("a.dcm", a);
        const StoreOutcome stored = send({first, sample("b.dcm", b), sample("c.dcm", other)});
        ASSERT_EQ(stored.success, 3) << stored.output.toStdString() << errors().toStdString();
        files = storedFiles(study);
        ASSERT_EQ(files.size(), 2);
        for (const QString &f : files)
            ASSERT_TRUE(QFileInfo::exists(f)) << f.toStdString();
    }
    QStringList storedFiles(const QString &studyUid)
    {
        QStringList names;
        db::ResultSet rows = m_controller->connection().ExecuteSQL(
            "SELECT i.FileName FROM ImageTable i JOIN SeriesTable s ON i.SeriesUID_FKey = s.SeriesUID WHERE s.StudyUID_FKey='"
            + studyUid + "'");
        for (; !rows.isNone() && !rows.atEnd(); rows.moveNext())
            names << rows.text(0);
        return names;
    }
    int rowsOf(const QString &studyUid)
    {
        return count("SELECT count(*) FROM StudyTable WHERE StudyUID='" + studyUid + "'")
               + count("SELECT count(*) FROM SeriesTable WHERE StudyUID_FKey='" + studyUid + "'")
               + storedFiles(studyUid).size();
    }

    Answers answers;
    const QString study = "1.2.840.99.70";
    QString first;
    QStringList files;
};

} // namespace

TEST_F(ArchiveDeletionReception, DeleteStudyRemovesRowsThenFilesKeepsThePatientAndLetsTheStudyComeBack)
{
    fill();
    ArchiveDeletion &deletion = m_controller->deletion();
    QStringList messages;
    QObject::connect(&deletion, &ArchiveDeletion::message, [&](const QString &text) { messages << text; });
    m_controller->studyFields().setValue(StudyInfoFields::StudyUid, study);

    answers.yes = false;
    EXPECT_EQ(deletion.cmdDeleteStudy(), "");
    EXPECT_EQ(answers.questions, QStringList{"Delete Study " + study + "?"});
    EXPECT_EQ(rowsOf(study), 5);

    answers.yes = true;
    ASSERT_EQ(m_controller->server().reception().lastStudyUid(), "1.2.840.99.80");
    EXPECT_EQ(deletion.cmdDeleteStudy(), "Done.");
    EXPECT_EQ(messages, QStringList{"Done."});
    EXPECT_EQ(rowsOf(study), 0) << errors().toStdString();
    for (const QString &f : files)
        EXPECT_FALSE(QFileInfo::exists(f)) << f.toStdString();
    EXPECT_TRUE(deletion.filesLeft().isEmpty());
    EXPECT_EQ(count("SELECT count(*) FROM PatientTable WHERE PatientID='P001'"), 1);
    EXPECT_EQ(rowsOf("1.2.840.99.80"), 3) << "the other study is untouched";
    EXPECT_EQ(m_controller->server().reception().lastStudyUid(), "");

    // The same image again: its study and series rows are written anew.
    const StoreOutcome again = send({first});
    ASSERT_EQ(again.success, 1) << again.output.toStdString();
    EXPECT_EQ(count("SELECT count(*) FROM StudyTable WHERE StudyUID='" + study + "'"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM SeriesTable WHERE SeriesUID='" + study + ".1'"), 1);
    ASSERT_TRUE(waitUntil([&] { return storedFiles(study).size() == 1; })) << errors().toStdString();
}

TEST_F(ArchiveDeletionReception, DeleteImageTakesTheRowAndTheFileOfTheChosenImageOnly)
{
    fill();
    m_controller->studyFields().setValue(StudyInfoFields::StudyUid, study);
    StudyInfo &info = m_controller->studyInfo();
    info.LoadSeriesList();
    ASSERT_EQ(info.imageGrid().rows(), 2);
    const QString shownFile = info.imageGrid().cell(1, 3);
    StudyInfoFields &fields = m_controller->studyFields();
    ASSERT_EQ(fields.value(StudyInfoFields::InstanceUid), study + ".1.1");

    // The operator typed an instance of another series: no row matches, and
    // the file of the row in view stays.
    fields.setValue(StudyInfoFields::ImageSeriesUid, study + ".2");
    EXPECT_EQ(m_controller->deletion().cmdDeleteImage(), "");
    EXPECT_TRUE(QFileInfo::exists(shownFile));
    EXPECT_EQ(storedFiles(study).size(), 2);

    info.ShowImageRow();
    EXPECT_EQ(m_controller->deletion().cmdDeleteImage(), "");
    EXPECT_FALSE(QFileInfo::exists(shownFile));
    EXPECT_EQ(storedFiles(study), QStringList{files.contains(shownFile) ? files.at(1 - files.indexOf(shownFile)) : ""});
    EXPECT_EQ(info.imageGrid().rows(), 1) << "the series' list is reloaded";
    EXPECT_EQ(count("SELECT count(*) FROM SeriesTable WHERE StudyUID_FKey='" + study + "'"), 2);
}
