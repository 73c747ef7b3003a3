// Series and image corrections and the header edit, on images stored through the running server.
#include "browser/SeriesImageCorrections.h"
#include "browser/StudyInfo.h"
#include "tests/dicom/ReceptionFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <unistd.h>

using namespace pacs;
using namespace pacs::browser;
using namespace pacs::test;

namespace {

class SeriesImageCorrectionsReception : public ReceptionFixture
{
protected:
    void store()
    {
        start();
        spec.studyUid = "1.2.840.99.90";
        spec.seriesUid = "1.2.840.99.90.1";
        spec.instanceUid = "1.2.840.99.90.1.1";
        spec.elements["0008,1030"] = "CHEST";
        spec.elements["0008,0050"] = "A100";
        spec.elements["0010,0030"] = "19600102";
        spec.elements["0010,0040"] = "M";
        original = sample("a.dcm", spec);
        const StoreOutcome stored = send({original});
        ASSERT_EQ(stored.success, 1) << stored.output.toStdString();
        fields().setValue(StudyInfoFields::StudyUid, spec.studyUid);
        m_controller->studyInfo().LoadSeriesList();
        ASSERT_EQ(m_controller->studyInfo().imageGrid().rows(), 2) << errors().toStdString();
        storedFile = m_controller->studyInfo().imageGrid().cell(1, 3);
    }
    StudyInfoFields &fields() { return m_controller->studyFields(); }
    SeriesImageCorrections &corrections() { return m_controller->seriesCorrections(); }

    SampleSpec spec;
    QString original;
    QString storedFile;
};

// A test run as root passes every permission check; the file system uid of
// an unprivileged user makes the folder's mode count again.
class AsUnprivileged
{
public:
    AsUnprivileged() : m_root(geteuid() == 0)
    {
        if (m_root) {
            setfsgid(65534); // root's group would otherwise get the group bits
            setfsuid(65534);
        }
    }
    ~AsUnprivileged()
    {
        if (m_root) {
            setfsuid(0);
            setfsgid(0);
        }
    }

private:
    bool m_root;
};

} // namespace

TEST_F(SeriesImageCorrectionsReception, SeriesAndImageCommandsChangeRowsAndSayWhatWasNotFound)
{
    store();
    SeriesImageCorrections &c = corrections();
    fields().setValue(StudyInfoFields::SeriesUidToUpdate, "1.2.840.99.404");
    EXPECT_EQ(c.cmdUpdateSeries(), "SeriesUID UID not Found");
    EXPECT_EQ(c.cmdUpdateSeriesStudyUID(), "SeriesUID UID not Found");
    fields().setValue(StudyInfoFields::InstanceUid, "1.2.840.99.404");
    EXPECT_EQ(c.cmdUpdateImageSeriesUID(), "SeriesUID UID not Found");

    c.newSeries() = {spec.seriesUid, spec.studyUid, "CT", "2", "O'NEIL"};
    EXPECT_EQ(c.cmdCreateSeries(), "Already Exists");
    c.newSeries() = {"1.2.840.99.90.2", "1.2.840.99.91", "CT", "2", "O'NEIL"};
    EXPECT_EQ(c.cmdCreateSeries(), "DONE.") << errors().toStdString();
    EXPECT_EQ(scalar("SELECT SeriesDescription FROM SeriesTable WHERE SeriesUID='1.2.840.99.90.2'"), "O'NEIL");

    fields().setValue(StudyInfoFields::InstanceUid, spec.instanceUid);
    fields().setValue(StudyInfoFields::ImageSeriesUid, "1.2.840.99.90.2");
    EXPECT_EQ(c.cmdUpdateImageSeriesUID(), "DONE.");
    EXPECT_EQ(scalar("SELECT SeriesUID_FKey FROM ImageTable WHERE InstanceUID='" + spec.instanceUid + "'"), "1.2.840.99.90.2");

    fields().setValue(StudyInfoFields::SeriesUidToUpdate, "1.2.840.99.90.2");
    fields().setValue(StudyInfoFields::SeriesStudyUid, spec.studyUid);
    EXPECT_EQ(c.cmdUpdateSeriesStudyUID(), "DONE.");
    fields().setValue(StudyInfoFields::UpdatesSeriesUid, "1.2.840.99.90.3");
    EXPECT_EQ(c.cmdUpdateSeries(), "DONE.");
    EXPECT_EQ(scalar("SELECT StudyUID_FKey FROM SeriesTable WHERE SeriesUID='1.2.840.99.90.3'"), spec.studyUid);
    EXPECT_EQ(count("SELECT count(*) FROM SeriesTable WHERE SeriesUID='1.2.840.99.90.2'"), 0);
}

TEST_F(SeriesImageCorrectionsReception, HeaderEditRewritesSixElementsAndNeverLosesTheFile)
{
    store();
    SeriesImageCorrections &c = corrections();
    ASSERT_TRUE(c.cmdUpdateImgDetails());
    EXPECT_TRUE(c.imageDetailsVisible());
    EXPECT_EQ(c.imageDetails().patientName, "DOE^JOHN");
    EXPECT_EQ(c.imageDetails().birthDate, "1/2/1960");
    EXPECT_EQ(c.imageDetails().accessionNumber, "A100");

    c.imageDetails() = {"O'HARA^KATE", "P777", "3/4/1971", "HEAD", "A200", "F"};
    ASSERT_TRUE(c.cmdUpdateDetails()) << errors().toStdString();
    EXPECT_FALSE(c.imageDetailsVisible());
    EXPECT_EQ(m_controller->studyInfo().viewerImages().listCount(), 0);
    EXPECT_EQ(fileElement(storedFile, 0x10, 0x10), "O'HARA^KATE");
    EXPECT_EQ(fileElement(storedFile, 0x10, 0x20), "P777");
    EXPECT_EQ(fileElement(storedFile, 0x10, 0x30), "19710304");
    EXPECT_EQ(fileElement(storedFile, 0x08, 0x1030), "HEAD");
    EXPECT_EQ(fileElement(storedFile, 0x08, 0x50), "A200");
    EXPECT_EQ(fileElement(storedFile, 0x10, 0x40), "F");
    EXPECT_EQ(meanPixelDifference(original, storedFile), 0.0);
    EXPECT_EQ(count("SELECT count(*) FROM PatientTable WHERE PatientID='P777'"), 0) << "the rows stay as they were";

    // A folder that takes no new file: the error box says so, the file stays whole.
    m_controller->studyInfo().ShowImageRow();
    ASSERT_TRUE(c.cmdUpdateImgDetails());
    c.imageDetails().patientName = "LOST^NOT";
    const QString folder = QFileInfo(storedFile).absolutePath();
    for (QDir d(folder); d.absolutePath().startsWith(QDir::tempPath() + "/") && d.cdUp();)
        QFile::setPermissions(d.absolutePath(), QFile::permissions(d.absolutePath()) | QFile::ExeOther);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    bool written = true;
    bool readable = false;
    {
        AsUnprivileged unprivileged;
        readable = QFile(storedFile).open(QIODevice::ReadOnly);
        written = c.cmdUpdateDetails();
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(readable) << "the folder can be reached, only not written";
    EXPECT_FALSE(written);
    EXPECT_TRUE(errors().contains("Cannot update file, ")) << errors().toStdString();
    EXPECT_TRUE(errors().contains(", Make sure image is not open elsewhere.")) << errors().toStdString();
    EXPECT_TRUE(c.imageDetailsVisible());
    EXPECT_EQ(fileElement(storedFile, 0x10, 0x10), "O'HARA^KATE");
    EXPECT_EQ(meanPixelDifference(original, storedFile), 0.0);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(storedFile).fileName()});

    c.cmdCancelUpdate();
    EXPECT_FALSE(c.imageDetailsVisible());
}
