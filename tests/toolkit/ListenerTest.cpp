#include "ToolkitTestSupport.h"

#include "TestSupport.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

#include <stdexcept>

using namespace pacs::toolkit;
using namespace pacs::toolkit::test;
using pacs::test::waitUntil;

namespace {

QStringList echoArgs(const ListenerFixture &f, const QString &called = QStringLiteral("ARCHIVE"))
{
    return {QStringLiteral("-aec"), called, QStringLiteral("127.0.0.1"), f.portText()};
}

bool offers(const QList<ToolkitContext> &contexts, const QString &abstractSyntax)
{
    for (const ToolkitContext &c : contexts)
        if (c.abstractSyntax == abstractSyntax)
            return true;
    return false;
}

} // namespace

TEST(ToolkitListener, AnswersEchoOnAFreePortWithTitlesAndContexts)
{
    ListenerFixture f;
    ASSERT_TRUE(f.listener.isListening()) << f.listener.lastError().toStdString();
    ASSERT_GT(f.listener.listeningPort(), 0);

    const ToolResult r = runTool(QStringLiteral("echoscu"), echoArgs(f));
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    EXPECT_EQ(f.events.echoes, 1);
    ASSERT_EQ(f.events.callingTitles.size(), 1);
    EXPECT_EQ(f.events.callingTitles.first(), QStringLiteral("ECHOSCU"));
    EXPECT_EQ(f.events.calledTitles.first(), QStringLiteral("ARCHIVE"));
    EXPECT_TRUE(offers(f.events.offered.first(), QStringLiteral("1.2.840.10008.1.1")));
    EXPECT_FALSE(f.events.offMainThread);
}

TEST(ToolkitListener, SecondListenerOnATakenPortFailsCleanly)
{
    ListenerFixture f;
    ToolkitListener other;
    EXPECT_FALSE(other.startListening(f.listener.listeningPort()));
    EXPECT_FALSE(other.isListening());
    EXPECT_FALSE(other.lastError().isEmpty());
    EXPECT_EQ(runTool(QStringLiteral("echoscu"), echoArgs(f)).exitCode, 0);
}

TEST(ToolkitListener, StopListeningRefusesNewPeersAndCanStartAgain)
{
    ListenerFixture f;
    const int port = f.listener.listeningPort();
    f.listener.stopListening(port);
    EXPECT_FALSE(f.listener.isListening());
    EXPECT_NE(runTool(QStringLiteral("echoscu"), {QStringLiteral("127.0.0.1"), QString::number(port)}).exitCode, 0);
    EXPECT_EQ(f.events.echoes, 0);

    ASSERT_TRUE(f.listener.startListening(port)) << f.listener.lastError().toStdString();
    EXPECT_EQ(runTool(QStringLiteral("echoscu"), echoArgs(f)).exitCode, 0);
    EXPECT_EQ(f.events.echoes, 1);
}

TEST(ToolkitListener, RejectsWhenTheHandlerSaysNo)
{
    ListenerFixture f;
    f.events.onAssociation = [](ToolkitConnection &, bool &isOK) { isOK = false; };
    const ToolResult r = runTool(QStringLiteral("echoscu"), echoArgs(f));
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(r.output.contains(QStringLiteral("Rejected"), Qt::CaseInsensitive)) << r.output.toStdString();
    EXPECT_EQ(f.events.echoes, 0);
}

TEST(ToolkitListener, AnExceptionInAHandlerStaysInTheHandler)
{
    ListenerFixture f;
    f.events.onAssociation = [](ToolkitConnection &, bool &) { throw std::runtime_error("handler failure"); };
    EXPECT_EQ(runTool(QStringLiteral("echoscu"), echoArgs(f)).exitCode, 0);
    EXPECT_EQ(f.events.echoes, 1);
}

TEST(ToolkitListener, TenConcurrentEchoesAllSucceed)
{
    ListenerFixture f;
    // The first handler re-enters the event loop and holds its association
    // until all ten have been seen: events of the others must still arrive.
    bool holding = false;
    f.events.onVerify = [&](ToolkitConnection &, int &) {
        if (holding)
            return;
        holding = true;
        waitUntil([&] { return f.events.echoes >= 10; }, 30000);
    };
    std::vector<std::unique_ptr<ToolProcess>> peers;
    for (int i = 0; i < 10; ++i)
        peers.push_back(std::make_unique<ToolProcess>(QStringLiteral("echoscu"), echoArgs(f)));
    ASSERT_TRUE(waitUntil([&] {
        for (auto &p : peers)
            if (!p->finished())
                return false;
        return true;
    }, 60000));
    for (auto &p : peers) {
        const ToolResult r = p->result();
        EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    }
    EXPECT_EQ(f.events.echoes, 10);
    EXPECT_FALSE(f.events.offMainThread);
}

TEST(ToolkitListener, GarbageAndCutOffPeersDoNotDisturbAnEchoInProgress)
{
    ListenerFixture f;
    bool peersDropped = false;
    f.events.onVerify = [&](ToolkitConnection &, int &) {
        QTcpSocket garbage, cutOff;
        garbage.connectToHost(QStringLiteral("127.0.0.1"), quint16(f.listener.listeningPort()));
        cutOff.connectToHost(QStringLiteral("127.0.0.1"), quint16(f.listener.listeningPort()));
        if (!garbage.waitForConnected(5000) || !cutOff.waitForConnected(5000))
            return;
        garbage.write("GET / HTTP/1.0\r\n\r\nnot dicom at all");
        // An A-ASSOCIATE-RQ header announcing 205 bytes, then only a few of them.
        cutOff.write(QByteArray::fromHex("010000000000cd0001000041524348495645"));
        garbage.flush();
        cutOff.flush();
        cutOff.disconnectFromHost();
        peersDropped = waitUntil([&] { return garbage.state() == QAbstractSocket::UnconnectedState; }, 20000);
    };
    const ToolResult r = runTool(QStringLiteral("echoscu"), echoArgs(f));
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    EXPECT_TRUE(peersDropped);
    f.events.onVerify = nullptr;
    EXPECT_EQ(runTool(QStringLiteral("echoscu"), echoArgs(f)).exitCode, 0);
    EXPECT_EQ(f.events.echoes, 2);
}
