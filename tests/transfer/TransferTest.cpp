#include "dicom/toolkit/ToolkitConnection.h"
#include "dicom/toolkit/ToolkitEvents.h"
#include "dicom/toolkit/ToolkitImage.h"
#include "dicom/toolkit/ToolkitListener.h"
#include "tests/dicom/ReceptionFixture.h"
#include "transfer/EchoCommands.h"
#include "transfer/Outbox.h"
#include "transfer/ScheduledSender.h"

#include <QTcpServer>
#include <QTemporaryDir>

using namespace pacs;
using namespace pacs::test;

namespace {

// A storage node that takes associations but refuses every image.
class RefusingNode : public toolkit::ToolkitEvents
{
public:
    void imageReceived(toolkit::ToolkitConnection &connection, toolkit::ToolkitImage &) override
    {
        ++refused;
        connection.setStatus(0xA700);
    }
    int refused = 0;
};

class ForwardingFixture : public ReceptionFixture
{
protected:
    // The storage node the outbox sends to, and fast timers.
    void startForwarding(int nodePort, bool everyMinute = true)
    {
        setSetting("SERVER", "StorageAE", "NODE");
        setSetting("SERVER", "StoragePort", QString::number(nodePort));
        setSetting("SERVER", "txtSendTO", "127.0.0.1");
        setSetting("SERVER", "chkSendEveryMin", everyMinute ? "1" : "0");
        start();
        m_controller->outbox().setTickInterval(50);
        m_controller->scheduledSender().setTickInterval(200);
        m_controller->scheduledSender().EnableTimerSend();
    }

    QStringList storeSome(int count, const QString &study = "1.2.77.1")
    {
        QStringList uids;
        QStringList files;
        for (int i = 1; i <= count; ++i) {
            SampleSpec spec;
            spec.studyUid = study;
            spec.seriesUid = study + ".1";
            spec.instanceUid = spec.seriesUid + "." + QString::number(i);
            spec.instanceNumber = i;
            files << sample(study + "-" + QString::number(i), spec);
            uids << spec.instanceUid;
        }
        EXPECT_EQ(send(files).success, count);
        return uids;
    }
};

} // namespace

TEST_F(ForwardingFixture, ReceivedImagesReachTheStorageNodeAndAreMarkedSent)
{
    StoreScpProcess node(scratch.path("node"), "NODE");
    ASSERT_TRUE(node.isReady());
    startForwarding(node.port());
    const QStringList uids = storeSome(3);
    ASSERT_TRUE(waitUntil([&] { return node.receivedFiles().size() == 3; }, 30000))
        << m_controller->outbox().logText().toStdString() << m_controller->outbox().outgoingList().join(",").toStdString()
        << m_controller->outbox().status().toStdString() << m_controller->outbox().destinationText().toStdString();
    ASSERT_TRUE(waitUntil([&] { return count("select count(*) from ImageTable where SyncStatus='1'") == 3; }, 10000));
    ASSERT_TRUE(waitUntil([&] { return m_controller->outbox().outgoingList().isEmpty(); }, 10000));
    for (const QString &uid : uids)
        EXPECT_TRUE(m_controller->outbox().completedText().contains(uid));
    EXPECT_TRUE(logText().contains("Outbox: Send Completed: 1"));

    // A study queued by hand goes as one entry and marks the study too.
    m_controller->scheduledSender().queueStudy("1.2.77.1");
    ASSERT_TRUE(waitUntil([&] { return scalar("select SendStatus from StudyTable where StudyUID='1.2.77.1'") == "1"; }, 30000));
    EXPECT_TRUE(m_controller->outbox().completedText().startsWith("1.2.77.1\r\n"));
    EXPECT_EQ(node.receivedFiles().size(), 3) << "storescp overwrites files of the same instance";
}

TEST_F(ForwardingFixture, WithAJpegQualityTheNodeGetsJpeg2000)
{
    StoreScpProcess node(scratch.path("node"), "NODE", {"+xw"});
    ASSERT_TRUE(node.isReady());
    startForwarding(node.port(), false);
    m_controller->options().setJpegQuality("50");
    storeSome(1);
    m_controller->scheduledSender().QueueImage(scalar("select InstanceUID from ImageTable"));
    // Marked sent once the node acknowledged, and storescp acknowledges only a
    // file it has finished writing (it writes under the final name).
    ASSERT_TRUE(waitUntil([&] { return count("select count(*) from ImageTable where SyncStatus='1'") == 1; }, 30000));
    ASSERT_EQ(node.receivedFiles().size(), 1);
    EXPECT_EQ(fileTransferSyntax(node.receivedFiles().first()), "1.2.840.10008.1.2.4.91");
}

TEST_F(ForwardingFixture, NothingIsMarkedSentWhileTheNodeIsDownAndAllArrivesLater)
{
    HeldPort nodePort; // down: connections are refused until the node starts on it
    startForwarding(nodePort.port(), false);
    // Both received before the sender looks: it pauses while the outbox works,
    // so a tick between the two would queue only the first.
    storeSome(2);
    m_controller->setSendEveryMinute(true);
    // Down: the destination fails again and again; nothing is marked.
    ASSERT_TRUE(waitUntil([&] { return m_controller->outbox().logText().count("Err. on SetDestination") >= 3; }, 30000))
        << m_controller->outbox().logText().toStdString();
    EXPECT_EQ(count("select count(*) from ImageTable where SyncStatus='1'"), 0);
    EXPECT_EQ(m_controller->outbox().outgoingList().size(), 2);

    StoreScpProcess node(scratch.path("node"), "NODE", {}, nodePort);
    ASSERT_TRUE(node.isReady());
    ASSERT_TRUE(waitUntil([&] { return count("select count(*) from ImageTable where SyncStatus='1'") == 2; }, 30000));
    EXPECT_EQ(node.receivedFiles().size(), 2);
    EXPECT_EQ(m_controller->outbox().completedText().count("\r\n"), 2) << "each entry sent once";
}

TEST_F(ForwardingFixture, ANodeThatNeverAnswersGetsAFreshAssociationAfterSixTicks)
{
    QTcpServer silent; // accepts, then says nothing
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    startForwarding(silent.serverPort(), false);
    Outbox &outbox = m_controller->outbox();
    outbox.addEntry("IMAGE", "1.2.3");
    const toolkit::ToolkitConnection *first = outbox.outgoingConnection();
    int highest = 0;
    QObject::connect(&outbox, &Outbox::changed, [&] { highest = qMax(highest, outbox.waitCounter()); });
    ASSERT_TRUE(waitUntil([&] { return outbox.outgoingConnection() != first; }, 20000));
    EXPECT_EQ(highest, Outbox::WaitTicks + 1) << "renewed on the sixth tick without a destination";
    EXPECT_EQ(outbox.outgoingList().size(), 1);
}

TEST_F(ForwardingFixture, ANodeThatRefusesImagesNeverGetsThemMarkedAndIsReported)
{
    RefusingNode node;
    toolkit::ToolkitListener listener(&node);
    ASSERT_TRUE(listener.startListening(0));
    startForwarding(listener.listeningPort(), false);
    storeSome(1);
    m_controller->outbox().addEntry("IMAGE", scalar("select InstanceUID from ImageTable"));
    ASSERT_TRUE(waitUntil([&] { return errors().contains("the entry is held in the outbox"); }, 60000))
        << m_controller->outbox().logText().toStdString();
    EXPECT_EQ(node.refused, Outbox::MaxRefusals);
    EXPECT_EQ(count("select count(*) from ImageTable where SyncStatus='1'"), 0);
    EXPECT_EQ(m_controller->outbox().outgoingList().size(), 1) << "kept in view";
    EXPECT_EQ(count("select count(*) from Events where Description like 'The_storage_node_refused%'"), 1);
}

TEST_F(ForwardingFixture, UnsentImagesAreQueuedAgainAfterARestart)
{
    HeldPort nodePort; // down until the node starts on it after the restart
    startForwarding(nodePort.port());
    storeSome(2);
    EXPECT_EQ(count("select count(*) from ImageTable where SyncStatus is null"), 2);
    restart(); // the archive stops with both images unsent, and comes back
    StoreScpProcess node(scratch.path("node"), "NODE", {}, nodePort);
    ASSERT_TRUE(node.isReady());
    m_controller->outbox().setTickInterval(50);
    m_controller->scheduledSender().setTickInterval(200);
    m_controller->scheduledSender().EnableTimerSend();
    ASSERT_TRUE(waitUntil([&] { return count("select count(*) from ImageTable where SyncStatus='1'") == 2; }, 30000));
    EXPECT_EQ(node.receivedFiles().size(), 2);
    // storescp serves one association at a time: "Test" once the outbox is idle.
    ASSERT_TRUE(waitUntil([&] { return m_controller->outbox().outgoingConnection()->connectionReady(); }, 10000));
    EXPECT_EQ(m_controller->echoStorageNode(), "OK") << "\"Test\" against the running node";
}

TEST_F(ForwardingFixture, TheQueueAndItsButtonsBehave)
{
    const HeldPort down; // the node refuses connections
    startForwarding(down.port(), false);
    Outbox &outbox = m_controller->outbox();
    ScheduledSender &sender = m_controller->scheduledSender();
    EXPECT_FALSE(sender.timer().isActive()) << "\"Echo Server\" unchecked";
    m_controller->setSendEveryMinute(true);
    EXPECT_TRUE(sender.timer().isActive());
    EXPECT_EQ(m_controller->settings().read("SERVER", "chkSendEveryMin"), "1");

    outbox.addEntry("IMAGE", "1.2.3");
    outbox.addEntry("IMAGE", "1.2.3");
    EXPECT_EQ(outbox.outgoingList(), QStringList{"IMAGE\t 1.2.3"}) << "queued once";
    ASSERT_TRUE(waitUntil([&] { return !sender.timer().isActive(); }, 5000)) << "held while the outbox works";
    outbox.SendDone(); // "Skip current" while idle changes nothing
    EXPECT_EQ(outbox.outgoingList().size(), 1);
    outbox.cancelRow(0);
    EXPECT_TRUE(outbox.outgoingList().isEmpty());
    ASSERT_TRUE(waitUntil([&] { return sender.timer().isActive(); }, 5000)) << "empty again: the sender runs";

    for (int i = 0; i < 200; ++i)
        outbox.myAddlog(QString(60, 'x'));
    EXPECT_LE(outbox.logText().size(), 10000 + 200);
    outbox.trimLogs();
    EXPECT_EQ(outbox.logText().size(), 3000);
}

TEST(EchoCommands, TestAndEchoAnswerAsTheirMessageBoxes)
{
    QTemporaryDir dir;
    StoreScpProcess node(dir.path(), "NODE");
    ASSERT_TRUE(node.isReady());
    EXPECT_EQ(EchoCommands::echo("127.0.0.1", QString::number(node.port()), "TALMIR", "NODE"), "OK");
    const HeldPort nobody; // refuses the connection
    EXPECT_EQ(EchoCommands::echo("127.0.0.1", QString::number(nobody.port()), "TALMIR", "NODE"), "fail");
    EXPECT_TRUE(EchoCommands::echo("echo IP", "port", "CallingAEName", "CalledAEName").startsWith("Type mismatch"));
}
