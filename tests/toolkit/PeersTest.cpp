// The peers the other tests rely on: they must hold their ports, and a peer
// that cannot start must say why at once.

#include "tests/support/Peers.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

using namespace pacs::test;

TEST(Peers, AHeldPortRefusesConnectionsAndCannotBeTakenUntilReleased)
{
    HeldPort held;
    ASSERT_TRUE(held.isHeld());
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    ASSERT_TRUE(range.open(QIODevice::ReadOnly));
    const QList<QByteArray> bounds = range.readAll().simplified().split(' ');
    ASSERT_EQ(bounds.size(), 2);
    EXPECT_TRUE(held.port() < bounds.at(0).toInt() || held.port() > bounds.at(1).toInt())
        << held.port() << " is outside the range outgoing connections get";

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(held.port()));
    EXPECT_FALSE(socket.waitForConnected(5000));
    EXPECT_EQ(socket.error(), QAbstractSocket::ConnectionRefusedError) << socket.errorString().toStdString();

    QTcpServer other; // shares addresses where it can, as storescp does
    EXPECT_FALSE(other.listen(QHostAddress::Any, static_cast<quint16>(held.port())));
    held.release();
    EXPECT_TRUE(other.listen(QHostAddress::LocalHost, static_cast<quint16>(held.port())))
        << other.errorString().toStdString();
}

TEST(Peers, ListeningIsToldForTheProcessThatHoldsTheSocket)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    EXPECT_TRUE(processListensOn(QCoreApplication::applicationPid(), server.serverPort()));
    QTemporaryDir dir;
    StoreScpProcess node(dir.path() + QStringLiteral("/node"));
    ASSERT_TRUE(node.isReady());
    EXPECT_FALSE(processListensOn(QCoreApplication::applicationPid(), node.port())) << "the port is storescp's";
    EXPECT_EQ(runTool(QStringLiteral("echoscu"), {QStringLiteral("-aec"), QStringLiteral("DEST"), QStringLiteral("127.0.0.1"),
                                                  QString::number(node.port())}).exitCode, 0);
}

TEST(Peers, AStoreScpOnAHeldPortStartsThere)
{
    QTemporaryDir dir;
    HeldPort held;
    ASSERT_TRUE(held.isHeld());
    StoreScpProcess node(dir.path() + QStringLiteral("/node"), QStringLiteral("NODE"), {}, held);
    ASSERT_TRUE(node.isReady());
    EXPECT_EQ(node.port(), held.port());
    EXPECT_FALSE(held.isHeld());
}

TEST(Peers, AStoreScpThatCannotStartFailsAtOnceWithItsOutput)
{
    QTemporaryDir dir;
    QElapsedTimer timer;
    timer.start();
    EXPECT_NONFATAL_FAILURE(
        {
            StoreScpProcess node(dir.path() + QStringLiteral("/node"), QStringLiteral("DEST"),
                                 {QStringLiteral("--no-such-option")});
            EXPECT_FALSE(node.isReady());
        },
        "no-such-option");
    EXPECT_LT(timer.elapsed(), 10000) << "no waiting on a process that has ended";
}
