#include "db/SqliteBackend.h"
#include "dicom/QueryService.h"
#include "dicom/RetrieveService.h"
#include "dicom/toolkit/ToolkitConnection.h"
#include "dicom/toolkit/ToolkitDataset.h"
#include "dicom/toolkit/ToolkitEvents.h"
#include "dicom/toolkit/ToolkitListener.h"
#include "tests/support/ServerDatabase.h"
#include "tests/dicom/ReceptionFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QTimer>

using namespace pacs;
using namespace pacs::test;

namespace {

struct FindResult
{
    int exitCode = -1;
    QStringList files; // one response dataset per file
    QString output;
    QString value(int index, int group, int element) const { return fileElement(files.value(index), group, element); }
    QStringList values(int group, int element) const
    {
        QStringList all;
        for (const QString &f : files)
            all << fileElement(f, group, element);
        return all;
    }
};

// An archive with three patients, four studies and a few series.
class QueryFixture : public ReceptionFixture
{
protected:
    void SetUp() override
    {
        ReceptionFixture::SetUp();
        start();
        struct Image
        {
            const char *patient, *name, *study, *date, *modality;
            int series, instance;
        };
        const Image images[] = {
            {"P1", "SMITH^JOHN", "1.2.9.1", "20240110", "CT", 1, 1}, {"P1", "SMITH^JOHN", "1.2.9.1", "20240110", "CT", 1, 2},
            {"P1", "SMITH^JOHN", "1.2.9.1", "20240110", "CT", 10, 1}, {"P1", "SMITH^JOHN", "1.2.9.1", "20240110", "MR", 2, 1},
            {"P1", "SMITH^JOHN", "1.2.9.2", "20240301", "MR", 1, 1},  {"P2", "SMITHERS^ANNA", "1.2.9.3", "20240215", "CR", 1, 1},
            {"P3", "O'NEIL^ANN", "1.2.9.4", "20231231", "US", 1, 1},
        };
        QStringList files;
        int n = 0;
        for (const Image &i : images) {
            SampleSpec spec;
            spec.patientId = i.patient;
            spec.patientName = i.name;
            spec.studyUid = i.study;
            spec.seriesUid = QString("%1.%2.%3").arg(i.study, i.modality).arg(i.series).replace("CT", "7").replace("MR", "8")
                                 .replace("CR", "9").replace("US", "6");
            spec.instanceUid = spec.seriesUid + "." + QString::number(i.instance);
            spec.seriesNumber = i.series;
            spec.instanceNumber = i.instance;
            spec.elements["0008,0020"] = i.date;
            spec.elements["0008,0060"] = i.modality;
            files << sample(QString::number(++n), spec);
        }
        ASSERT_EQ(send(files).success, int(files.size()));
    }

    FindResult find(const QString &root, const QStringList &keys)
    {
        FindResult result;
        const QString dir = scratch.path(QString("find%1").arg(++m_finds));
        QDir().mkpath(dir);
        QStringList args{"-v", root, "-aec", "TALMIR", "-X", "-od", dir};
        for (const QString &k : keys)
            args << "-k" << k;
        args << "127.0.0.1" << QString::number(port());
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("findscu", args);
        process.waitForStarted();
        waitUntil([&] { return process.state() == QProcess::NotRunning; }, 60000);
        result.exitCode = process.exitCode();
        result.output = QString::fromLocal8Bit(process.readAll());
        for (const QString &name : QDir(dir).entryList(QDir::Files, QDir::Name))
            result.files << dir + "/" + name;
        return result;
    }

    int m_finds = 0;
};

} // namespace

TEST_F(QueryFixture, PatientLevelWithWildcardsAndEmptyReturnKeys)
{
    FindResult r = find("-P", {"QueryRetrieveLevel=PATIENT", "PatientName=SMITH*", "PatientID", "PatientBirthDate",
                               "NumberOfPatientRelatedStudies"});
    ASSERT_EQ(r.files.size(), 2) << r.output.toStdString();
    QStringList names = r.values(0x10, 0x10);
    names.sort();
    EXPECT_EQ(names, (QStringList{"SMITHERS^ANNA", "SMITH^JOHN"}));
    EXPECT_EQ(r.value(0, 0x10, 0x30), "19800102");
    QStringList studies = r.values(0x20, 0x1200);
    studies.sort();
    EXPECT_EQ(studies, (QStringList{"1", "2"}));
    EXPECT_TRUE(logText().contains("Queries :2"));

    // Family and given name restrict both parts.
    r = find("-P", {"QueryRetrieveLevel=PATIENT", "PatientName=SMITH^JOHN", "PatientID"});
    ASSERT_EQ(r.files.size(), 1);
    EXPECT_EQ(r.value(0, 0x10, 0x20), "P1");
    // Names compare without regard to case, as on SQL Server.
    EXPECT_EQ(find("-P", {"QueryRetrieveLevel=PATIENT", "PatientName=smith", "PatientID"}).files.size(), 1u);
}

TEST_F(QueryFixture, StudyLevelUnderBothRootsWithDateRangesAndModalities)
{
    FindResult r = find("-S", {"QueryRetrieveLevel=STUDY", "StudyDate=20240201-", "StudyInstanceUID", "PatientName"});
    QStringList uids = r.values(0x20, 0x0D);
    uids.sort();
    EXPECT_EQ(uids, (QStringList{"1.2.9.2", "1.2.9.3"}));
    r = find("-S", {"QueryRetrieveLevel=STUDY", "StudyDate=-20240110", "StudyInstanceUID"});
    uids = r.values(0x20, 0x0D);
    uids.sort();
    EXPECT_EQ(uids, (QStringList{"1.2.9.1", "1.2.9.4"}));
    r = find("-S", {"QueryRetrieveLevel=STUDY", "StudyDate=20240101-20240228", "StudyInstanceUID"});
    EXPECT_EQ(r.files.size(), 2u);

    r = find("-S", {"QueryRetrieveLevel=STUDY", "ModalitiesInStudy=CT\\US", "StudyInstanceUID"});
    uids = r.values(0x20, 0x0D);
    uids.sort();
    EXPECT_EQ(uids, (QStringList{"1.2.9.1", "1.2.9.4"})) << m_controller->server().query().lastStatement().toStdString();
    EXPECT_TRUE(r.values(0x08, 0x61).contains("CT\\MR")) << "all modalities of the study come back";

    r = find("-P", {"QueryRetrieveLevel=STUDY", "PatientID=P1", "StudyInstanceUID", "StudyDate", "NumberOfStudyRelatedInstances"});
    ASSERT_EQ(r.files.size(), 2u);
    QStringList counts = r.values(0x20, 0x1208);
    counts.sort();
    EXPECT_EQ(counts, (QStringList{"1", "4"}));
}

TEST_F(QueryFixture, SeriesAndImageLevelsInTheirTextualOrder)
{
    FindResult r = find("-S", {"QueryRetrieveLevel=SERIES", "StudyInstanceUID=1.2.9.1", "SeriesNumber", "Modality"});
    EXPECT_EQ(r.values(0x20, 0x11), (QStringList{"1", "10", "2"})) << "ordered as text";
    r = find("-S", {"QueryRetrieveLevel=SERIES", "StudyInstanceUID=1.2.9.1", "Modality=CT\\MR", "SeriesNumber"});
    EXPECT_EQ(r.files.size(), 3u);
    r = find("-S", {"QueryRetrieveLevel=IMAGE", "SeriesInstanceUID=1.2.9.1.7.1", "SOPInstanceUID", "InstanceNumber"});
    EXPECT_EQ(r.values(0x08, 0x18), (QStringList{"1.2.9.1.7.1.1", "1.2.9.1.7.1.2"}));
    // The same levels under the patient root.
    r = find("-P", {"QueryRetrieveLevel=SERIES", "PatientID=P1", "StudyInstanceUID=1.2.9.2", "SeriesInstanceUID", "Modality"});
    EXPECT_EQ(r.values(0x08, 0x60), QStringList{"MR"});
    r = find("-P", {"QueryRetrieveLevel=IMAGE", "PatientID=P1", "StudyInstanceUID=1.2.9.1", "SeriesInstanceUID=1.2.9.1.8.2",
                    "SOPInstanceUID"});
    EXPECT_EQ(r.values(0x08, 0x18), QStringList{"1.2.9.1.8.2.1"});
}

TEST_F(QueryFixture, ValuesThatLookLikeSqlMatchOrNotAndHarmNothing)
{
    FindResult r = find("-P", {"QueryRetrieveLevel=PATIENT", "PatientName=O'NEIL*", "PatientID"});
    ASSERT_EQ(r.files.size(), 1) << r.output.toStdString();
    EXPECT_EQ(r.value(0, 0x10, 0x20), "P3");
    for (const char *evil : {"PatientID='; DROP TABLE PatientTable; --", "PatientID=x' OR '1'='1",
                             "StudyDescription=a'); DELETE FROM StudyTable; --"}) {
        r = find("-S", {"QueryRetrieveLevel=STUDY", evil, "StudyInstanceUID"});
        EXPECT_EQ(r.files.size(), 0u) << evil;
    }
    EXPECT_EQ(count("select count(*) from PatientTable"), 3);
    EXPECT_EQ(count("select count(*) from StudyTable"), 4);
}

TEST_F(QueryFixture, BadLevelsAndTooManyValuesAreRefused)
{
    FindResult r = find("-P", {"QueryRetrieveLevel=NONSENSE", "PatientID"});
    EXPECT_EQ(r.files.size(), 0u);
    EXPECT_TRUE(logText().contains("Unknown query level: NONSENSE"));
    EXPECT_TRUE(r.output.contains("DataSetDoesNotMatchSOPClass")) << r.output.toStdString();
    QStringList many;
    for (int i = 0; i < 101; ++i)
        many << QString("M%1").arg(i);
    r = find("-S", {"QueryRetrieveLevel=SERIES", "Modality=" + many.join('\\'), "SeriesNumber"});
    EXPECT_EQ(r.files.size(), 0u);
    EXPECT_TRUE(logText().contains("More than 100 values in the key Modality"));
}

TEST_F(QueryFixture, AtMostEightHundredResponses)
{
    for (int i = 0; i < 900; ++i)
        m_controller->connection().ExecuteSQL(QString("insert into PatientTable (PatientID, Name_Last) values ('X%1','BULK')").arg(i));
    FindResult r = find("-P", {"QueryRetrieveLevel=PATIENT", "PatientName=BULK", "PatientID"});
    EXPECT_EQ(r.files.size(), 800);
    EXPECT_TRUE(logText().contains("Queries :800"));
}

TEST_F(QueryFixture, MoveSendsAStudyInSeriesAndInstanceOrder)
{
    StoreScpProcess destination(scratch.path("dest"), "DEST");
    ASSERT_TRUE(destination.isReady());
    m_controller->connection().ExecuteSQL(
        QString("insert into RemoteAETs (RemoteAET, IPAddress, Port) values ('DEST', '127.0.0.1', %1)").arg(destination.port()));
    const ToolResult move = runTool("movescu", {"-S", "-aec", "TALMIR", "-aem", "DEST", "-k", "QueryRetrieveLevel=STUDY", "-k",
                                                "StudyInstanceUID=1.2.9.1", "127.0.0.1", QString::number(port())},
                                    60000);
    EXPECT_EQ(move.exitCode, 0) << move.output.toStdString();
    ASSERT_TRUE(waitUntil([&] { return destination.receivedFiles().size() == 4; }, 20000));
    EXPECT_EQ(destination.receivedOrder(), (QStringList{"1.2.9.1.7.1.1", "1.2.9.1.7.1.2", "1.2.9.1.8.2.1", "1.2.9.1.7.10.1"}));
    EXPECT_TRUE(logText().contains("Send Complete.") || logText().contains("Complete:  action:SendImages"));

    // An unknown destination is refused with its reason.
    const ToolResult unknown = runTool("movescu", {"-v", "-S", "-aec", "TALMIR", "-aem", "NOWHERE", "-k", "QueryRetrieveLevel=STUDY",
                                                   "-k", "StudyInstanceUID=1.2.9.1", "127.0.0.1", QString::number(port())});
    EXPECT_TRUE(unknown.output.contains("a801") || unknown.output.contains("A801") || unknown.output.contains("Refused"))
        << unknown.output.toStdString();
    EXPECT_TRUE(logText().contains("Unknown Move Destination: NOWHERE"));
    EXPECT_EQ(destination.receivedFiles().size(), 4);

    // A destination named with an apostrophe changes nothing.
    runTool("movescu", {"-S", "-aec", "TALMIR", "-aem", "X'OR'1", "-k", "QueryRetrieveLevel=STUDY", "-k",
                        "StudyInstanceUID=1.2.9.1", "127.0.0.1", QString::number(port())});
    EXPECT_TRUE(logText().contains("Unknown Move Destination: X'OR'1"));
}

TEST_F(QueryFixture, GetRetrievesASeriesOverItsOwnAssociation)
{
    const QString dir = scratch.path("got");
    QDir().mkpath(dir);
    const ToolResult get = runTool("getscu", {"-S", "-aec", "TALMIR", "-od", dir, "-k", "QueryRetrieveLevel=SERIES", "-k",
                                              "SeriesInstanceUID=1.2.9.1.7.1", "127.0.0.1", QString::number(port())},
                                   60000);
    EXPECT_EQ(get.exitCode, 0) << get.output.toStdString();
    EXPECT_EQ(QDir(dir).entryList(QDir::Files).size(), 2);
    EXPECT_EQ(m_controller->server().retrieve().lastFiles().size(), 2);
}

TEST_F(QueryFixture, WithAJpegQualityMovedImagesLeaveAsJpeg2000)
{
    StoreScpProcess destination(scratch.path("dest"), "DEST", {"+xw"});
    ASSERT_TRUE(destination.isReady());
    m_controller->connection().ExecuteSQL(
        QString("insert into RemoteAETs (RemoteAET, IPAddress, Port) values ('DEST', '127.0.0.1', %1)").arg(destination.port()));
    m_controller->options().setJpegQuality("90");
    const ToolResult move = runTool("movescu", {"-S", "-aec", "TALMIR", "-aem", "DEST", "-k", "QueryRetrieveLevel=IMAGE", "-k",
                                                "StudyInstanceUID=1.2.9.1", "-k", "SeriesInstanceUID=1.2.9.1.7.1", "-k",
                                                "SOPInstanceUID=1.2.9.1.7.1.1", "127.0.0.1", QString::number(port())},
                                    60000);
    EXPECT_EQ(move.exitCode, 0) << move.output.toStdString();
    ASSERT_TRUE(waitUntil([&] { return destination.receivedFiles().size() == 1; }, 20000));
    const QString received = destination.receivedFiles().first();
    EXPECT_EQ(fileTransferSyntax(received), "1.2.840.10008.1.2.4.91");
    const QString archived = scalar("select Filename from ImageTable where InstanceUID='1.2.9.1.7.1.1'");
    const double difference = meanPixelDifference(archived, received);
    EXPECT_GE(difference, 0) << "both decode";
    // Quality runs from 1 (highest) to 100: at 90 the loss is visible but
    // small, a few per cent of the 12-bit range on this sharp test pattern.
    EXPECT_GT(difference, 0.0) << "lossy";
    EXPECT_LE(difference, 4095 * 0.025);
}

namespace {
// A move destination that refuses every image it is sent.
class RefusingDestination : public toolkit::ToolkitEvents
{
public:
    void imageReceived(toolkit::ToolkitConnection &connection, toolkit::ToolkitImage &) override { connection.setStatus(0xA700); }
};
} // namespace

TEST_F(QueryFixture, AMoveWhoseImagesAreRefusedNeverEndsInSuccess)
{
    RefusingDestination refusing;
    toolkit::ToolkitListener destination(&refusing);
    ASSERT_TRUE(destination.startListening(0));
    m_controller->connection().ExecuteSQL(
        QString("insert into RemoteAETs (RemoteAET, IPAddress, Port) values ('REFUSER', '127.0.0.1', %1)").arg(destination.listeningPort()));
    QProcess move;
    move.setProcessChannelMode(QProcess::MergedChannels);
    move.start("movescu", {"-v", "-S", "-aec", "TALMIR", "-aem", "REFUSER", "-k", "QueryRetrieveLevel=STUDY", "-k",
                           "StudyInstanceUID=1.2.9.1", "127.0.0.1", QString::number(port())});
    ASSERT_TRUE(waitUntil([&] { return move.state() == QProcess::NotRunning; }, 60000));
    const QString output = QString::fromLocal8Bit(move.readAll());
    EXPECT_FALSE(output.contains("Received Final Move Response (Success)")) << output.toStdString();
    EXPECT_TRUE(output.contains("Received Final Move Response")) << output.toStdString();
    EXPECT_TRUE(output.contains("Refused: OutOfResourcesSubOperations")) // 0xA702: every sub-operation failed
        << output.toStdString();
}

namespace {
// Patients whose IDs hold LIKE's own wildcards, and names in other scripts.
class MatchingFixture : public QueryFixture
{
protected:
    void SetUp() override
    {
        QueryFixture::SetUp();
        struct Patient
        {
            const char *id, *name, *study;
        };
        const Patient patients[] = {{"PID_03", "UNDER^SCORE", "1.2.9.20"}, {"PIDX03", "OTHER^X", "1.2.9.21"},
                                    {"PID001", "ONE^A", "1.2.9.22"},       {"PID002", "TWO^B", "1.2.9.23"},
                                    {"PID[1]", "BRACKET^C", "1.2.9.24"},  {"PM1", "Müller^Hans", "1.2.9.25"},
                                    {"PM2", "Mueller^Karl", "1.2.9.26"},  {"PC1", "Иванов^Иван", "1.2.9.27"}};
        QStringList files;
        for (const Patient &p : patients) {
            SampleSpec spec;
            spec.patientId = p.id;
            spec.patientName = p.name;
            spec.studyUid = p.study;
            spec.elements["0008,0005"] = "ISO_IR 192";
            spec.elements["0008,0020"] = "20240501";
            spec.elements["0008,0060"] = "OT";
            files << sample(QString("m%1").arg(files.size()), spec);
        }
        ASSERT_EQ(send(files).success, int(files.size()));
    }

    QStringList patientIds(const QString &root, const QStringList &keys)
    {
        QStringList ids = find(root, keys).values(0x10, 0x20);
        ids.sort();
        return ids;
    }
};
} // namespace

TEST_F(MatchingFixture, OnlyStarAndQuestionMarkAreWildcards)
{
    EXPECT_EQ(patientIds("-P", {"QueryRetrieveLevel=PATIENT", "PatientID=PID_03"}), QStringList{"PID_03"});
    EXPECT_EQ(patientIds("-S", {"QueryRetrieveLevel=STUDY", "PatientID=PID_03", "StudyInstanceUID"}), QStringList{"PID_03"})
        << m_controller->server().query().lastStatement().toStdString();
    EXPECT_EQ(patientIds("-S", {"QueryRetrieveLevel=STUDY", "PatientID=PID00%", "StudyInstanceUID"}), QStringList{});
    EXPECT_EQ(patientIds("-P", {"QueryRetrieveLevel=PATIENT", "PatientID=PID[1]"}), QStringList{"PID[1]"});
    EXPECT_EQ(patientIds("-P", {"QueryRetrieveLevel=PATIENT", "PatientID=PID00?"}), (QStringList{"PID001", "PID002"}));
    EXPECT_EQ(patientIds("-P", {"QueryRetrieveLevel=PATIENT", "PatientID=PID*3"}), (QStringList{"PIDX03", "PID_03"}));
    EXPECT_EQ(patientIds("-P", {"QueryRetrieveLevel=PATIENT", "PatientName=SMIT?^JOHN", "PatientID"}), QStringList{"P1"});
    // The EXISTS match of Modalities in Study takes the same patterns.
    QStringList uids = find("-S", {"QueryRetrieveLevel=STUDY", "ModalitiesInStudy=C?", "StudyInstanceUID"}).values(0x20, 0x0D);
    uids.sort();
    EXPECT_EQ(uids, (QStringList{"1.2.9.1", "1.2.9.3"}));
    EXPECT_EQ(find("-S", {"QueryRetrieveLevel=STUDY", "ModalitiesInStudy=C%", "StudyInstanceUID"}).files.size(), 0u);
}

TEST_F(MatchingFixture, NamesMatchWithoutRegardToCaseBeyondAscii)
{
    const QString utf8 = "SpecificCharacterSet=ISO_IR 192";
    EXPECT_EQ(patientIds("-P", {utf8, "QueryRetrieveLevel=PATIENT", "PatientName=MÜLLER*", "PatientID"}), QStringList{"PM1"});
    EXPECT_EQ(patientIds("-P", {utf8, "QueryRetrieveLevel=PATIENT", "PatientName=müller^HANS", "PatientID"}), QStringList{"PM1"});
    EXPECT_EQ(patientIds("-S", {utf8, "QueryRetrieveLevel=STUDY", "PatientName=M?LLER", "PatientID"}), QStringList{"PM1"});
    EXPECT_EQ(patientIds("-P", {utf8, "QueryRetrieveLevel=PATIENT", "PatientName=ИВАНОВ^иван", "PatientID"}), QStringList{"PC1"});
}

TEST_F(QueryFixture, AStudyWrittenByTheCorrectionsIsFoundByItsDate)
{
    bool failed = false;
    m_controller->connection().ExecuteSQL("Insert Into StudyTable (StudyUID,PatientID_FKey,studydate,studytime,AccessionNumber)  VALUES "
                                          "( '1.2.9.50' , 'P1' , '2/3/2024' , '09:05:00' , 'ACC50' )  ",
                                          failed);
    ASSERT_FALSE(failed);
    FindResult r = find("-S", {"QueryRetrieveLevel=STUDY", "StudyDate=20240203", "StudyInstanceUID", "StudyTime", "PatientID"});
    ASSERT_EQ(r.files.size(), 1) << m_controller->server().query().lastStatement().toStdString();
    EXPECT_EQ(r.value(0, 0x20, 0x0D), "1.2.9.50");
    EXPECT_EQ(r.value(0, 0x08, 0x30), "090500");
    EXPECT_EQ(r.value(0, 0x10, 0x20), "P1");
    QStringList uids = find("-P", {"QueryRetrieveLevel=STUDY", "PatientID=P1", "StudyDate=20240201-20240301", "StudyInstanceUID"})
                           .values(0x20, 0x0D);
    uids.sort();
    EXPECT_EQ(uids, (QStringList{"1.2.9.2", "1.2.9.50"}));

    // The study correction moves it to another day.
    m_controller->connection().ExecuteSQL("update StudyTable set patientID_Fkey = 'P1',  StudyDate = '2/4/2024',  StudyTime = "
                                          "'10:15:00',  AccessionNumber = 'ACC50',  StudyDescription = 'FIXED'  where "
                                          "StudyUID='1.2.9.50'",
                                          failed);
    ASSERT_FALSE(failed);
    EXPECT_EQ(find("-S", {"QueryRetrieveLevel=STUDY", "StudyDate=20240203", "StudyInstanceUID"}).files.size(), 0u);
    r = find("-S", {"QueryRetrieveLevel=STUDY", "StudyDate=20240204", "StudyInstanceUID", "StudyTime"});
    ASSERT_EQ(r.files.size(), 1);
    EXPECT_EQ(r.value(0, 0x08, 0x30), "101500");
}

namespace {
// Sub-operation counts and status of a movescu/getscu run, from its debug output.
struct RetrieveOutcome
{
    QString finalStatus;
    int completed = -1, failed = -1, warning = -1;
};

RetrieveOutcome finalResponse(const QString &output)
{
    // The final response is the last C-MOVE/C-GET response the tool dumps.
    RetrieveOutcome r;
    auto last = [&](const char *pattern) {
        QString value;
        for (auto it = QRegularExpression(pattern).globalMatch(output); it.hasNext();)
            value = it.next().captured(1);
        return value;
    };
    r.finalStatus = last(R"(DIMSE Status\s*:\s*(0x[0-9a-fA-F]{4}))");
    auto number = [&](const char *pattern) {
        const QString n = last(pattern);
        return n.isEmpty() ? -1 : n.toInt();
    };
    r.completed = number(R"(Completed Suboperations\s*:\s*(\d+))");
    r.failed = number(R"(Failed Suboperations\s*:\s*(\d+))");
    r.warning = number(R"(Warning Suboperations\s*:\s*(\d+))");
    return r;
}
} // namespace

TEST_F(QueryFixture, MoveOfSeveralUidsSendsEveryListedObjectAtEachLevel)
{
    struct Case
    {
        const char *level;
        QStringList keys;
        QStringList expected; // SOP Instance UIDs, in the order sent
    };
    const Case cases[] = {
        {"STUDY", {"StudyInstanceUID=1.2.9.2\\1.2.9.1"},
         {"1.2.9.1.7.1.1", "1.2.9.1.7.1.2", "1.2.9.1.8.2.1", "1.2.9.1.7.10.1", "1.2.9.2.8.1.1"}},
        {"SERIES", {"StudyInstanceUID=1.2.9.1", "SeriesInstanceUID=1.2.9.1.7.10\\1.2.9.1.8.2"}, {"1.2.9.1.8.2.1", "1.2.9.1.7.10.1"}},
        {"IMAGE",
         {"StudyInstanceUID=1.2.9.1", "SeriesInstanceUID=1.2.9.1.7.1", "SOPInstanceUID=1.2.9.1.7.1.2\\1.2.9.1.7.1.1\\1.2.9.9.9"},
         {"1.2.9.1.7.1.1", "1.2.9.1.7.1.2"}},
        {"PATIENT", {"PatientID=P2\\P3"}, {"1.2.9.4.6.1.1", "1.2.9.3.9.1.1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.level);
        // A fresh destination each time: storescp names files by instance.
        StoreScpProcess destination(scratch.path(QString("dest-") + c.level), "DEST");
        ASSERT_TRUE(destination.isReady());
        m_controller->connection().ExecuteSQL("delete from RemoteAETs where RemoteAET='DEST'");
        m_controller->connection().ExecuteSQL(
            QString("insert into RemoteAETs (RemoteAET, IPAddress, Port) values ('DEST', '127.0.0.1', %1)").arg(destination.port()));
        QStringList args{"-d", QString(c.level) == "PATIENT" ? "-P" : "-S", "-aec", "TALMIR", "-aem", "DEST", "-k",
                         QString("QueryRetrieveLevel=") + c.level};
        for (const QString &k : c.keys)
            args << "-k" << k;
        args << "127.0.0.1" << QString::number(port());
        const ToolResult move = runTool("movescu", args, 60000);
        EXPECT_EQ(move.exitCode, 0);
        const RetrieveOutcome outcome = finalResponse(move.output);
        EXPECT_EQ(outcome.finalStatus, "0x0000") << move.output.toStdString();
        EXPECT_EQ(outcome.completed, c.expected.size());
        EXPECT_EQ(outcome.failed, 0);
        ASSERT_TRUE(waitUntil([&] { return destination.receivedFiles().size() == c.expected.size(); }, 20000));
        EXPECT_EQ(destination.receivedOrder(), c.expected);
    }
}

TEST_F(QueryFixture, GetOfSeveralUidsBringsBackEveryListedObject)
{
    // The same list in a C-FIND matches both studies, as before.
    FindResult found = find("-S", {"QueryRetrieveLevel=STUDY", "StudyInstanceUID=1.2.9.1\\1.2.9.3"});
    QStringList uids = found.values(0x20, 0x0D);
    uids.sort();
    EXPECT_EQ(uids, (QStringList{"1.2.9.1", "1.2.9.3"}));

    const struct
    {
        const char *level;
        QStringList keys;
        int expected;
    } cases[] = {
        {"STUDY", {"StudyInstanceUID=1.2.9.1\\1.2.9.3"}, 5},
        {"SERIES", {"StudyInstanceUID=1.2.9.1", "SeriesInstanceUID=1.2.9.1.7.1\\1.2.9.1.8.2"}, 3},
        {"IMAGE", {"StudyInstanceUID=1.2.9.1", "SeriesInstanceUID=1.2.9.1.7.1", "SOPInstanceUID=1.2.9.1.7.1.1\\1.2.9.1.7.1.2"}, 2},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.level);
        const QString dir = scratch.path(QString("got%1").arg(++n));
        QDir().mkpath(dir);
        QStringList args{"-d", "-S", "-aec", "TALMIR", "-od", dir, "-k", QString("QueryRetrieveLevel=") + c.level};
        for (const QString &k : c.keys)
            args << "-k" << k;
        args << "127.0.0.1" << QString::number(port());
        const ToolResult get = runTool("getscu", args, 60000);
        EXPECT_EQ(get.exitCode, 0);
        const RetrieveOutcome outcome = finalResponse(get.output);
        EXPECT_EQ(outcome.finalStatus, "0x0000") << get.output.right(3000).toStdString();
        EXPECT_EQ(outcome.completed, c.expected) << errors().toStdString() << logText().right(4000).toStdString();
        EXPECT_EQ(QDir(dir).entryList(QDir::Files).size(), c.expected);
    }
}

TEST_F(QueryFixture, RetrieveThatMatchesNothingEndsWithZeroSubOperations)
{
    const QString dir = scratch.path("none");
    QDir().mkpath(dir);
    const ToolResult get = runTool("getscu", {"-d", "-S", "-aec", "TALMIR", "-od", dir, "-k", "QueryRetrieveLevel=STUDY", "-k",
                                              "StudyInstanceUID=1.2.9.77\\1.2.9.78", "127.0.0.1", QString::number(port())},
                                   60000);
    const RetrieveOutcome outcome = finalResponse(get.output);
    EXPECT_EQ(outcome.finalStatus, "0x0000") << get.output.toStdString();
    EXPECT_EQ(outcome.completed, 0);
    EXPECT_EQ(outcome.failed, 0);
    EXPECT_TRUE(QDir(dir).entryList(QDir::Files).isEmpty());
}

TEST_F(QueryFixture, AReconnectByAnotherHandlerDuringTheAnswersCutsNothingShort)
{
    QStringList values;
    for (int i = 0; i < 900; ++i)
        values << QString("('X%1','BULK')").arg(i);
    m_controller->connection().ExecuteSQL("insert into PatientTable (PatientID, Name_Last) values " + values.join(','));
    // While the answers are being built (the query yields between values), a
    // statement of another handler fails and reconnects.
    bool fired = false, midQuery = false;
    QTimer intruder;
    intruder.setInterval(0);
    QObject::connect(&intruder, &QTimer::timeout, [&] {
        if (fired || !m_controller->server().query().lastStatement().contains("BULK"))
            return;
        fired = true;
        midQuery = !logText().contains("Queries :");
        bool failed = false;
        m_controller->connection().ExecuteSQL("selec nonsense", failed);
    });
    intruder.start();
    FindResult r = find("-P", {"QueryRetrieveLevel=PATIENT", "PatientName=BULK", "PatientID"});
    intruder.stop();
    ASSERT_TRUE(fired);
    EXPECT_TRUE(midQuery);
    EXPECT_TRUE(errors().contains("db execute ")) << "the intruding statement reconnected";
    EXPECT_EQ(r.files.size(), 800);
    EXPECT_TRUE(logText().contains("Queries :800"));
    EXPECT_TRUE(r.output.contains("Received Final Find Response (Success)")) << r.output.toStdString();
}

TEST_F(QueryFixture, AQueryWhoseRowsFailWhileBeingReadEndsWithAFailure)
{
    if (test::ServerDatabase::enabled())
        GTEST_SKIP() << "rows made to fail inside the embedded archive";
    QStringList values;
    for (int i = 0; i < 900; ++i)
        values << QString("('X%1','BULK')").arg(i);
    m_controller->connection().ExecuteSQL("insert into PatientTable (PatientID, Name_Last) values " + values.join(','));
    // An answered key whose value the database cannot compute for one
    // patient in the middle of the list.
    m_controller->connection().ExecuteSQL(
        "insert into Fields (groupid, elementid, FieldName, fieldsource, FieldMatch, isName, IsDate, ForMatching, PATIENT) values "
        "(16, 8544, 'EthnicGroup', 'CASE WHEN PatientID=''X500'' THEN abs(-9223372036854775807-1) ELSE '''' END', NULL, 0, 0, 0, 1)");
    FindResult r = find("-P", {"QueryRetrieveLevel=PATIENT", "PatientName=BULK", "PatientID", "0010,2160"});
    EXPECT_FALSE(r.output.contains("Received Final Find Response (Success)")) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains("Received Final Find Response (Failed: UnableToProcess)")) << r.output.toStdString();
    EXPECT_TRUE(logText().contains("The query ended early: integer overflow")) << logText().toStdString();
    EXPECT_FALSE(logText().contains("Queries :"));
    EXPECT_TRUE(r.files.isEmpty()) << "no part of the list passes for the whole";
}

TEST_F(QueryFixture, Jpeg2000ArrivalsAreStoredAsJpegLosslessAndRetrievableByAnUncompressedPeer)
{
    const QString study = "1.2.9.20";
    struct Arrival
    {
        const char *name;
        SampleKind kind;
        bool lossy;
        QString original, sent;
    };
    std::vector<Arrival> arrivals{{"ct", SampleKind::CT, false, {}, {}},
                                  {"rgb", SampleKind::RGB, false, {}, {}},
                                  {"frames", SampleKind::MultiFrame, false, {}, {}},
                                  {"ct-lossy", SampleKind::CT, true, {}, {}}};
    int n = 0;
    for (Arrival &a : arrivals) {
        SampleSpec spec;
        spec.kind = a.kind;
        spec.patientId = "PJ2K";
        spec.studyUid = study;
        spec.instanceNumber = ++n;
        a.original = sample(QString("j2k-original-%1.dcm").arg(a.name), spec);
        a.sent = scratch.path(QString("j2k-%1.dcm").arg(a.name));
        const QStringList args = a.lossy ? QStringList{"--j2k", "--lossy", "-q", "40", a.original, a.sent}
                                         : QStringList{"--j2k", a.original, a.sent};
        ASSERT_EQ(runTool("gdcmconv", args).exitCode, 0) << a.name;
        ASSERT_EQ(fileTransferSyntax(a.sent), a.lossy ? "1.2.840.10008.1.2.4.91" : "1.2.840.10008.1.2.4.90");
        const StoreOutcome stored = storeFiles(port(), {a.sent}, {a.lossy ? "-xw" : "-xv"});
        EXPECT_EQ(stored.success, 1) << stored.output.toStdString() << errors().toStdString();
    }
    ASSERT_TRUE(waitForStoredForm());
    for (const Arrival &a : arrivals) {
        SCOPED_TRACE(a.name);
        const QString uid = fileElement(a.sent, 0x08, 0x18);
        const QString archived = scalar("select Filename from ImageTable where InstanceUID='" + uid + "'");
        ASSERT_TRUE(QFileInfo(archived).isFile()) << archived.toStdString();
        if (a.lossy) {
            EXPECT_EQ(fileTransferSyntax(archived), "1.2.840.10008.1.2.4.91") << "already lossy: kept as it came";
        } else {
            EXPECT_EQ(fileTransferSyntax(archived), "1.2.840.10008.1.2.4.57");
            EXPECT_EQ(meanPixelDifference(a.original, archived), 0.0) << "identical pixels";
        }
    }

    // A destination that takes only uncompressed syntaxes gets every image.
    StoreScpProcess destination(scratch.path("plain"), "PLAIN");
    ASSERT_TRUE(destination.isReady());
    m_controller->connection().ExecuteSQL(
        QString("insert into RemoteAETs (RemoteAET, IPAddress, Port) values ('PLAIN', '127.0.0.1', %1)").arg(destination.port()));
    const ToolResult move = runTool("movescu", {"-d", "-S", "-aec", "TALMIR", "-aem", "PLAIN", "-k", "QueryRetrieveLevel=STUDY", "-k",
                                                "StudyInstanceUID=" + study, "127.0.0.1", QString::number(port())},
                                    60000);
    const RetrieveOutcome outcome = finalResponse(move.output);
    EXPECT_EQ(outcome.finalStatus, "0x0000") << move.output.toStdString();
    EXPECT_EQ(outcome.completed, int(arrivals.size())) << errors().toStdString() << logText().right(4000).toStdString();
    EXPECT_EQ(outcome.failed, 0);
    ASSERT_TRUE(waitUntil([&] { return destination.receivedFiles().size() == qsizetype(arrivals.size()); }, 20000));
    for (const QString &received : destination.receivedFiles()) {
        SCOPED_TRACE(received.toStdString());
        const QString syntax = fileTransferSyntax(received);
        EXPECT_TRUE(syntax == "1.2.840.10008.1.2" || syntax == "1.2.840.10008.1.2.1") << syntax.toStdString();
        for (const Arrival &a : arrivals)
            if (fileElement(a.sent, 0x08, 0x18) == fileElement(received, 0x08, 0x18)) {
                const double difference = meanPixelDifference(a.lossy ? a.sent : a.original, received);
                EXPECT_GE(difference, 0.0);
                EXPECT_LE(difference, a.lossy ? 1.0 : 0.0);
            }
    }
}

namespace {
// An element of a response file: present with zero length, as an
// unanswerable key comes back (fileElement cannot tell that from absent).
bool presentButEmpty(const QString &file, int group, int element)
{
    const toolkit::ToolkitAttribute a = toolkit::ToolkitDataset::readFileElements(file).findAttribute(group, element);
    return a.attributeExists() && a.attributeText().isEmpty();
}

} // namespace

TEST_F(QueryFixture, AnswersCarryTheKeysAViewerNeeds)
{
    m_controller->options().setAeName("TALMIR");
    SampleSpec frames;
    frames.kind = SampleKind::MultiFrame;
    frames.patientId = "P5";
    frames.studyUid = "1.2.9.5";
    frames.seriesUid = "1.2.9.5.1";
    frames.instanceUid = "1.2.9.5.1.1";
    frames.elements["0008,0021"] = "20240105";
    frames.elements["0018,0015"] = "CHEST";
    SampleSpec report;
    report.kind = SampleKind::StructuredReport;
    report.patientId = "P5";
    report.studyUid = "1.2.9.5";
    report.seriesUid = "1.2.9.5.2";
    report.instanceUid = "1.2.9.5.2.1";
    report.seriesNumber = 2;
    ASSERT_EQ(send({sample("frames", frames), sample("report", report)}).success, 2);

    // Image level: what the instance is and how it is laid out; Manufacturer
    // and Study Date are no image-level keys here and come back empty.
    FindResult r = find("-S", {"QueryRetrieveLevel=IMAGE", "StudyInstanceUID=1.2.9.5", "SOPInstanceUID", "SOPClassUID", "Rows",
                               "Columns", "NumberOfFrames", "Manufacturer", "StudyDate", "0009,0010=ACME", "0009,1001"});
    ASSERT_EQ(r.files.size(), 2) << r.output.toStdString();
    QMap<QString, QString> file; // SOP Instance UID -> response
    for (const QString &f : r.files)
        file[fileElement(f, 0x08, 0x18)] = f;
    const QString mf = file.value("1.2.9.5.1.1"), sr = file.value("1.2.9.5.2.1");
    EXPECT_EQ(fileElement(mf, 0x08, 0x16), "1.2.840.10008.5.1.4.1.1.7.2");
    EXPECT_EQ(fileElement(sr, 0x08, 0x16), "1.2.840.10008.5.1.4.1.1.88.11") << "a report tells itself from an image";
    EXPECT_EQ(fileElement(mf, 0x28, 0x08), "4");
    EXPECT_EQ(fileElement(mf, 0x28, 0x10), "64");
    EXPECT_EQ(fileElement(mf, 0x28, 0x11), "64");
    EXPECT_TRUE(presentButEmpty(sr, 0x28, 0x10)) << "a report has no rows";
    for (const QString &f : r.files) {
        EXPECT_EQ(fileElement(f, 0x08, 0x52), "IMAGE");
        EXPECT_EQ(fileElement(f, 0x08, 0x54), "TALMIR");
        EXPECT_TRUE(presentButEmpty(f, 0x08, 0x70)) << "Manufacturer";
        EXPECT_TRUE(presentButEmpty(f, 0x08, 0x20)) << "Study Date at image level";
        EXPECT_TRUE(presentButEmpty(f, 0x09, 0x1001)) << "a private key";
        EXPECT_EQ(fileElement(f, 0x09, 0x10), "ACME") << "its creator is kept";
    }
    // The SOP class restricts like any key.
    r = find("-S", {"QueryRetrieveLevel=IMAGE", "StudyInstanceUID=1.2.9.5", "SOPClassUID=1.2.840.10008.5.1.4.1.1.88.*",
                    "SOPInstanceUID"});
    EXPECT_EQ(r.values(0x08, 0x18), QStringList{"1.2.9.5.2.1"});

    // Series level: date and body part where the images had them.
    r = find("-S", {"QueryRetrieveLevel=SERIES", "StudyInstanceUID=1.2.9.5", "SeriesInstanceUID", "SeriesDate",
                    "BodyPartExamined"});
    ASSERT_EQ(r.files.size(), 2) << r.output.toStdString();
    EXPECT_EQ(r.values(0x08, 0x21), (QStringList{"20240105", ""}));
    EXPECT_EQ(r.values(0x18, 0x15), (QStringList{"CHEST", ""}));
    EXPECT_TRUE(presentButEmpty(r.files[1], 0x08, 0x21));
    r = find("-S", {"QueryRetrieveLevel=SERIES", "StudyInstanceUID=1.2.9.5", "SeriesDate=20240101-20240110", "SeriesInstanceUID"});
    EXPECT_EQ(r.values(0x20, 0x0E), QStringList{"1.2.9.5.1"});

    // Every level names itself and where to retrieve from, asked or not.
    for (const auto &[root, level] : {std::pair{"-P", "PATIENT"}, std::pair{"-S", "STUDY"}}) {
        r = find(root, {QString("QueryRetrieveLevel=") + level, "PatientID=P5"});
        ASSERT_EQ(r.files.size(), 1) << level;
        EXPECT_EQ(r.value(0, 0x08, 0x52), level);
        EXPECT_EQ(r.value(0, 0x08, 0x54), "TALMIR");
    }
}

TEST_F(QueryFixture, TimeRangesFilterAsDateRangesDo)
{
    // 13 of 22 studies lie within 08:00-12:00, both ends included; four of
    // those are of another day.
    const QStringList inside = {"080000", "081500", "090000", "093000.123456", "1015", "101500", "103000",
                                "110000", "113000", "115959", "120000", "0930", "100000"};
    const QStringList outside = {"000000", "060000", "075959", "120001", "120100", "1300", "180000", "200000", "235959"};
    QStringList files;
    int n = 0;
    for (const QString &time : inside + outside) {
        SampleSpec spec;
        spec.patientId = "P9";
        spec.studyUid = QString("1.2.9.9.%1").arg(++n);
        spec.elements["0008,0030"] = time;
        spec.elements["0008,0020"] = n <= 4 ? "20240116" : "20240115";
        files << sample(QString("t%1").arg(n), spec);
    }
    ASSERT_EQ(send(files).success, 22);
    auto studies = [&](const QStringList &keys) {
        const FindResult r = find("-S", QStringList{"QueryRetrieveLevel=STUDY", "PatientID=P9", "StudyTime"} + keys);
        return int(r.files.size());
    };
    EXPECT_EQ(studies({"StudyTime=080000-120000"}), 13) << m_controller->server().query().lastStatement().toStdString();
    EXPECT_EQ(studies({"StudyTime=120000-"}), 7) << "12:00:00 and everything after";
    EXPECT_EQ(studies({"StudyTime=-080000"}), 4) << "up to 08:00:00";
    EXPECT_EQ(studies({"StudyTime=101500"}), 2) << "a single time matches that time";
    EXPECT_EQ(studies({"StudyTime=10"}), 4) << "a time given to the hour covers the hour";
    EXPECT_EQ(studies({"StudyTime=0800-1159"}), 12) << "the end minute is included to its last second";
    // Date and time match independently of each other.
    EXPECT_EQ(studies({"StudyTime=080000-120000", "StudyDate=20240115"}), 9);
    // The answers carry the times the studies have.
    const FindResult r = find("-S", {"QueryRetrieveLevel=STUDY", "PatientID=P9", "StudyTime=113000-120000"});
    QStringList times = r.values(0x08, 0x30);
    times.sort();
    EXPECT_EQ(times, (QStringList{"113000", "115959", "120000"}));
}

TEST_F(QueryFixture, AnArchiveFromBeforeTheImageKeysGetsThemFromItsFiles)
{
    if (test::ServerDatabase::enabled())
        GTEST_SKIP() << "an embedded archive of the previous installation";
    SampleSpec frames;
    frames.kind = SampleKind::MultiFrame;
    frames.patientId = "P6";
    frames.studyUid = "1.2.9.6";
    frames.seriesUid = "1.2.9.6.1";
    frames.instanceUid = "1.2.9.6.1.1";
    frames.elements["0008,0021"] = "20240107";
    frames.elements["0018,0015"] = "KNEE";
    ASSERT_EQ(send({sample("frames", frames)}).success, 1);
    const QString missing = scalar("select Filename from ImageTable where InstanceUID='1.2.9.1.7.1.2'");
    const QString broken = scalar("select Filename from ImageTable where InstanceUID='1.2.9.3.9.1.1'");
    m_controller.reset();

    // The same rows in the archive of the previous installation, one file
    // gone, one damaged, one path in the form another installation wrote.
    const QString archive = scratch.path("archive.db");
    const QString previous = scratch.path("previous.db");
    QFile script(TALMIR_TEST_DATA_DIR "/archive-before-image-keys.sql");
    ASSERT_TRUE(script.open(QIODevice::ReadOnly));
    {
        db::SqliteBackend old;
        QString error;
        ASSERT_TRUE(old.openFile(previous, true, error)) << error.toStdString();
        ASSERT_TRUE(old.executeScript(
            QString::fromUtf8(script.readAll()) + "ATTACH DATABASE '" + archive + "' AS cur;"
                "INSERT INTO PatientTable SELECT * FROM cur.PatientTable;"
                "INSERT INTO StudyTable SELECT StudyUID, PatientID_FKey, StudyDate, StudyTime, AccessionNumber, StudyID, "
                "ReferringPhysician_first, ReferringPhysician_middle, ReferringPhysician_last, ReferringPhysician_title, "
                "StudyDescription, BodyPartExamined, ProtocolName, InstitutionName, SendStatus FROM cur.StudyTable;"
                "INSERT INTO SeriesTable SELECT SeriesUID, StudyUID_FKey, Modality, SeriesNumber, SeriesDescription FROM cur.SeriesTable;"
                "INSERT INTO ImageTable SELECT InstanceUID, SeriesUID_FKey, InstanceNumber, Filename, SyncStatus FROM cur.ImageTable;"
                "DETACH DATABASE cur;"
                "UPDATE ImageTable SET Filename = 'D:\\' || replace(substr(Filename, instr(Filename, 'IMAGES/')), '/', '\\')"
                "  WHERE InstanceUID = '1.2.9.4.6.1.1';",
            error))
            << error.toStdString();
        old.close();
    }
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(archive + suffix);
    ASSERT_TRUE(QFile::rename(previous, archive));
    ASSERT_TRUE(QFile::remove(missing));
    QFile damaged(broken);
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
    damaged.write("not a DICOM file");
    damaged.close();

    restart();
    ASSERT_TRUE(waitUntil([&] { return logText().contains("Image keys read from the files of"); }, 60000)) << logText().toStdString();
    EXPECT_TRUE(logText().contains("Reading the image keys of 8 archived images from their files."));
    EXPECT_TRUE(logText().contains("Image keys read from the files of 6 images, 2 files missing or unreadable."));
    EXPECT_TRUE(logText().contains("Stored file missing, image keys left empty: 1.2.9.1.7.1.2"));
    EXPECT_TRUE(logText().contains("Stored file not readable ("));
    EXPECT_FALSE(errors().contains("ImageKeysToRead")) << errors().toStdString();
    EXPECT_EQ(count("select count(*) from ImageKeysToRead"), 0);

    FindResult r = find("-S", {"QueryRetrieveLevel=IMAGE", "StudyInstanceUID=1.2.9.1", "SeriesInstanceUID=1.2.9.1.7.1",
                               "SOPInstanceUID", "SOPClassUID", "Rows"});
    ASSERT_EQ(r.files.size(), 2) << r.output.toStdString();
    EXPECT_EQ(r.values(0x08, 0x16), (QStringList{"1.2.840.10008.5.1.4.1.1.2", ""})) << "the second file is gone";
    EXPECT_EQ(r.value(0, 0x28, 0x10), "64");
    EXPECT_EQ(find("-S", {"QueryRetrieveLevel=IMAGE", "SOPInstanceUID=1.2.9.4.6.1.1", "SOPClassUID"}).value(0, 0x08, 0x16),
              "1.2.840.10008.5.1.4.1.1.2")
        << "read through the path of another installation";
    EXPECT_EQ(find("-S", {"QueryRetrieveLevel=IMAGE", "SOPInstanceUID=1.2.9.3.9.1.1", "SOPClassUID"}).value(0, 0x08, 0x16), "");
    r = find("-S", {"QueryRetrieveLevel=IMAGE", "SOPInstanceUID=1.2.9.6.1.1", "NumberOfFrames"});
    EXPECT_EQ(r.value(0, 0x28, 0x08), "4");
    r = find("-S", {"QueryRetrieveLevel=SERIES", "SeriesInstanceUID=1.2.9.6.1", "SeriesDate", "BodyPartExamined"});
    EXPECT_EQ(r.value(0, 0x08, 0x21), "20240107");
    EXPECT_EQ(r.value(0, 0x18, 0x15), "KNEE");

    // Done once: the next start reads nothing.
    restart();
    QCoreApplication::processEvents();
    EXPECT_FALSE(logText().contains("Reading the image keys")) << logText().toStdString();
}

TEST_F(QueryFixture, InstanceUidsDifferingOnlyInLetterCaseAreTwoInstances)
{
    // Malformed, but sent by real modalities: UIDs are case-sensitive texts.
    QStringList files;
    for (const char *uid : {"1.2.999.ab", "1.2.999.AB"}) {
        SampleSpec spec;
        spec.patientId = "P5";
        spec.studyUid = "1.2.9.5";
        spec.seriesUid = "1.2.9.5.1";
        spec.instanceUid = uid;
        files << sample(uid, spec);
    }
    ASSERT_EQ(send({files[0]}).success, 1);
    ASSERT_EQ(send({files[1]}).success, 1) << "taken for a duplicate of the lower-case one";
    EXPECT_EQ(count("select count(*) from ImageTable where SeriesUID_FKey='1.2.9.5.1'"), 2);
    const QString lower = scalar("select Filename from ImageTable where InstanceUID='1.2.999.ab'");
    const QString upper = scalar("select Filename from ImageTable where InstanceUID='1.2.999.AB'");
    EXPECT_NE(lower, upper);
    EXPECT_EQ(fileElement(lower, 0x08, 0x18), "1.2.999.ab");
    EXPECT_EQ(fileElement(upper, 0x08, 0x18), "1.2.999.AB");

    int n = 0;
    for (const char *uid : {"1.2.999.ab", "1.2.999.AB"}) {
        SCOPED_TRACE(uid);
        const FindResult found = find("-S", {"QueryRetrieveLevel=IMAGE", "StudyInstanceUID=1.2.9.5", "SeriesInstanceUID=1.2.9.5.1",
                                             QString("SOPInstanceUID=") + uid});
        EXPECT_EQ(found.values(0x08, 0x18), QStringList{uid}) << found.output.toStdString();

        const QString dir = scratch.path(QString("case%1").arg(++n));
        QDir().mkpath(dir);
        const ToolResult get = runTool("getscu", {"-S", "-aec", "TALMIR", "-od", dir, "-k", "QueryRetrieveLevel=IMAGE", "-k",
                                                  "StudyInstanceUID=1.2.9.5", "-k", "SeriesInstanceUID=1.2.9.5.1", "-k",
                                                  QString("SOPInstanceUID=") + uid, "127.0.0.1", QString::number(port())},
                                       60000);
        EXPECT_EQ(get.exitCode, 0) << get.output.toStdString();
        const QStringList got = QDir(dir).entryList(QDir::Files);
        ASSERT_EQ(got.size(), 1);
        EXPECT_EQ(fileElement(dir + "/" + got[0], 0x08, 0x18), uid);
    }
}
