// The operator's commands without a window, run as an administrator would:
// the program with a command line, against the archive a running server fills.
#include "tests/support/SampleImages.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace pacs::test;

namespace {

class OperatorCommandsFixture : public ::testing::Test
{
protected:
    // The commands run the outbox with its test tick instead of 3 seconds.
    void SetUp() override { qputenv("TALMIR_OUTBOX_TICK_MS", "100"); }
    void TearDown() override { qunsetenv("TALMIR_OUTBOX_TICK_MS"); }

    ToolResult command(const QStringList &arguments)
    {
        return runTool(QStringLiteral(TALMIR_PACS_BINARY), QStringList{"--home", scratch.home()} + arguments, 60000);
    }

    QString sample(const QString &name, SampleSpec spec)
    {
        const QString path = files.path() + "/" + name;
        const QString uid = writeSample(path, spec);
        EXPECT_FALSE(uid.isEmpty());
        const ToolResult sent = runTool("storescu", {"-aec", "TALMIR", "127.0.0.1", QString::number(server.port()), path});
        EXPECT_EQ(sent.exitCode, 0) << sent.output.toStdString();
        return uid;
    }

    ScratchHome scratch;
    QTemporaryDir files;
    ServerProcess server{scratch};
};

TEST_F(OperatorCommandsFixture, BrowseReportMarkAndSendThroughTheCommandLine)
{
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.waitForOutput("Archive ready")) << server.output().toStdString();
    ASSERT_GT(server.port(), 0);

    SampleSpec smith;
    smith.patientId = "P1";
    smith.patientName = "SMITH^JOHN";
    smith.studyUid = "1.2.826.0.1.3680043.9.7001.1";
    smith.seriesUid = smith.studyUid + ".1";
    const QString first = sample("a.dcm", smith);
    smith.instanceNumber = 2;
    sample("b.dcm", smith);
    SampleSpec small;
    small.kind = SampleKind::MR;
    small.patientId = "P2";
    small.patientName = "SMALL^ANNA";
    small.studyUid = "1.2.826.0.1.3680043.9.7001.2";
    sample("c.dcm", small);

    // The images are indexed once the server has written them.
    ToolResult listed;
    ASSERT_TRUE(waitUntil([&] {
        listed = command({"images", smith.seriesUid});
        return listed.output.count("\n") >= 3;
    }, 30000)) << listed.output.toStdString();
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(listed.output.contains(first));

    ToolResult search = command({"search", "--last", "SM"});
    EXPECT_EQ(search.exitCode, 0) << search.output.toStdString();
    EXPECT_TRUE(search.output.startsWith("Status\tALLStatus\tExam No.\tStudy UID")) << search.output.toStdString();
    EXPECT_TRUE(search.output.contains(smith.studyUid));
    EXPECT_TRUE(search.output.contains(small.studyUid));
    EXPECT_TRUE(search.output.contains("2 studies"));
    search = command({"search", "--modality", "MR"});
    EXPECT_TRUE(search.output.contains(small.studyUid) && !search.output.contains(smith.studyUid)) << search.output.toStdString();
    EXPECT_TRUE(search.output.contains("1 studies"));

    const ToolResult series = command({"series", smith.studyUid});
    EXPECT_EQ(series.exitCode, 0);
    EXPECT_TRUE(series.output.contains(smith.seriesUid)) << series.output.toStdString();

    const ToolResult attributes = command({"attributes", first});
    EXPECT_EQ(attributes.exitCode, 0) << attributes.output.toStdString();
    EXPECT_TRUE(attributes.output.contains("(0010,0010) : PatientName                   : SMITH^JOHN\r\n"))
        << attributes.output.toStdString();
    EXPECT_TRUE(attributes.output.contains(") : PixelData                     : Pixel data"));

    ToolResult report = command({"send-count"});
    EXPECT_EQ(report.exitCode, 0);
    EXPECT_TRUE(report.output.contains("Patients with unsent images:")) << report.output.toStdString();
    EXPECT_TRUE(report.output.contains("P1 SMITH, JOHN"));
    EXPECT_TRUE(report.output.contains("Total Studies Unsent: 2"));
    EXPECT_TRUE(report.output.contains("Total Images: 0/3"));

    const ToolResult marked = command({"mark-sent", "--patient-id", "P1"});
    EXPECT_EQ(marked.exitCode, 0) << marked.output.toStdString();
    EXPECT_TRUE(marked.output.contains("1 of 1 listed studies marked as sent."));
    report = command({"send-count"});
    EXPECT_TRUE(report.output.contains("Total Studies Sent: 1")) << report.output.toStdString();
    EXPECT_TRUE(report.output.contains("Total Images: 2/3"));
    EXPECT_FALSE(report.output.contains("P1 SMITH, JOHN"));
    search = command({"search", "--patient-id", "P1"});
    EXPECT_TRUE(search.output.contains("\t1\t")) << "SendStatus shows the study as sent: " << search.output.toStdString();

    // "Send Selected" for the listed study, to a real storage node.
    QTemporaryDir nodeFolder;
    StoreScpProcess node(nodeFolder.path(), "NODE");
    ASSERT_TRUE(node.isReady());
    server.setSetting("SERVER", "StorageAE", "NODE");
    server.setSetting("SERVER", "StoragePort", QString::number(node.port()));
    server.setSetting("SERVER", "txtSendTO", "127.0.0.1");
    const ToolResult sent = command({"send-studies", "--patient-id", "P2", "--timeout", "60"});
    EXPECT_EQ(sent.exitCode, 0) << sent.output.toStdString();
    EXPECT_TRUE(sent.output.contains("1 studies queued.")) << sent.output.toStdString();
    EXPECT_EQ(node.receivedFiles().size(), 1);
    report = command({"send-count"});
    EXPECT_TRUE(report.output.contains("Total Images: 3/3")) << report.output.toStdString();
}

TEST_F(OperatorCommandsFixture, BadInputGetsAClearMessageAndAnExitCode)
{
    ToolResult result = command({"search", "--date", "13/45/2024"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(result.output.contains("Not a date (M/D/YYYY): 13/45/2024")) << result.output.toStdString();
    result = command({"search", "--colour", "red"});
    EXPECT_EQ(result.exitCode, 2);
    result = command({"attributes", "9.9.9"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.output.contains("No image 9.9.9 in the archive.")) << result.output.toStdString();
    result = command({"frobnicate"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(result.output.contains("Unknown command frobnicate"));
    // An apostrophe is part of the name searched for.
    result = command({"search", "--last", "O'BRIEN"});
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
    EXPECT_TRUE(result.output.contains("0 studies")) << result.output.toStdString();
}

TEST_F(OperatorCommandsFixture, PatientAndStudyCorrectionsThroughTheCommandLine)
{
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.waitForOutput("Archive ready")) << server.output().toStdString();
    ASSERT_GT(server.port(), 0);

    SampleSpec smith;
    smith.patientId = "P1";
    smith.patientName = "SMITH^JOHN";
    QStringList studies;
    for (int i = 1; i <= 3; ++i) {
        smith.studyUid = QString("1.2.826.0.1.3680043.9.7002.%1").arg(i);
        smith.seriesUid = smith.studyUid + ".1";
        sample(QString("s%1.dcm").arg(i), smith);
        studies << smith.studyUid;
    }
    SampleSpec small;
    small.patientId = "P2";
    small.patientName = "SMALL^ANNA";
    sample("other.dcm", small);
    ToolResult search;
    ASSERT_TRUE(waitUntil([&] {
        search = command({"search", "--patient-id", "P1"});
        return search.output.contains("3 studies");
    }, 30000)) << search.output.toStdString();

    ToolResult result = command({"change-patient-id", "P1", "P2"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.output.contains("PATIENT ID in use.")) << result.output.toStdString();
    result = command({"change-patient-id", "P1", "P9"});
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
    EXPECT_TRUE(result.output.contains("DONE."));
    search = command({"search", "--patient-id", "P9"});
    EXPECT_TRUE(search.output.contains("3 studies")) << search.output.toStdString();
    for (const QString &uid : studies)
        EXPECT_TRUE(search.output.contains(uid));
    EXPECT_TRUE(command({"search", "--patient-id", "P1"}).output.contains("0 studies"));

    // A viewing station asking by the new identifier finds all three, by the old one none.
    auto find = [&](const QString &patientId) {
        QTemporaryDir out;
        const ToolResult r = runTool("findscu", {"-S", "-aec", "TALMIR", "-k", "QueryRetrieveLevel=STUDY", "-k",
                                                 "PatientID=" + patientId, "-k", "StudyInstanceUID", "-X", "-od",
                                                 out.path(), "127.0.0.1", QString::number(server.port())});
        EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
        return QDir(out.path()).entryList(QDir::Files).size();
    };
    EXPECT_EQ(find("P9"), 3);
    EXPECT_EQ(find("P1"), 0);

    result = command({"update-study", studies[1], "--date", "2/29/2024", "--time", "13:45:00", "--description", "O'NEIL"});
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
    search = command({"search", "--date", "2/29/2024"});
    EXPECT_TRUE(search.output.contains(studies[1]) && search.output.contains("1 studies")) << search.output.toStdString();
    EXPECT_TRUE(search.output.contains("\tO'NEIL\t"));

    result = command({"update-patient", "P9", "--last", "O'BRIEN"});
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
    search = command({"search", "--last", "O'BR"});
    EXPECT_TRUE(search.output.contains("3 studies") && search.output.contains("\tJOHN\t")) << search.output.toStdString();

    result = command({"new-patient", "P9", "--last", "X", "--first", "Y"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.output.contains("Patient exists already.")) << result.output.toStdString();
    result = command({"new-study", "P2", "--date", "3/1/2024", "--time", "07:05:09"});
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
    search = command({"search", "--date", "3/1/2024"});
    EXPECT_TRUE(search.output.contains("1 studies") && search.output.contains("\tP2\t")) << search.output.toStdString();
    result = command({"update-study", "9.9.9", "--date", "1/1/2024"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.output.contains("Study  not found.")) << result.output.toStdString();
    EXPECT_EQ(command({"update-study", studies[0], "--date", "13/45/2024"}).exitCode, 2);
}

} // namespace

TEST_F(OperatorCommandsFixture, MaintenanceCommandsMoveEditAndDeleteThroughTheCommandLine)
{
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.waitForOutput("Archive ready")) << server.output().toStdString();
    SampleSpec spec;
    spec.patientId = "P9";
    spec.studyUid = "1.2.826.0.1.3680043.9.7002.1";
    spec.seriesUid = spec.studyUid + ".1";
    const QString first = sample("a.dcm", spec);
    spec.seriesUid = spec.studyUid + ".2";
    spec.seriesNumber = 2;
    sample("b.dcm", spec);
    ToolResult listed;
    ASSERT_TRUE(waitUntil([&] {
        listed = command({"series", spec.studyUid});
        return listed.output.count("\n") >= 3;
    }, 30000)) << listed.output.toStdString();

    ToolResult result = command({"move-image", first, spec.studyUid + ".2"});
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
    EXPECT_TRUE(result.output.contains("DONE."));
    listed = command({"images", spec.studyUid + ".2"});
    EXPECT_EQ(listed.output.count("\n"), 3) << listed.output.toStdString();
    result = command({"move-image", "9.9.9", spec.studyUid + ".2"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.output.contains("SeriesUID UID not Found")) << result.output.toStdString();

    result = command({"edit-header", first, "--patient-name", "O'HARA^KATE", "--accession", "A9"});
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
    result = command({"attributes", first});
    EXPECT_TRUE(result.output.contains(": PatientName                   : O'HARA^KATE\r\n")) << result.output.toStdString();
    const QString storedFile = listed.output.split('\n').value(1).split('\t').value(3);
    ASSERT_TRUE(QFileInfo::exists(storedFile)) << listed.output.toStdString();

    result = command({"delete-study", spec.studyUid});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.output.contains("Delete Study " + spec.studyUid + "?")) << result.output.toStdString();
    EXPECT_TRUE(QFileInfo::exists(storedFile));
    result = command({"delete-study", spec.studyUid, "--yes"});
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
    EXPECT_TRUE(result.output.contains("Done."));
    EXPECT_FALSE(QFileInfo::exists(storedFile));
    listed = command({"series", spec.studyUid});
    EXPECT_EQ(listed.output.count("\n"), 1) << "the header only: " << listed.output.toStdString();
    EXPECT_TRUE(command({"search", "--patient-id", "P9"}).output.contains("0 studies"));
}

TEST(InstallServiceCommand, WritesTheUnitIntoTheGivenFolderAndSaysHowToEnableIt)
{
    ScratchHome scratch;
    QTemporaryDir units;
    const QString binary = QStringLiteral(TALMIR_PACS_BINARY);
    const ToolResult done = runTool(binary, {"--home", scratch.home(), "install-service", "--unit-dir", units.path()});
    EXPECT_EQ(done.exitCode, 0) << done.output.toStdString();
    const QString unitPath = units.filePath("talmir-pacs.service");
    EXPECT_TRUE(done.output.startsWith("Wrote " + unitPath + "\nThe service runs: " + binary + " --home " + scratch.home()))
        << done.output.toStdString();
    EXPECT_TRUE(done.output.contains("copy it to /etc/systemd/system")) << done.output.toStdString();
    QFile unit(unitPath);
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(unit.readAll()).contains("\nExecStart=\"" + binary + "\" --home \"" + scratch.home() + "\"\n"));
    EXPECT_FALSE(QFileInfo::exists(scratch.path("archive.db"))) << "the command opens no archive";

    const ToolResult wrong = runTool(binary, {"--home", scratch.home(), "install-service", "--now"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_TRUE(wrong.output.contains("Usage: install-service [--unit-dir DIR]"));
}
