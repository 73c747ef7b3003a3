// A destination the operator adds to the remote AE list is a C-MOVE
// destination at once: no restart, no cache in between.
#include "tests/dicom/ReceptionFixture.h"
#include "tests/support/Peers.h"
#include "tools/BrowseTableModel.h"
#include "tools/HostFramework.h"
#include "tools/RemoteAets.h"

using namespace pacs;
using namespace pacs::test;

namespace {

ToolResult move(int port, const QString &destination, const QString &studyUid)
{
    return runTool("movescu", {"-S", "-aec", "TALMIR", "-aem", destination, "-k", "QueryRetrieveLevel=STUDY", "-k",
                               "StudyInstanceUID=" + studyUid, "127.0.0.1", QString::number(port)},
                   60000);
}

class RemoteAetMoveFixture : public ReceptionFixture
{
protected:
    void SetUp() override
    {
        ReceptionFixture::SetUp();
        start();
        SampleSpec spec;
        spec.patientId = "P1";
        spec.studyUid = "1.2.826.0.1.3680043.9.7002.1";
        ASSERT_EQ(send({sample("a.dcm", spec)}).success, 1);
    }
};

TEST_F(RemoteAetMoveFixture, AnAddedDestinationReceivesTheNextMove)
{
    StoreScpProcess destination(scratch.path("dest"), "NEWDEST");
    ASSERT_TRUE(destination.isReady());
    // Unknown so far.
    move(port(), "NEWDEST", "1.2.826.0.1.3680043.9.7002.1");
    EXPECT_TRUE(logText().contains("Unknown Move Destination: NEWDEST"));
    EXPECT_EQ(destination.receivedFiles().size(), 0);

    tools::HostFramework &host = m_controller->host();
    tools::BrowseSettings settings;
    QObject::connect(&host, &tools::HostFramework::browseRequested, [&](const tools::BrowseSettings &s) { settings = s; });
    QString error;
    ASSERT_TRUE(tools::RemoteAets(host).cmdRemoteAET(nullptr, error)) << error.toStdString();
    auto model = host.createModel(settings);
    ASSERT_TRUE(model->load(error)) << error.toStdString();
    ASSERT_EQ(model->addRow({"NEWDEST", "127.0.0.1", QString::number(destination.port())}), "");

    const ToolResult moved = move(port(), "NEWDEST", "1.2.826.0.1.3680043.9.7002.1");
    EXPECT_EQ(moved.exitCode, 0) << moved.output.toStdString();
    EXPECT_TRUE(waitUntil([&] { return destination.receivedFiles().size() == 1; }, 20000));

    // Deleted: refused again from the next request on.
    ASSERT_EQ(model->deleteRow(model->rowOfKey("NEWDEST")), "");
    move(port(), "NEWDEST", "1.2.826.0.1.3680043.9.7002.1");
    EXPECT_EQ(logText().count("Unknown Move Destination: NEWDEST"), 2);
    EXPECT_EQ(destination.receivedFiles().size(), 1);
}

class RemoteAetCommandFixture : public ::testing::Test
{
protected:
    ToolResult command(const QStringList &arguments)
    {
        return runTool(QStringLiteral(TALMIR_PACS_BINARY), QStringList{"--home", scratch.home()} + arguments, 60000);
    }
    ScratchHome scratch;
    ServerProcess server{scratch};
};

TEST_F(RemoteAetCommandFixture, TheRunningServerMovesToADestinationAddedOnTheCommandLine)
{
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.waitForOutput("Archive ready")) << server.output().toStdString();
    QTemporaryDir files;
    SampleSpec spec;
    spec.patientId = "P7";
    spec.studyUid = "1.2.826.0.1.3680043.9.7002.7";
    ASSERT_FALSE(writeSample(files.path() + "/a.dcm", spec).isEmpty());
    const ToolResult stored = runTool("storescu", {"-aec", "TALMIR", "127.0.0.1", QString::number(server.port()), files.path() + "/a.dcm"});
    ASSERT_EQ(stored.exitCode, 0) << stored.output.toStdString();

    StoreScpProcess destination(scratch.path("dest"), "CLIDEST");
    ASSERT_TRUE(destination.isReady());
    ToolResult added = command({"remote-aet", "add", "CLIDEST", "127.0.0.1", QString::number(destination.port())});
    EXPECT_EQ(added.exitCode, 0) << added.output.toStdString();
    EXPECT_TRUE(added.output.contains("Added CLIDEST.")) << added.output.toStdString();
    added = command({"remote-aet", "add", "CLIDEST", "127.0.0.1", "104"});
    EXPECT_EQ(added.exitCode, 1);
    EXPECT_TRUE(added.output.contains("RemoteAET CLIDEST exists already.")) << added.output.toStdString();
    EXPECT_EQ(command({"remote-aet", "add", "BAD", "127.0.0.1", "http"}).exitCode, 1);
    EXPECT_EQ(command({"remote-aet", "add", "ONLYTWO", "127.0.0.1"}).exitCode, 2);

    const ToolResult listed = command({"remote-aet", "list"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(listed.output.startsWith("RemoteAET\tIPAddress\tPort\n")) << listed.output.toStdString();
    EXPECT_TRUE(listed.output.contains(QString("CLIDEST\t127.0.0.1\t%1\n").arg(destination.port())));
    EXPECT_TRUE(listed.output.contains("1 rows"));

    // The images are indexed once the server has written them.
    ToolResult moved;
    ASSERT_TRUE(waitUntil([&] {
        moved = move(server.port(), "CLIDEST", spec.studyUid);
        return destination.receivedFiles().size() == 1;
    }, 30000)) << moved.output.toStdString() << server.output().toStdString();
    EXPECT_EQ(moved.exitCode, 0) << moved.output.toStdString();

    const ToolResult deleted = command({"remote-aet", "delete", "clidest"});
    EXPECT_EQ(deleted.exitCode, 0) << deleted.output.toStdString();
    EXPECT_EQ(command({"remote-aet", "delete", "CLIDEST"}).exitCode, 1);
    EXPECT_TRUE(command({"remote-aet", "list"}).output.contains("0 rows"));
}

TEST_F(RemoteAetCommandFixture, DefaultListViewsAndTheReferenceListsWithoutAWindow)
{
    ToolResult views = command({"default-list-views"});
    EXPECT_EQ(views.exitCode, 0) << views.output.toStdString();
    EXPECT_EQ(views.output.count("View Created"), 3);
    EXPECT_TRUE(views.output.contains("Done default list."));
    views = command({"default-list-views", "REMOTEAET"});
    EXPECT_EQ(views.exitCode, 0) << views.output.toStdString();
    EXPECT_EQ(views.output.count("View Created"), 1);

    const ToolResult init = command({"init-vorn"});
    EXPECT_EQ(init.exitCode, 0) << init.output.toStdString();
    EXPECT_TRUE(init.output.contains("Conversion complete."));
    EXPECT_TRUE(init.output.contains("Table created: DICOM..ROZAZIZERARARIZAZ_TableName"));
    EXPECT_EQ(init.output.count("View Created"), 0); // the module has list views already

    ToolResult his = command({"reference-list", "his-patients", "", "SM"});
    EXPECT_EQ(his.exitCode, 0) << his.output.toStdString();
    EXPECT_TRUE(his.output.startsWith("HospNum\tLastName\tFirstName\tMiddleName\tSex\tBirthDate\n")) << his.output.toStdString();
    EXPECT_TRUE(his.output.contains("P001\tSMITH\tJOHN"));
    EXPECT_TRUE(his.output.contains("1 rows"));
    const ToolResult doctors = command({"reference-list", "doctors"});
    EXPECT_EQ(doctors.exitCode, 0) << doctors.output.toStdString();
    EXPECT_TRUE(doctors.output.contains("D002\tGREY"));
    EXPECT_EQ(command({"reference-list", "nurses"}).exitCode, 2);
}

} // namespace
