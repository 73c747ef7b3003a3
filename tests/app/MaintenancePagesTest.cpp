// The correction and deletion commands through the main window's pages, on
// images stored through the running server by storescu.
#include "app/windows/DicomViewerWidget.h"
#include "app/windows/ServerForm.h"
#include "browser/StudyInfo.h"
#include "tests/dicom/ReceptionFixture.h"
#include "tests/support/Peers.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;

namespace {

// Answers every question with Yes and keeps what the message boxes said.
class RecordingPrompter : public Prompter
{
public:
    bool askYesNo(const QString &text) override
    {
        questions << text;
        return true;
    }
    void inform(const QString &text) override { messages << text; }
    QStringList questions;
    QStringList messages;
};

class MaintenancePages : public ReceptionFixture
{
protected:
    void SetUp() override
    {
        ReceptionFixture::SetUp();
        m_controller->setPrompter(&prompter);
        form = std::make_unique<ServerForm>(*m_controller);
        form->show();
        start();
    }
    void TearDown() override
    {
        form.reset();
        ReceptionFixture::TearDown();
    }

    // Two images of one study of patient P001 (DOE^JOHN), stored by storescu.
    void storeStudy()
    {
        SampleSpec spec;
        spec.studyUid = "1.2.840.99.70";
        spec.seriesUid = "1.2.840.99.70.1";
        spec.instanceUid = "1.2.840.99.70.1.1";
        spec.elements["0008,0050"] = "A1";
        const QString first = sample("a.dcm", spec);
        spec.instanceUid = "1.2.840.99.70.1.2";
        spec.instanceNumber = 2;
        const QString second = sample("b.dcm", spec);
        const StoreOutcome stored = send({first, second});
        ASSERT_EQ(stored.success, 2) << stored.output.toStdString();
    }

    template <typename T> T *child(const char *name)
    {
        T *widget = form->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    void type(const char *name, const QString &text)
    {
        QLineEdit *edit = child<QLineEdit>(name);
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    QString text(const char *name) { return child<QLineEdit>(name)->text(); }
    // Clicks a button and returns the message box it showed ("" for none).
    QString click(const char *name)
    {
        prompter.messages.clear();
        child<QPushButton>(name)->click();
        return prompter.messages.join(QStringLiteral(" | "));
    }

    RecordingPrompter prompter;
    std::unique_ptr<ServerForm> form;
};

} // namespace

TEST_F(MaintenancePages, AddUpdateDataPageLooksUpCorrectsAndCreatesRows)
{
    storeStudy();
    QWidget *page = form->tabs()->widget(4);
    EXPECT_EQ(form->tabs()->tabText(4), "Add/Update Data");
    for (const char *frame : {"Update Patient", "New Patient", "Change Patient ID of studies", "Update Study", "New STUDY",
                              "New Series"}) {
        bool found = false;
        for (QGroupBox *box : page->findChildren<QGroupBox *>())
            found = found || box->title() == QLatin1String(frame);
        EXPECT_TRUE(found) << frame;
    }
    QCheckBox *autoUpdate = page->findChild<QCheckBox *>("chkUpdateImageData");
    ASSERT_NE(autoUpdate, nullptr);
    EXPECT_EQ(autoUpdate->text(), "Auto Update Study and Pat Data");
    autoUpdate->click();
    EXPECT_EQ(m_controller->settings().read("SERVER", "chkUpdateImageData"), "1");

    // Enter in the patient box looks the patient up; an apostrophe is stored.
    type("txtUpdatePatientID", "P001");
    QTest::keyClick(child<QLineEdit>("txtUpdatePatientID"), Qt::Key_Return);
    EXPECT_EQ(text("txtUpdateLastName"), "DOE");
    EXPECT_EQ(text("txtUpdateFirstName"), "JOHN");
    type("txtUpdateLastName", "O'DOE");
    EXPECT_EQ(click("cmdUpdatePatient"), "DONE.");
    EXPECT_EQ(scalar("SELECT Name_Last FROM PatientTable WHERE PatientID = 'P001'"), "O'DOE");
    type("txtUpdatePatientID", "NOBODY");
    prompter.messages.clear();
    QTest::keyClick(child<QLineEdit>("txtUpdatePatientID"), Qt::Key_Return);
    EXPECT_EQ(prompter.messages.value(0), "Patient not found.");

    type("txtIDNEW", "P001");
    EXPECT_EQ(click("cmdNewPat"), "Patient exists already.");
    type("txtIDNEW", "P002");
    type("txtLast", "ROE");
    EXPECT_EQ(click("cmdNewPat"), "DONE.");
    EXPECT_EQ(scalar("SELECT Name_Last FROM PatientTable WHERE PatientID = 'P002'"), "ROE");

    // Study lookup, then the study moves to the new patient.
    type("txtUpdateStudyUID", "1.2.840.99.70");
    QTest::keyClick(child<QLineEdit>("txtUpdateStudyUID"), Qt::Key_Return);
    EXPECT_EQ(text("txtUpdateStudyPatientID"), "P001");
    EXPECT_EQ(text("txtUpdateStudyAccessionNumber"), "A1");
    type("txtUpdateStudyDesc", "HEAD");
    EXPECT_EQ(click("cmdUpdateStudy2"), "DONE.");
    EXPECT_EQ(scalar("SELECT StudyDescription FROM StudyTable WHERE StudyUID = '1.2.840.99.70'"), "HEAD");
    // A patient row without studies under the new identifier: the key
    // change fails and leaves the study where it was.
    type("txtChangeOLDID", "P001");
    type("txtChangeNEWID", "P002");
    EXPECT_TRUE(click("cmdChangeID").contains("1.2.840.99.70"));
    EXPECT_EQ(count("SELECT COUNT(*) FROM StudyTable WHERE PatientID_FKey = 'P001'"), 1);

    // A new study row with a UID of the toolkit, and a series under it.
    click("cmdGenerateStudyUID");
    const QString newStudy = text("txtNewStudyUID");
    EXPECT_FALSE(newStudy.isEmpty());
    type("txtNewStudyPatientID", "P002");
    EXPECT_EQ(click("cmdCreateStudyUID"), "DONE.");
    EXPECT_EQ(click("cmdCreateStudyUID"), "Already Exists");
    type("txtNewSeriesUID", newStudy + ".1");
    type("txtNewSeriesStudyUID", newStudy);
    type("txtNewSeriesModality", "OT");
    EXPECT_EQ(click("cmdCreateSeries"), "DONE.");
    EXPECT_EQ(click("cmdCreateSeries"), "Already Exists");
    EXPECT_EQ(scalar("SELECT StudyUID_FKey FROM SeriesTable WHERE SeriesUID = '" + newStudy + ".1'"), newStudy);

    // Now P002 has a study: its identifier is in use.
    EXPECT_EQ(click("cmdChangeID"), "PATIENT ID in use.");
    type("txtChangeNEWID", "P003");
    EXPECT_EQ(click("cmdChangeID"), "DONE.");
    EXPECT_EQ(count("SELECT COUNT(*) FROM StudyTable WHERE PatientID_FKey = 'P003'"), 1);
}

TEST_F(MaintenancePages, StudyInfoEditsTheHeaderMovesAndDeletes)
{
    storeStudy();
    // Open the study from the list, as the operator does.
    child<QPushButton>("btnFilter")->click();
    QTableView *studies = child<QTableView>("fgridPacs");
    ASSERT_EQ(studies->model()->rowCount(), 1);
    emit studies->doubleClicked(studies->model()->index(0, 3));
    EXPECT_EQ(form->tabs()->currentIndex(), 3);
    QTableView *images = child<QTableView>("GridImages");
    ASSERT_EQ(images->model()->rowCount(), 2);
    emit images->clicked(images->model()->index(0, 0));
    const QString firstInstance = text("txtInstanceUID");
    const QString storedFile = m_controller->studyInfo().imageGrid().cell(1, 3);
    ASSERT_TRUE(QFileInfo::exists(storedFile)) << storedFile.toStdString();

    // The header edit: hidden until asked for, filled from the viewer's image.
    QGroupBox *details = child<QGroupBox>("fraImgDetails");
    EXPECT_EQ(details->title(), "Edit Image Details");
    EXPECT_FALSE(details->isVisible());
    click("cmdUpdateImgDetails");
    EXPECT_TRUE(details->isVisible());
    EXPECT_EQ(text("txtPatName"), "DOE^JOHN");
    type("txtPatName", "ROE^JANE");
    click("cmdUpdateDetails");
    EXPECT_FALSE(details->isVisible()) << errors().toStdString();
    EXPECT_EQ(fileElement(storedFile, 0x0010, 0x0010), "ROE^JANE");
    click("cmdUpdateImgDetails");
    click("cmdCancelUpdate");
    EXPECT_FALSE(details->isVisible());

    // The second image moves to a series that the check does not know about.
    emit images->clicked(images->model()->index(1, 0));
    type("txtImageSeriesUID", "1.2.840.99.70.9");
    EXPECT_EQ(click("cmdUpdateImageSeriesUID"), "DONE.");
    type("txtInstanceUID", "1.2.840.99.404");
    EXPECT_EQ(click("cmdUpdateImageSeriesUID"), "SeriesUID UID not Found");
    type("txtSeriesUIDtoUpdate", "1.2.840.99.404");
    EXPECT_EQ(click("cmdUpdateSeries"), "SeriesUID UID not Found");
    EXPECT_EQ(click("cmdUpdateSeriesStudyUID"), "SeriesUID UID not Found");
    type("txtNewPATIDforSTUDY", "P009");
    EXPECT_EQ(click("cmdUpdateStudy"), "DONE.");
    EXPECT_EQ(scalar("SELECT PatientID_FKey FROM StudyTable WHERE StudyUID = '1.2.840.99.70'"), "P009");

    // Delete the first image: row and file go, the list follows.
    child<QPushButton>("cmdSearchSeries")->click();
    emit child<QTableView>("GridSeries")->clicked(child<QTableView>("GridSeries")->model()->index(0, 0));
    emit images->clicked(images->model()->index(0, 0));
    ASSERT_EQ(text("txtInstanceUID"), firstInstance);
    click("cmdDeleteImage");
    EXPECT_EQ(count("SELECT COUNT(*) FROM ImageTable WHERE InstanceUID = '" + firstInstance + "'"), 0);
    EXPECT_FALSE(QFileInfo::exists(storedFile));
    EXPECT_EQ(images->model()->rowCount(), 0);

    // "Delete Study" asks first; afterwards a query finds nothing of it.
    EXPECT_EQ(click("cmdDeleteStudy"), "Done.");
    EXPECT_EQ(prompter.questions, QStringList{"Delete Study 1.2.840.99.70?"});
    EXPECT_EQ(count("SELECT COUNT(*) FROM StudyTable"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM PatientTable WHERE PatientID = 'P001'"), 1);
    const ToolResult find = runTool("findscu", {"-S", "-aet", "VIEWER", "-aec", "TALMIR", "-k", "QueryRetrieveLevel=STUDY",
                                                "-k", "StudyInstanceUID=1.2.840.99.70", "127.0.0.1", QString::number(port())});
    EXPECT_EQ(find.exitCode, 0) << find.output.toStdString();
    EXPECT_FALSE(find.output.contains("Find Response: 1 (Pending)")) << find.output.toStdString();
    EXPECT_NE(form->findChild<QPushButton *>("cmdDeleteALL"), nullptr);
}
