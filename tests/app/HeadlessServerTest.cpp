#include "core/HomeFolder.h"
#include "db/ArchiveInstaller.h"
#include "tests/support/ServerDatabase.h"
#include "tests/support/SampleImages.h"
#include "tests/support/ServerProcess.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace pacs;
using namespace pacs::test;

namespace {

ToolResult echo(int port, const QString &called = "TALMIR")
{
    return runTool("echoscu", {"-aec", called, "127.0.0.1", QString::number(port)});
}

} // namespace

TEST(HeadlessServer, AnswersEchoAlsoWhileTheDatabaseIsGone)
{
    if (test::ServerDatabase::enabled())
        GTEST_SKIP() << "the embedded archive's file removed";
    ScratchHome scratch;
    ServerProcess server(scratch);
    ASSERT_TRUE(server.start());
    const int port = server.port();
    ASSERT_GT(port, 0) << server.output().toStdString();
    ASSERT_TRUE(server.waitForOutput("Archive ready: " + scratch.home()));

    ToolResult result = echo(port);
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
    EXPECT_TRUE(server.waitForOutput("Association request from ECHOSCU to TALMIR")) << server.output().toStdString();

    // Any called title is accepted.
    EXPECT_EQ(echo(port, "ANYONE").exitCode, 0);

    ASSERT_TRUE(QFile::remove(scratch.path("archive.db")));
    result = echo(port);
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
    EXPECT_TRUE(server.isRunning());
}

TEST(HeadlessServer, ASecondServerOnTheSamePortReportsItAndKeepsRunning)
{
    ScratchHome first;
    ServerProcess one(first);
    ASSERT_TRUE(one.start());
    const int port = one.port();
    ASSERT_GT(port, 0);

    ScratchHome second;
    ServerProcess two(second);
    two.setSetting("SERVER", "PORT", QString::number(port));
    ASSERT_TRUE(two.start());
    EXPECT_TRUE(two.waitForOutput("Failed to Listen on Port " + QString::number(port))) << two.output().toStdString();
    EXPECT_TRUE(two.waitForOutput("Archive ready"));
    EXPECT_TRUE(two.isRunning());
    EXPECT_EQ(echo(port).exitCode, 0);
}

TEST(HeadlessServer, CommandLineOneStartsWithoutListening)
{
    ScratchHome scratch;
    ServerProcess server(scratch);
    server.setSetting("SERVER", "chkSendEveryMin", "1");
    ASSERT_TRUE(server.start({"1"}));
    ASSERT_TRUE(server.waitForOutput("Archive ready"));
    EXPECT_FALSE(server.output().contains("Listened succesfully")) << server.output().toStdString();
    EXPECT_FALSE(server.output().contains("Listening on port"));
}

TEST(HeadlessServer, WaitsForTheDatabaseAndRetriesUntilItIsThere)
{
    ScratchHome scratch;
    scratch.writeFile("DBServer.txt", "Driver=SQLite;Database=archive.db;Attach=Patient_Data.db\n");
    ServerProcess server(scratch);
    server.setEnvironment("TALMIR_DB_RETRY_MS", "300");
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(waitUntil([&] { return server.output().count("Connecting to DB...") >= 2; }, 20000)) << server.output().toStdString();
    EXPECT_FALSE(server.output().contains("Archive ready"));

    // The archive appears (made elsewhere and moved in).
    ScratchHome other;
    HomeFolder otherHome(other.home());
    db::ArchiveInstaller installer(otherHome);
    QString error;
    ASSERT_TRUE(installer.install(error)) << error.toStdString();
    ASSERT_TRUE(QFile::copy(otherHome.filePath("Patient_Data.db"), scratch.path("Patient_Data.db")));
    ASSERT_TRUE(QFile::copy(otherHome.filePath("archive.db"), scratch.path("archive.db")));
    EXPECT_TRUE(server.waitForOutput("Connected to DB. Database=archive.db"));
    EXPECT_TRUE(server.waitForOutput("Archive ready")) << server.output().toStdString();
    EXPECT_GT(server.port(), 0);
}

TEST(HeadlessServer, ConcurrentEchoesAndBrokenPeersDoNotDisturbEachOther)
{
    ScratchHome scratch;
    ServerProcess server(scratch);
    ASSERT_TRUE(server.start());
    const int port = server.port();
    ASSERT_GT(port, 0);

    // A peer that sends garbage, and one that stops in the middle of a PDU.
    QTcpSocket garbage;
    garbage.connectToHost("127.0.0.1", quint16(port));
    ASSERT_TRUE(garbage.waitForConnected(5000));
    garbage.write(QByteArray(5000, '\x55'));
    garbage.flush();
    QTcpSocket partial;
    partial.connectToHost("127.0.0.1", quint16(port));
    ASSERT_TRUE(partial.waitForConnected(5000));
    partial.write(QByteArray::fromHex("01000000010000")); // A-ASSOCIATE-RQ header, cut short
    partial.flush();

    std::vector<std::unique_ptr<QProcess>> echoes;
    for (int i = 0; i < 10; ++i) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->start("echoscu", {"-aet", QString("ECHO%1").arg(i), "-aec", "TALMIR", "127.0.0.1", QString::number(port)});
        echoes.push_back(std::move(p));
    }
    partial.abort();
    for (auto &p : echoes) {
        ASSERT_TRUE(waitUntil([&] { return p->state() == QProcess::NotRunning; }, 30000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAll().toStdString();
    }
    garbage.abort();
    EXPECT_EQ(echo(port).exitCode, 0);
    EXPECT_TRUE(server.isRunning());
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(server.output().contains(QString("Association request from ECHO%1 to TALMIR").arg(i)));
}

TEST(HeadlessServer, ForwardsReceivedImagesWithoutAnyWindow)
{
    ScratchHome scratch;
    StoreScpProcess node(scratch.path("node"), "NODE");
    ASSERT_TRUE(node.isReady());
    ServerProcess server(scratch);
    server.setSetting("SERVER", "StorageAE", "NODE");
    server.setSetting("SERVER", "StoragePort", QString::number(node.port()));
    server.setSetting("SERVER", "txtSendTO", "127.0.0.1");
    server.setSetting("SERVER", "chkSendEveryMin", "1");
    server.setEnvironment("TALMIR_OUTBOX_TICK_MS", "100");
    server.setEnvironment("TALMIR_SEND_TICK_MS", "300");
    ASSERT_TRUE(server.start());
    const int port = server.port();
    ASSERT_GT(port, 0);
    SampleSpec spec;
    const QString file = scratch.path("ct.dcm");
    ASSERT_FALSE(writeSample(file, spec).isEmpty());
    EXPECT_EQ(runTool("storescu", {"-aec", "TALMIR", "127.0.0.1", QString::number(port), file}).exitCode, 0);
    ASSERT_TRUE(waitUntil([&] { return node.receivedFiles().size() == 1; }, 30000)) << server.output().toStdString();
    EXPECT_TRUE(server.waitForOutput("Outbox: Send Completed: 1"));
}
