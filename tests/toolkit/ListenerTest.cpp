#include "tests/toolkit/ToolkitTestSupport.h"

#include "tests/support/TestSupport.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

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
    bool heldThrough = false;
    f.events.onVerify = [&](ToolkitConnection &, int &) {
        if (holding)
            return;
        holding = true;
        heldThrough = waitUntil([&] { return f.events.echoes >= 10; }, 30000);
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
    EXPECT_TRUE(heldThrough);
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

namespace {

// TCP connections that never send a byte, from the given local address.
std::vector<std::unique_ptr<QTcpSocket>> openSilentPeers(int port, int count, const QString &from = QStringLiteral("127.0.0.1"))
{
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    for (int i = 0; i < count; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        if (!socket->bind(QHostAddress(from), 0))
            continue;
        socket->connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        if (socket->waitForConnected(10000))
            peers.push_back(std::move(socket));
    }
    return peers;
}

bool allClosed(const std::vector<std::unique_ptr<QTcpSocket>> &peers)
{
    for (const auto &peer : peers)
        if (peer->state() != QAbstractSocket::UnconnectedState)
            return false;
    return true;
}

// How many of the peers are closed once `atLeast` are, or the time is up.
int closedWithin(const std::vector<std::unique_ptr<QTcpSocket>> &peers, int atLeast, int timeoutMs)
{
    int closed = 0;
    waitUntil([&] {
        closed = 0;
        for (const auto &peer : peers)
            closed += peer->state() == QAbstractSocket::UnconnectedState ? 1 : 0;
        return closed >= atLeast;
    }, timeoutMs);
    return closed;
}

} // namespace

TEST(ToolkitListener, SilentPeersDelayNobodyAndAreDroppedAlone)
{
    ListenerFixture f;
    ASSERT_TRUE(f.listener.isListening());
    // An association that is already open when the silent peers arrive.
    auto outgoing = f.listener.newConnection();
    outgoing->connectTo(QStringLiteral("127.0.0.1"), f.listener.listeningPort(), QStringLiteral("PEER"), QStringLiteral("ARCHIVE"));
    ASSERT_TRUE(waitUntil([&] { return f.events.outgoingCompletions.size() == 1; }, 30000));
    ASSERT_TRUE(f.events.outgoingCompletions[0].success) << f.events.outgoingCompletions[0].error.toStdString();

    const auto silent = openSilentPeers(f.listener.listeningPort(), 20);
    ASSERT_EQ(silent.size(), 20u);
    // Served while all twenty still hold their connections (one after the
    // other they would hold the port for 100 s; echoscu gives up after 30).
    const ToolResult r = runTool(QStringLiteral("echoscu"), echoArgs(f) << QStringLiteral("-ta") << QStringLiteral("30"), 40000);
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();

    EXPECT_TRUE(waitUntil([&] { return allClosed(silent); }, 30000));
    // Nothing of them reached the program, and the open association still works.
    EXPECT_EQ(f.events.callingTitles, (QStringList{QStringLiteral("PEER"), QStringLiteral("ECHOSCU")}));
    outgoing->verifyAsync();
    ASSERT_TRUE(waitUntil([&] { return f.events.outgoingCompletions.size() == 2; }, 30000));
    EXPECT_TRUE(f.events.outgoingCompletions[1].success) << f.events.outgoingCompletions[1].error.toStdString();
    EXPECT_EQ(f.events.echoes, 2);
}

TEST(ToolkitListener, AFloodOfSilentPeersIsTurnedAwayAndServiceReturns)
{
    ListenerFixture f;
    const auto silent = openSilentPeers(f.listener.listeningPort(), 100);
    ASSERT_EQ(silent.size(), 100u);
    // Those beyond the waiting limit are closed at once, not given a thread each.
    EXPECT_GE(closedWithin(silent, 36, 3000), 36);
    EXPECT_TRUE(waitUntil([&] { return allClosed(silent); }, 30000));
    EXPECT_EQ(runTool(QStringLiteral("echoscu"), echoArgs(f)).exitCode, 0);
}

TEST(ToolkitListener, StoppingEndsTheWaitOfSilentPeers)
{
    ListenerFixture f;
    const auto silent = openSilentPeers(f.listener.listeningPort(), 5);
    ASSERT_EQ(silent.size(), 5u);
    ASSERT_TRUE(waitUntil([&] { return f.listener.activeAssociations() == 5; }, 10000));
    f.listener.stopListening();
    EXPECT_TRUE(waitUntil([&] { return allClosed(silent); }, 10000));
    EXPECT_TRUE(waitUntil([&] { return f.listener.activeAssociations() == 0; }, 10000));
    ASSERT_TRUE(f.listener.startListening(0));
    EXPECT_EQ(runTool(QStringLiteral("echoscu"), echoArgs(f)).exitCode, 0);
}

TEST(ToolkitListener, AFloodFromOneAddressLeavesPeersFromOthersServed)
{
    ListenerFixture f;
    const auto silent = openSilentPeers(f.listener.listeningPort(), 100, QStringLiteral("127.0.0.2"));
    ASSERT_EQ(silent.size(), 100u);
    // Most of the flood is turned away at once; the rest waits for its request.
    EXPECT_GE(closedWithin(silent, 60, 3000), 60);
    ASSERT_GE(f.listener.activeAssociations(), 10);
    // A peer from 127.0.0.1 is served while those places are still held.
    const ToolResult r = runTool(QStringLiteral("echoscu"), echoArgs(f) << QStringLiteral("-ta") << QStringLiteral("10"), 20000);
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    EXPECT_EQ(f.events.echoes, 1);
    EXPECT_TRUE(waitUntil([&] { return allClosed(silent); }, 30000));
}

TEST(ToolkitListener, APeerStallingInsideItsRequestHoldsUpNobody)
{
    ListenerFixture f;
    const quint16 port = quint16(f.listener.listeningPort());
    // An A-ASSOCIATE-RQ declaring 200,000 bytes, 70,000 of them sent, then silence.
    QTcpSocket stalled;
    stalled.connectToHost(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(stalled.waitForConnected(5000));
    stalled.write(QByteArray::fromHex("010000030d40") + QByteArray(70000, '\x01'));
    ASSERT_TRUE(waitUntil([&] { return stalled.bytesToWrite() == 0; }, 10000));
    // One declaring 100 MB is refused before any of it is read.
    QTcpSocket huge;
    huge.connectToHost(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(huge.waitForConnected(5000));
    huge.write(QByteArray::fromHex("010005f5e100") + QByteArray(1000, '\0'));
    EXPECT_TRUE(waitUntil([&] { return huge.state() == QAbstractSocket::UnconnectedState; }, 3000));

    // Served at once, well inside the stalled peer's time.
    const ToolResult r = runTool(QStringLiteral("echoscu"),
                                 echoArgs(f) << QStringLiteral("-ta") << QStringLiteral("4") << QStringLiteral("-to")
                                             << QStringLiteral("4"),
                                 15000);
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    EXPECT_EQ(f.events.echoes, 1);
    // The stalled peer is dropped when the time for its request is up.
    EXPECT_TRUE(waitUntil([&] { return stalled.state() == QAbstractSocket::UnconnectedState; }, 15000));
    EXPECT_EQ(f.events.callingTitles, QStringList{QStringLiteral("ECHOSCU")});
}
