// The folder tools without a window, run as an administrator would: the
// program with a command line, on the archive a running server fills.
#include "tests/support/SampleImages.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace pacs::test;

namespace {

class FolderToolCommands : public ::testing::Test
{
protected:
    ToolResult command(const QStringList &arguments)
    {
        return runTool(QStringLiteral(TALMIR_PACS_BINARY), QStringList{"--home", scratch.home()} + arguments, 60000);
    }

    QString sample(const QString &name, const QString &id, const QString &patientName)
    {
        SampleSpec spec;
        spec.patientId = id;
        spec.patientName = patientName;
        const QString path = files.path() + "/" + name;
        QDir().mkpath(QFileInfo(path).path());
        EXPECT_FALSE(writeSample(path, spec).isEmpty());
        return path;
    }

    ScratchHome scratch;
    QTemporaryDir files;
};

} // namespace

TEST_F(FolderToolCommands, CheckNamesPrintsTheReport)
{
    ToolResult made = command({"new-patient", "P1", "--last", "DOE", "--first", "JOHN"});
    ASSERT_EQ(made.exitCode, 0) << made.output.toStdString();
    made = command({"new-patient", "P'2", "--last", "Roe", "--first", "JANE"});
    ASSERT_EQ(made.exitCode, 0) << made.output.toStdString();
    sample("x/1.dcm", "P1", "DOE^JOHN");
    sample("2.dcm", "P'2", "ROE^JANE");
    sample("3.dcm", "P3", "NEW^ONE");

    ToolResult checked = command({"check-names", files.path()});
    EXPECT_EQ(checked.exitCode, 0) << checked.output.toStdString();
    EXPECT_EQ(checked.output, "match DB:DOE for P1 \nMismatch DB: Roe image:ROE for P'2 \nPatient not Found. P3 NEW^ONE\nDONE.\n");

    checked = command({"check-names", files.path() + "/none"});
    EXPECT_EQ(checked.exitCode, 1);
    EXPECT_TRUE(checked.output.contains("Path not found: " + files.path() + "/none\nDONE.")) << checked.output.toStdString();

    EXPECT_EQ(command({"check-names", "--transmitt"}).exitCode, 2);
    const ToolResult help = command({"help"});
    EXPECT_TRUE(help.output.contains("check-names [DIR] [--transmit]")) << help.output.toStdString();
    EXPECT_TRUE(help.output.contains("transmit DIR [--ext DCM]"));
}

TEST_F(FolderToolCommands, TransmitImportsAFolderIntoTheRunningServer)
{
    ServerProcess server(scratch);
    ASSERT_TRUE(server.start());
    const int port = server.port();
    ASSERT_GT(port, 0) << server.output().toStdString();
    ASSERT_TRUE(server.waitForOutput("Archive ready"));
    server.setSetting("SERVER", "StorageNode", "localhost");
    server.setSetting("SERVER", "StoragePort", QString::number(port));
    server.setSetting("SERVER", "StorageAE", "TALMIR");
    const QString a = sample("in/a.dcm", "P41", "IMPORT^ONE");
    const QString b = sample("in/b.dcm", "P41", "IMPORT^ONE");
    const QString c = sample("in/c.dcm", "P42", "IMPORT^TWO");

    const ToolResult sent = command({"transmit", files.path() + "/in"});
    EXPECT_EQ(sent.exitCode, 0) << sent.output.toStdString();
    EXPECT_EQ(sent.output, "starting\n" + a + "\nsending...\n" + b + "\nsending...\n" + c + "\nsending...\ndone\n");
    // The server indexed them: the study list shows each image's study.
    ToolResult listed;
    EXPECT_TRUE(waitUntil([&] {
        listed = command({"search", "--last", "IMPORT"});
        return listed.output.contains("3 studies");
    }, 30000)) << listed.output.toStdString();
    EXPECT_EQ(listed.output.count("\tP41\tIMPORT\tONE\t"), 2) << listed.output.toStdString();
    EXPECT_EQ(listed.output.count("\tP42\tIMPORT\tTWO\t"), 1);

    // Files of another extension only with --ext.
    const QString other = files.path() + "/in/d.img";
    ASSERT_TRUE(QFile::copy(a, other));
    const ToolResult byExtension = command({"transmit", files.path() + "/in", "--ext", "IMG"});
    EXPECT_EQ(byExtension.exitCode, 0) << byExtension.output.toStdString();
    EXPECT_EQ(byExtension.output, "starting\n" + other + "\nsending...\ndone\n");

    server.setSetting("SERVER", "StoragePort", "x1");
    const ToolResult failed = command({"transmit", files.path() + "/in"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_TRUE(failed.output.contains("sending...\nType mismatch")) << failed.output.toStdString();
    EXPECT_FALSE(failed.output.contains("done"));
    const ToolResult missing = command({"transmit", files.path() + "/gone"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.output.contains("Path not found")) << missing.output.toStdString();
    EXPECT_EQ(command({"transmit"}).exitCode, 2);
}
