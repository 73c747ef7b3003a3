// "Folder Transmit" to the real server (an import into its archive) and to
// real storage nodes, and the runs that fail.
#include "tests/support/Peers.h"
#include "tests/support/ServerProcess.h"
#include "tests/tools/ToolsFixture.h"
#include "tools/FolderTransmit.h"

#include <QDirIterator>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;
using pacs::tools::FolderTransmit;

namespace {

class Transmit : public ToolsFixture
{
protected:
    FolderTransmit run{options};
};

QStringList dcmFilesBelow(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, {"*.dcm"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

} // namespace

TEST_F(Transmit, AFolderSentToTheServerItselfIsImported)
{
    ScratchHome serverHome;
    ServerProcess server(serverHome);
    ASSERT_TRUE(server.start());
    const int port = server.port();
    ASSERT_GT(port, 0) << server.output().toStdString();
    ASSERT_TRUE(server.waitForOutput("Archive ready")) << server.output().toStdString();

    options.setStorageNode("localhost"); // the setting's usual value for an import
    options.setStoragePort(QString::number(port));
    options.setStorageAE("TALMIR");
    const QString a = image("in/a.dcm", "P21", "IMPORT^ONE");
    const QString b = image("in/b.DCM", "P21", "IMPORT^ONE");
    const QString c = image("in/c.Dcm", "P22", "IMPORT^TWO");
    image("in/deeper/d.dcm", "P23", "NOT^SENT"); // only the folder itself is read
    junk("in/readme.txt");

    ASSERT_TRUE(run.Transmit(files.path() + "/in", "DCM")) << run.errorMessage().toStdString();
    const QString folder = files.path() + "/in/";
    EXPECT_EQ(run.progress(), "\r\nstarting\r\n" + folder + "a.dcm\r\nsending...\r\n" + folder + "b.DCM\r\nsending...\r\n" + folder
                                  + "c.Dcm\r\nsending...\r\ndone");
    EXPECT_EQ(run.imagesSent(), 3);

    // The server indexed them and wrote their files under its storage root.
    HomeFolder serverFolder(serverHome.home());
    ActivityLog serverLog;
    db::ArchiveConnection archive(serverFolder, serverLog);
    archive.ConnectDB();
    ASSERT_TRUE(archive.DBConnected()) << serverLog.errorText().toStdString();
    auto count = [&](const QString &sql) {
        db::ResultSet rows = archive.ExecuteSQL(sql);
        return rows.atEnd() ? -1 : rows.text(0).toInt();
    };
    EXPECT_TRUE(waitUntil([&] { return count("select count(*) from ImageTable") == 3; }, 20000)) << server.output().toStdString();
    EXPECT_EQ(count("select count(*) from PatientTable where PatientID in ('P21', 'P22')"), 2);
    EXPECT_EQ(count("select count(*) from PatientTable where PatientID = 'P23'"), 0);
    EXPECT_TRUE(waitUntil([&] { return dcmFilesBelow(serverHome.path("IMAGES")).size() == 3; }, 20000));
}

TEST_F(Transmit, AnEmptyFolderStartsAndIsDone)
{
    junk("other.txt");
    ASSERT_TRUE(run.Transmit(files.path(), "DCM"));
    EXPECT_EQ(run.progress(), "\r\nstarting\r\ndone");
    EXPECT_EQ(run.imagesSent(), 0);
}

TEST_F(Transmit, EveryFailureEndsTheRunWithItsDescription)
{
    // A folder that is not there: nothing starts.
    EXPECT_FALSE(run.Transmit(files.path() + "/gone", "DCM"));
    EXPECT_EQ(run.errorMessage(), "Path not found: " + files.path() + "/gone/");
    EXPECT_EQ(run.progress(), "");

    // A port setting that is no number stops at the first file, after "sending...".
    const QString one = image("one/1.dcm", "P1", "DOE^JOHN");
    image("one/2.dcm", "P1", "DOE^JOHN");
    options.setStorageNode("127.0.0.1");
    options.setStoragePort("ten");
    EXPECT_FALSE(run.Transmit(files.path() + "/one", "dcm"));
    EXPECT_TRUE(run.errorMessage().startsWith("Type mismatch")) << run.errorMessage().toStdString();
    EXPECT_TRUE(run.progress().endsWith("\r\nstarting\r\n" + one + "\r\nsending...")) << run.progress().toStdString();
    EXPECT_FALSE(run.isRunning());

    // A node that is down.
    HeldPort down;
    ASSERT_TRUE(down.isHeld());
    pointStorageNodeAt(down.port(), "NODE");
    EXPECT_FALSE(run.Transmit(files.path() + "/one", "dcm"));
    EXPECT_FALSE(run.errorMessage().isEmpty());
    EXPECT_FALSE(run.progress().endsWith("done"));

    // A file that is no image.
    const QString broken = junk("two/0.dcm");
    image("two/1.dcm", "P2", "ROE^JANE");
    QTemporaryDir received;
    StoreScpProcess node(received.path(), "NODE");
    ASSERT_TRUE(node.isReady());
    pointStorageNodeAt(node.port(), "NODE");
    EXPECT_FALSE(run.Transmit(files.path() + "/two", "dcm"));
    EXPECT_TRUE(run.errorMessage().contains(broken)) << run.errorMessage().toStdString();
    EXPECT_TRUE(node.receivedFiles().isEmpty());

    // After the failures the next run sends its own files only, as the server's own AE title.
    options.setAeName("IMPORTER");
    ASSERT_TRUE(run.Transmit(files.path() + "/one", "dcm")) << run.errorMessage().toStdString();
    ASSERT_TRUE(waitUntil([&] { return node.receivedFiles().size() == 2; }, 20000)) << node.output().toStdString();
    for (const QString &file : node.receivedFiles()) {
        EXPECT_EQ(fileElement(file, 0x0010, 0x0010), "DOE^JOHN");
        EXPECT_EQ(sourceAeTitle(file), "IMPORTER");
    }
}
