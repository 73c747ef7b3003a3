#include "tests/dicom/ReceptionFixture.h"

#include "dicom/HisFeedback.h"
#include "dicom/ImagePath.h"
#include "dicom/ImageReception.h"
#include "dicom/PendingWrites.h"
#include "tests/support/ServerDatabase.h"
#include "tests/support/Peers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace pacs;
using namespace pacs::test;

TEST_F(ReceptionFixture, AVariedFolderIsStoredOneRowAndOneReadableFileEach)
{
    start();
    const QStringList files = writeVariedCorpus(scratch.path("corpus"));
    ASSERT_EQ(files.size(), 10);
    // Each file goes in its own syntax, as the modality that made it would propose it.
    for (const QString &file : files) {
        QStringList propose;
        if (file.contains("rle"))
            propose << "-xr";
        else if (file.contains("jpeg-baseline"))
            propose << "-xy";
        else if (file.contains("jpeg2000"))
            propose << "-xv";
        else if (file.contains("big-endian"))
            propose << "-xb";
        else if (file.contains("implicit"))
            propose << "-xi";
        const StoreOutcome sent = storeFiles(port(), {file}, propose);
        EXPECT_EQ(sent.success, 1) << sent.output.toStdString() << errors().toStdString();
    }

    EXPECT_EQ(count("select count(*) from PatientTable"), 1);
    EXPECT_EQ(count("select count(*) from StudyTable"), 1);
    EXPECT_EQ(count("select count(*) from SeriesTable"), 10);
    EXPECT_EQ(count("select count(*) from ImageTable"), 10);
    EXPECT_EQ(scalar("select Name_Last + '|' + Name_First + '|' + Sex from PatientTable"), "DOE|JOHN|M");
    EXPECT_EQ(scalar("select DateOfBirth from PatientTable"), "1/2/1980");
    EXPECT_EQ(scalar("select StudyDate from StudyTable"), "1/15/2024");
    EXPECT_EQ(scalar("select convert(varchar,StudyTime,8) from StudyTable"), "10:30:00");
    EXPECT_EQ(scalar("select AccessionNumber + '|' + StudyID + '|' + StudyDescription + '|' + ReferringPhysician_last + '|' + InstitutionName from StudyTable"),
              "ACC1|S1|HEAD|HOUSE|General Hospital");
    EXPECT_EQ(scalar("select PatientID_FKey from StudyTable"), "P100");
    EXPECT_EQ(count("select count(*) from SeriesTable where SeriesDescription='AXIAL' and SeriesNumber between 1 and 10"), 10);

    ASSERT_TRUE(waitForStoredForm());
    const QString root = scratch.home() + "/IMAGES/General_Hospital/2024/";
    db::ResultSet rows = m_controller->connection().ExecuteSQL(
        "select i.Filename, i.InstanceUID, s.Modality from ImageTable i join SeriesTable s on s.SeriesUID=i.SeriesUID_FKey");
    QMultiMap<QString, QString> syntaxByModality;
    int seen = 0;
    for (; !rows.atEnd(); rows.moveNext(), ++seen) {
        const QString path = rows.text(0);
        const QString uid = rows.text(1);
        EXPECT_EQ(path, root + rows.text(2) + "/1_15_2024/P100/" + QString(uid).replace('.', '_') + ".dcm");
        EXPECT_TRUE(QFileInfo(path).isFile()) << path.toStdString();
        EXPECT_EQ(runTool("dcmdump", {"-q", path}).exitCode, 0) << path.toStdString();
        EXPECT_EQ(fileElement(path, 0x08, 0x18), uid);
        syntaxByModality.insert(rows.text(2), fileTransferSyntax(path));
    }
    EXPECT_EQ(seen, 10);
    // JPEG Lossless where the pixels allow it, the received syntax otherwise.
    // JPEG 2000 lossless included: it is decoded and stored like the others.
    EXPECT_EQ(syntaxByModality.values("CT").count("1.2.840.10008.1.2.4.57"), 4) << syntaxByModality.values("CT").join(' ').toStdString();
    EXPECT_EQ(syntaxByModality.value("MR"), "1.2.840.10008.1.2.4.57");
    EXPECT_TRUE(syntaxByModality.values("OT").contains("1.2.840.10008.1.2.4.57"));
    EXPECT_TRUE(syntaxByModality.values("OT").contains("1.2.840.10008.1.2.4.50")) << "already lossy: kept as it came";
    EXPECT_EQ(syntaxByModality.value("US"), "1.2.840.10008.1.2.4.57");
    EXPECT_NE(syntaxByModality.value("SR"), "1.2.840.10008.1.2.4.57");
    EXPECT_NE(syntaxByModality.value("PR"), "1.2.840.10008.1.2.4.57");
    EXPECT_TRUE(m_controller->log().receivedText().contains(":  L: DOE F: JOHN M:")) << m_controller->log().receivedText().toStdString();
    EXPECT_EQ(count("select count(*) from Events where Description like 'Received%'"), 1);
}

TEST_F(ReceptionFixture, RefusalsAndDropsAnswerAsTheStatusTableSays)
{
    setSetting("Main", "chkDisregardDifferentName", "1");
    start();

    SampleSpec noId;
    noId.elements["0010,0020"] = "";
    noId.patientName = "NOBODY^X";
    StoreOutcome r = send({sample("noid", noId)});
    EXPECT_EQ(r.success, 1) << r.output.toStdString();
    EXPECT_TRUE(errors().contains(" :  No Patient ID.NOBODY^X"));
    EXPECT_EQ(count("select count(*) from ImageTable"), 0);
    // Dropped images are kept for the operator, named in the error box.
    const QString quarantine = scratch.home() + "/IMAGES/_quarantine/";
    const QStringList keptNoId = QDir(quarantine + "no-patient-id").entryList(QDir::Files);
    ASSERT_EQ(keptNoId.size(), 1);
    EXPECT_EQ(fileElement(quarantine + "no-patient-id/" + keptNoId[0], 0x0010, 0x0010), "NOBODY^X");
    EXPECT_TRUE(errors().contains("Image kept in quarantine (no-patient-id): " + quarantine + "no-patient-id/"))
        << errors().toStdString();

    SampleSpec smith;
    smith.patientId = "P200";
    smith.patientName = "DELA CRUZ^ANA";
    EXPECT_EQ(send({sample("smith", smith)}).success, 1);
    SampleSpec cruz = smith;
    cruz.patientName = "CRUZ^ANA";
    EXPECT_EQ(send({sample("cruz", cruz)}).success, 1);
    EXPECT_EQ(count("select count(*) from ImageTable"), 2) << "a last name inside the stored one matches";

    // Different last name, "Disregard": answered success, dropped.
    SampleSpec jones = smith;
    jones.patientName = "JONES^ANA";
    r = send({sample("jones", jones)});
    EXPECT_EQ(r.success, 1);
    EXPECT_EQ(count("select count(*) from ImageTable"), 2);
    EXPECT_TRUE(errors().contains("Same ID, Different Last Name.DB:DELA CRUZ <> sending JONES for P200")) << errors().toStdString();
    EXPECT_EQ(QDir(quarantine + "different-name").entryList(QDir::Files).size(), 1);

    // Where the image cannot be kept, it is refused rather than lost.
    QDir(quarantine + "no-patient-id").removeRecursively();
    QFile blocker(quarantine + "no-patient-id");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    noId.instanceUid = "1.2.840.99.77.1";
    r = send({sample("noid2", noId)});
    EXPECT_EQ(r.success, 0);
    EXPECT_EQ(r.failure, 1) << r.output.toStdString();
    EXPECT_TRUE(errors().contains("Image refused: it cannot be kept in quarantine (no-patient-id)")) << errors().toStdString();

    // "Create _temp ID": filed under a new temporary patient.
    m_controller->options().selectCreateTempId();
    r = send({sample("jones2", jones)});
    EXPECT_EQ(r.success, 1);
    EXPECT_EQ(count("select count(*) from ImageTable"), 3);
    const QString temp = scalar("select PatientID from PatientTable where Name_Last='JONES'");
    EXPECT_TRUE(temp.startsWith('t') && temp.size() == 9) << temp.toStdString();

    // ... and the next such image under that patient, found by name and birth date.
    SampleSpec again = jones;
    again.instanceUid.clear();
    r = send({sample("jones3", again)});
    EXPECT_EQ(r.success, 1);
    EXPECT_TRUE(errors().contains("Using existing ID:" + temp + " instead of P200")) << errors().toStdString();
    EXPECT_EQ(count("select count(*) from PatientTable where Name_Last='JONES'"), 1);
    EXPECT_EQ(count("select count(*) from ImageTable"), 4);
}

TEST_F(ReceptionFixture, MasterListAccessionNumberDuplicatesAndStopRequests)
{
    setSetting("Main", "chkHospNumExist", "1");
    setSetting("SERVER", "chkCheckRequestNum", "1");
    start();

    SampleSpec unknown;
    unknown.patientId = "P999";
    StoreOutcome r = send({sample("unknown", unknown)});
    EXPECT_EQ(r.success, 1);
    EXPECT_EQ(count("select count(*) from ImageTable"), 0);
    EXPECT_TRUE(errors().contains("Name DOE^JOHN not for in Master database for ID:P999"));
    EXPECT_EQ(QDir(scratch.home() + "/IMAGES/_quarantine/not-in-master-list").entryList(QDir::Files).size(), 1);

    SampleSpec os;
    os.patientId = "os123";
    EXPECT_EQ(send({sample("os", os)}).success, 1);
    EXPECT_EQ(count("select count(*) from ImageTable"), 1) << "OS IDs skip the master list";

    SampleSpec noAccession;
    noAccession.patientId = "P001";
    noAccession.elements["0008,0050"] = "";
    r = send({sample("noacc", noAccession)});
    EXPECT_EQ(r.failure, 1) << r.output.toStdString();
    EXPECT_TRUE(errors().contains("No AccessionNumber"));
    EXPECT_EQ(count("select count(*) from ImageTable"), 1);

    SampleSpec known;
    known.patientId = "P001";
    const QString file = sample("known", known);
    EXPECT_EQ(send({file}).success, 1);
    EXPECT_EQ(count("select count(*) from ImageTable"), 2);
    // Again: a duplicate, answered success and only logged.
    EXPECT_EQ(send({file}).success, 1);
    EXPECT_TRUE(logText().contains("Duplicate received for "));
    EXPECT_EQ(count("select count(*) from ImageTable"), 2);

    // Without "Disregard Duplicate Images" the file is written again.
    const QString stored = scalar("select Filename from ImageTable i join SeriesTable s on s.SeriesUID=i.SeriesUID_FKey "
                                  "join StudyTable t on t.StudyUID=s.StudyUID_FKey where t.PatientID_FKey='P001'");
    QFile::remove(stored);
    m_controller->options().setDisregardDuplicates(0);
    EXPECT_EQ(send({file}).success, 1);
    EXPECT_TRUE(QFileInfo::exists(stored));
    EXPECT_EQ(count("select count(*) from ImageTable"), 2);

    m_controller->stopConnection();
    SampleSpec next = known;
    next.instanceUid.clear();
    r = send({file, sample("next", next)});
    EXPECT_EQ(r.failure, 1) << "the next image is refused (0xA801)" << r.output.toStdString();
    EXPECT_EQ(r.success, 1) << "and only that one" << r.output.toStdString();
    EXPECT_TRUE(r.output.contains("A801") || r.output.contains("a801") || r.output.contains("Refused")) << r.output.toStdString();
}

TEST_F(ReceptionFixture, ADuplicateWhoseFileIsGoneIsStoredAgain)
{
    start();
    SampleSpec spec;
    const QString file = sample("ct", spec);
    ASSERT_EQ(send({file}).success, 1);
    const QString stored = scalar("select Filename from ImageTable");
    ASSERT_TRUE(QFile::remove(stored));
    EXPECT_EQ(send({file}).success, 1);
    EXPECT_TRUE(isReadableDicomFile(stored));
    EXPECT_TRUE(logText().contains("its stored file is missing"));
    EXPECT_EQ(count("select count(*) from ImageTable"), 1);
}

TEST_F(ReceptionFixture, BadValuesFromTheNetworkCostNeitherTheImageNorTheTables)
{
    start();
    SampleSpec odd;
    odd.patientId = "P'; DROP TABLE PatientTable; --";
    odd.patientName = "O'NEIL^ANN";
    odd.elements["0008,0020"] = "2024XX15";      // unreadable study date
    odd.elements["0008,0030"] = "25x";           // unreadable study time
    odd.elements["0010,0030"] = "19800231";      // impossible birth date
    odd.elements["0008,0080"] = "../../../etc";  // institution folder
    odd.elements["0008,0060"] = "../x";
    odd.elements["0020,0010"] = "1'); DELETE FROM StudyTable; --";
    const StoreOutcome r = send({sample("odd", odd)});
    EXPECT_EQ(r.success, 1) << r.output.toStdString() << errors().toStdString();
    EXPECT_EQ(count("select count(*) from PatientTable"), 1);
    EXPECT_EQ(scalar("select PatientID from PatientTable"), "P'; DROP TABLE PatientTable; --");
    EXPECT_EQ(scalar("select Name_Last from PatientTable"), "O''NEIL"); // names are kept SQL-ready
    EXPECT_EQ(scalar("select StudyID from StudyTable"), "1'); DELETE FROM StudyTable; --");
    EXPECT_EQ(scalar("select count(*) from StudyTable where StudyDate is null"), "1");
    EXPECT_EQ(scalar("select count(*) from PatientTable where DateOfBirth is null"), "1");
    const QString path = scalar("select Filename from ImageTable");
    EXPECT_TRUE(path.startsWith(scratch.home() + "/IMAGES/"));
    EXPECT_FALSE(path.contains("/../"));
    EXPECT_TRUE(QFileInfo(path).isFile());
    EXPECT_TRUE(logText().contains("Study Date not readable, stored as NULL: 2024XX15")) << logText().toStdString();

    // Odd-length texts padded with a NUL byte, as some senders pad them: the
    // padding goes, the image is stored.
    SampleSpec padded;
    padded.patientId = "P7";
    padded.rawElements["0010,0010"] = QByteArray("ROE^JON\0", 8);
    padded.rawElements["0008,1030"] = QByteArray("SKULL\0", 6);
    const StoreOutcome p = send({sample("padded", padded)});
    EXPECT_EQ(p.success, 1) << p.output.toStdString() << errors().toStdString();
    EXPECT_EQ(scalar("select Name_Last from PatientTable where PatientID = 'P7'"), "ROE");
    EXPECT_EQ(scalar("select Name_First from PatientTable where PatientID = 'P7'"), "JON");
    EXPECT_EQ(count("select count(*) from StudyTable where StudyDescription = 'SKULL'"), 1);
}

TEST_F(ReceptionFixture, AnImageWithoutStudyUidGetsANewOneAndStopsTheListener)
{
    start();
    SampleSpec spec;
    spec.elements["0020,000D"] = "";
    EXPECT_EQ(send({sample("nostudy", spec)}).success, 1);
    EXPECT_TRUE(errors().contains("No STUDY UID. DOE^JOHN"));
    EXPECT_EQ(count("select count(*) from StudyTable where StudyUID like '1.%'"), 1);
    EXPECT_EQ(count("select count(*) from ImageTable"), 1);
    EXPECT_FALSE(m_controller->server().listener().isListening());
    EXPECT_TRUE(m_controller->listenServer()) << "the box stays checked";
    EXPECT_EQ(m_controller->server().viewerImages().listCount(), 1);
}

TEST_F(ReceptionFixture, SiteProfilesMarkTheHisOrderDone)
{
    setSetting("Main", "optORVIK", "True");
    start();
    EXPECT_EQ(m_controller->server().his().customDbName(), "HIS");
    SampleSpec spec;
    spec.elements["0008,0050"] = "R123";
    EXPECT_EQ(send({sample("orvik", spec)}).success, 1);
    db::ResultSet rows = m_controller->connection().ExecuteSQL("select estatus from HIS.dbo.hdocOrd where requestnum='R123'");
    EXPECT_EQ(rows.text(0), "S");
    EXPECT_EQ(scalar("select estatus from HIS.dbo.hdocOrd where requestnum='R124'"), "P");
}

TEST_F(ReceptionFixture, TheBrackmoorProfileMarksTheWorksheet)
{
    setSetting("Main", "optBrackmoor", "True");
    start();
    SampleSpec spec;
    spec.elements["0008,0050"] = "R124";
    EXPECT_EQ(send({sample("brackmoor", spec)}).success, 1);
    EXPECT_EQ(scalar("select status from HIS..worksheet where qnumber='R124'"), "1");
    EXPECT_EQ(scalar("select status from HIS..worksheet where qnumber='R123'"), "0");
}

TEST_F(ReceptionFixture, RowsWrittenAfterTheFileWhenTheSettingSaysSo)
{
    setSetting("SERVER", "chkSavetoDBbeforeSaveImage", "0");
    setSetting("SERVER", "chkUpdateImageData", "1");
    start();
    SampleSpec first;
    EXPECT_EQ(send({sample("a", first)}).success, 1);
    // Auto update: the patient row follows the newest image.
    SampleSpec second = first;
    second.patientName = "DOE^JOHNNY";
    second.instanceUid.clear();
    EXPECT_EQ(send({sample("b", second)}).success, 1) << errors().toStdString();
    EXPECT_EQ(scalar("select Name_First from PatientTable"), "JOHNNY");
    EXPECT_TRUE(logText().contains("Data Updated"));
    EXPECT_EQ(count("select count(*) from ImageTable"), 2);

    m_controller->setUpdateImageData(false);
    SampleSpec third = first;
    third.instanceUid.clear();
    EXPECT_EQ(send({sample("c", third)}).success, 1) << errors().toStdString();
    EXPECT_EQ(count("select count(*) from ImageTable"), 3);
}

TEST_F(ReceptionFixture, AnImageWhoseRowOrFileCannotBeWrittenIsNeverAcknowledged)
{
    start();
    // The row statement fails (as on a full disk): 0xA700, never success.
    QString error;
    if (ServerDatabase::enabled())
        ASSERT_TRUE(ServerDatabase::executeNative(scratch.home(),
                                                  "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
                                                  "$$BEGIN RAISE EXCEPTION 'disk full'; END$$; CREATE TRIGGER refuse "
                                                  "BEFORE INSERT ON dicom.ImageTable FOR EACH ROW EXECUTE FUNCTION refuse()",
                                                  error))
            << error.toStdString();
    else
        m_controller->connection().ExecuteSQL(
            "CREATE TRIGGER refuse BEFORE INSERT ON ImageTable BEGIN SELECT RAISE(ABORT, 'disk full'); END");
    SampleSpec spec;
    StoreOutcome r = send({sample("a", spec)});
    EXPECT_EQ(r.success, 0) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains("Refused: OutOfResources")) << r.output.toStdString();
    EXPECT_TRUE(errors().contains("Cannot InsertImage"));
    if (ServerDatabase::enabled())
        ASSERT_TRUE(ServerDatabase::executeNative(scratch.home(), "DROP TRIGGER refuse ON dicom.ImageTable", error));
    else
        m_controller->connection().ExecuteSQL("DROP TRIGGER refuse");

    // The file cannot be written: the row written before it goes again.
    QDir(scratch.home() + "/IMAGES").removeRecursively();
    QFile blocker(scratch.home() + "/IMAGES");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    spec.instanceUid.clear();
    r = send({sample("b", spec)});
    EXPECT_EQ(r.success, 0) << r.output.toStdString();
    EXPECT_EQ(count("select count(*) from ImageTable"), 0);
    EXPECT_TRUE(logText().contains("Image row removed, its file could not be written")) << logText().toStdString();
}

TEST_F(ReceptionFixture, AFailedFileWriteRefusesThatImageAndTheAssociationGoesOn)
{
    start();
    SampleSpec first;
    first.patientId = "PA";
    ASSERT_EQ(send({sample("a", first)}).success, 1) << errors().toStdString();
    // The next patient's folder (same day, same modality) is taken by a file.
    const QString day = QFileInfo(scalar("select Filename from ImageTable")).dir().absolutePath() + "/..";
    QFile blocker(day + "/PB");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    SampleSpec blocked = first;
    blocked.patientId = "PB";
    blocked.instanceUid.clear();
    SampleSpec fine = first;
    fine.patientId = "PC";
    fine.instanceUid.clear();
    const StoreOutcome r = send({sample("b", blocked), sample("c", fine)});
    EXPECT_EQ(r.failure, 1) << r.output.toStdString();
    EXPECT_EQ(r.success, 1) << r.output.toStdString();
    EXPECT_EQ(count("select count(*) from ImageTable"), 2);
    EXPECT_EQ(count("select count(*) from ImageTable i join SeriesTable s on i.SeriesUID_FKey = s.SeriesUID "
                    "join StudyTable t on s.StudyUID_FKey = t.StudyUID where t.PatientID_FKey = 'PB'"),
              0);
    // Every write finished: no note of a write in progress is left.
    const QDir pending(scratch.home() + "/IMAGES/_pending");
    for (const QString &name : pending.entryList(QDir::Files))
        EXPECT_EQ(PendingWrites::uidIn(pending.filePath(name)), "") << name.toStdString();
}

// A storage root on a volume too small for the image: the sender hears
// 0xA700 and the error box says what happened.
TEST_F(ReceptionFixture, AFullDiskIsNamedAsSuch)
{
    const QString volume = scratch.path("small");
    QDir().mkpath(volume);
    const ToolResult mount = runTool("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", volume}, 20000);
    if (mount.exitCode != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here: " << mount.output.toStdString();
    struct Unmount
    {
        QString path;
        ~Unmount() { runTool("umount", {path}, 20000); }
    } unmount{volume};
    m_controller->options().load();
    m_controller->options().setStorageRoot(volume + "/");
    start();
    SampleSpec big;
    big.size = 512;
    const StoreOutcome r = send({sample("big", big)});
    EXPECT_EQ(r.success, 0) << r.output.toStdString();
    EXPECT_EQ(r.failure, 1) << r.output.toStdString();
    EXPECT_TRUE(errors().contains("no space left on the storage volume " + volume)) << errors().toStdString();
    EXPECT_FALSE(errors().contains("Pixel representation not found")) << errors().toStdString();
    EXPECT_EQ(count("select count(*) from ImageTable"), 0);
}

TEST_F(ReceptionFixture, RowsWhoseFileNeverCompletedAreRemovedAtStart)
{
    start();
    SampleSpec spec;
    ASSERT_EQ(send({sample("a", spec)}).success, 1) << errors().toStdString();
    const QString kept = scalar("select InstanceUID from ImageTable");
    // What a kill between row and file leaves: a row, its marker, no file.
    m_controller->connection().ExecuteSQL("insert into ImageTable (InstanceUID, SeriesUID_FKey, Filename) values "
                                          "('1.2.840.99.66.1', 'x', '" + scratch.home() + "/IMAGES/gone.dcm')");
    const QString pending = scratch.home() + "/IMAGES/_pending/";
    auto mark = [&](const QString &uid) {
        QFile marker(pending + instanceFileStem(uid) + ".pending");
        ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
        marker.write(uid.toUtf8());
    };
    mark("1.2.840.99.66.1");
    mark(kept); // its file did complete: the row stays
    // The same as the running server notes it: a save begun and never ended,
    // and one that ended (its note emptied for the next image).
    m_controller->connection().ExecuteSQL("insert into ImageTable (InstanceUID, SeriesUID_FKey, Filename) values "
                                          "('1.2.840.99.66.2', 'x', '" + scratch.home() + "/IMAGES/gone2.dcm')");
    PendingWrites notes;
    const int killed = 0, finished = 0;
    notes.begin(&killed, scratch.home(), "1.2.840.99.66.2");
    notes.begin(&finished, scratch.home(), kept);
    notes.end(&finished);
    restart();
    EXPECT_EQ(count("select count(*) from ImageTable where InstanceUID = '1.2.840.99.66.1'"), 0);
    EXPECT_EQ(count("select count(*) from ImageTable where InstanceUID = '" + kept + "'"), 1);
    EXPECT_TRUE(errors().contains("Image row removed at start, its file was never completed: 1.2.840.99.66.1"))
        << errors().toStdString();
    EXPECT_EQ(count("select count(*) from ImageTable where InstanceUID = '1.2.840.99.66.2'"), 0);
    EXPECT_TRUE(QDir(pending).entryList(QDir::Files).isEmpty());
}

// One note file per save in progress, reused from image to image rather
// than made and deleted each time; a save whose completion never came keeps
// its note for the next start.
TEST(PendingWrites, NotesAreReusedAndHoldTheUidOnlyWhileTheSaveRuns)
{
    QTemporaryDir root;
    PendingWrites notes;
    const int first = 0, second = 0, third = 0;
    const QString a = notes.begin(&first, root.path(), "1.2.3.1");
    EXPECT_EQ(PendingWrites::uidIn(a), "1.2.3.1");
    const QString b = notes.begin(&second, root.path(), "1.2.3.2");
    EXPECT_NE(a, b) << "two saves at once, two notes";
    notes.end(&first);
    EXPECT_TRUE(QFileInfo::exists(a));
    EXPECT_EQ(PendingWrites::uidIn(a), "");
    EXPECT_EQ(notes.begin(&third, root.path(), "1.2.3.3.4.5.6.7"), a) << "an emptied note is used again";
    EXPECT_EQ(PendingWrites::uidIn(a), "1.2.3.3.4.5.6.7");
    notes.end(&second);
    EXPECT_EQ(notes.begin(&first, root.path(), "1.9"), b);
    EXPECT_EQ(PendingWrites::uidIn(b), "1.9") << "a shorter UID leaves nothing of the longer one before it";
    // Written in place at one length, never cut: a UID over the usual 64
    // characters (a sender's mistake) lengthens the note, and what follows
    // it still reads alone.
    EXPECT_EQ(QFileInfo(b).size(), 65);
    notes.end(&first);
    EXPECT_EQ(QFileInfo(b).size(), 65);
    const QString longUid = "1.2." + QString(80, '7');
    EXPECT_EQ(notes.begin(&first, root.path(), longUid), b);
    EXPECT_EQ(PendingWrites::uidIn(b), longUid);
    notes.end(&first);
    EXPECT_EQ(PendingWrites::uidIn(b), "");
    EXPECT_EQ(notes.begin(&first, root.path(), "1.9"), b);
    EXPECT_EQ(PendingWrites::uidIn(b), "1.9");
    // The save of `third` never completed (its association went): a new save
    // for the same key gets another note, and the old one stays for the start.
    const QString c = notes.begin(&third, root.path(), "1.2.3.4");
    EXPECT_NE(c, a);
    EXPECT_EQ(PendingWrites::uidIn(a), "1.2.3.3.4.5.6.7");

    // A free note removed (its folder cleared) or replaced meanwhile: the next
    // save's note is on disk under that name all the same, not in the file
    // that was there before.
    notes.end(&first);
    ASSERT_TRUE(QFile::remove(b));
    EXPECT_EQ(notes.begin(&first, root.path(), "1.2.3.5"), b);
    EXPECT_EQ(PendingWrites::uidIn(b), "1.2.3.5");
    notes.end(&first);
    ASSERT_TRUE(QFile::remove(b));
    {
        QFile other(b);
        ASSERT_TRUE(other.open(QIODevice::WriteOnly));
        other.write("\n");
    }
    EXPECT_EQ(notes.begin(&first, root.path(), "1.2.3.6"), b);
    EXPECT_EQ(PendingWrites::uidIn(b), "1.2.3.6");
    // Removed while its save runs: the save's end makes no file of it again,
    // and the next save's note is under that name.
    ASSERT_TRUE(QFile::remove(b));
    notes.end(&first);
    EXPECT_FALSE(QFileInfo::exists(b));
    EXPECT_EQ(notes.begin(&first, root.path(), "1.2.3.7"), b);
    EXPECT_EQ(PendingWrites::uidIn(b), "1.2.3.7");
    notes.end(&first);
    EXPECT_EQ(PendingWrites::uidIn(b), "");
}
