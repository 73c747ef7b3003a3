#include "core/SettingsStore.h"
#include "tests/reliability/ArchiveUnderTest.h"
#include "tests/reliability/RawPeer.h"
#include "tests/reliability/ScenarioTable.h"
#include "tests/reliability/SendBatch.h"
#include "tests/support/Peers.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <vector>

using namespace pacs::test;

namespace {

QByteArray header(quint8 type, quint32 length)
{
    QByteArray bytes(6, '\0');
    bytes[0] = char(type);
    for (int i = 0; i < 4; ++i)
        bytes[2 + i] = char((length >> (24 - 8 * i)) & 0xff);
    return bytes;
}

} // namespace

// Random, cut-off and absurd PDUs, a request stalled half-way and a flood of
// idle connections: each is dropped on its own, peers beside them are served,
// and what the real modality sends meanwhile is stored.
TEST(HostileInput, BadPdusStallsAndIdleFloodsShutOutNobody)
{
    ArchiveUnderTest archive;
    ASSERT_TRUE(archive.start()) << archive.output().toStdString();
    QRandomGenerator random(20240616);
    int tried = 0;

    // Random bytes, and well-formed requests cut off at random points.
    const QByteArray request = RawPeer::associateRequest();
    for (int i = 0; i < 40; ++i, ++tried) {
        RawPeer peer(archive.port());
        ASSERT_TRUE(peer.isConnected());
        QByteArray bytes;
        if (i % 2 == 0) {
            bytes.resize(1 + int(random.bounded(4000)));
            for (char &c : bytes)
                c = char(random.bounded(256));
        } else {
            bytes = request.left(1 + int(random.bounded(int(request.size()) - 1)));
        }
        peer.send(bytes);
        peer.close();
    }
    // Declared lengths no request has: refused before anything is read.
    for (quint32 length : {100u * 1024 * 1024, 0xffffffffu, 2u * 1024 * 1024}) {
        RawPeer peer(archive.port());
        peer.send(header(0x01, length) + QByteArray(1024, 'x'));
        EXPECT_TRUE(peer.waitClosed(5000)) << "declared " << length;
        ++tried;
    }
    // A request declaring 200,000 bytes stalls after 70,000 ...
    RawPeer stalled(archive.port());
    stalled.send(header(0x01, 200000) + QByteArray(70000, '\x02'));
    ++tried;
    // ... and 60 idle connections from 127.0.0.2.
    std::vector<std::unique_ptr<RawPeer>> idle;
    for (int i = 0; i < 60; ++i, ++tried)
        idle.push_back(std::make_unique<RawPeer>(archive.port(), QStringLiteral("127.0.0.2")));

    // Meanwhile a modality on 127.0.0.1 is served.
    EXPECT_TRUE(archive.echo(4));
    SendBatch batch(archive.path(QStringLiteral("send")), QStringLiteral("P600"), QStringLiteral("1.2.826.0.1.3680043.10.600"), 10);
    EXPECT_EQ(archive.send(batch).successes(), 10);
    EXPECT_TRUE(stalled.isConnected()) << "served well within the stalled peer's time";
    EXPECT_TRUE(stalled.waitClosed(20000));
    for (const auto &peer : idle)
        EXPECT_TRUE(peer->waitClosed(20000));
    ASSERT_TRUE(archive.isRunning()) << archive.output().right(3000).toStdString();
    EXPECT_TRUE(archive.echo());

    const ArchiveAudit audit = archive.audit();
    EXPECT_TRUE(audit.clean()) << audit.describe().toStdString();
    EXPECT_EQ(audit.stored, 10);
    ScenarioTable::record(QStringLiteral("Bad input tried"),
                          QStringLiteral("random and cut-off PDUs, absurd lengths, a stalled request, idle flood from 127.0.0.2"),
                          QStringLiteral("%1 connections").arg(tried), audit);
}

// Values a modality should never send and queries a station should never
// ask: every image answered with success is kept (stored or in quarantine),
// the queries harm nothing.
TEST(HostileInput, HostileValuesAndQueriesLoseNothing)
{
    ArchiveUnderTest archive;
    ASSERT_TRUE(archive.start()) << archive.output().toStdString();
    const QString root = QStringLiteral("1.2.826.0.1.3680043.10.650.");
    QList<SampleSpec> specs;
    auto spec = [&](const QString &tag, const QString &id, const QMap<QString, QString> &elements = {}) {
        SampleSpec s;
        s.patientId = id;
        s.instanceUid = root + tag;
        s.elements = elements;
        specs << s;
    };
    spec(QStringLiteral("1"), QStringLiteral("../../../etc/passwd"));
    spec(QStringLiteral("2"), QStringLiteral("P1'; DROP TABLE ImageTable;--"));
    spec(QStringLiteral("3"), QStringLiteral("P650"), {{QStringLiteral("0010,0010"), QStringLiteral("O'BRIEN^%_*?[]")}});
    spec(QStringLiteral("4"), QStringLiteral("P650"), {{QStringLiteral("0008,0060"), QStringLiteral("../..")}});
    spec(QStringLiteral("5"), QStringLiteral("P650"), {{QStringLiteral("0008,0020"), QStringLiteral("20241340")}});
    spec(QStringLiteral("6"), QStringLiteral("P650"), {{QStringLiteral("0008,0080"), QStringLiteral("C:\\..\\WINDOWS")}});
    spec(QStringLiteral("7.1"), QStringLiteral("P650"));
    spec(QStringLiteral("7_1"), QStringLiteral("P650"));
    spec(QStringLiteral("8.") + QString(40, QLatin1Char('1')) + QStringLiteral(".1"), QStringLiteral("P650"));
    spec(QStringLiteral("8.") + QString(40, QLatin1Char('1')) + QStringLiteral(".2"), QStringLiteral("P650"));
    spec(QStringLiteral("9"), QString(), {{QStringLiteral("0010,0020"), QString()}}); // no Patient ID: quarantine
    spec(QStringLiteral("10"), QStringLiteral("P650"), {{QStringLiteral("0010,0010"), QString(200, QLatin1Char('X'))}});
    SendBatch batch(archive.path(QStringLiteral("send")), specs);
    ASSERT_EQ(batch.files().size(), specs.size());
    StoreRun &run = archive.send(batch);
    EXPECT_EQ(run.successes() + run.failures(), int(specs.size())) << run.output().toStdString();

    const QStringList queries{QStringLiteral("PatientName=*'; DROP TABLE ImageTable;--"), QStringLiteral("PatientID=%"),
                              QStringLiteral("PatientID=../../*"), QStringLiteral("PatientName=\\*"),
                              QStringLiteral("StudyDate=99999999-"), QStringLiteral("PatientID=") + QString(300, QLatin1Char('*'))};
    for (const QString &key : queries) {
        runTool(QStringLiteral("findscu"), {QStringLiteral("-S"), QStringLiteral("-aec"), QStringLiteral("TALMIR"), QStringLiteral("-k"),
                                            QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("-k"), key,
                                            QStringLiteral("127.0.0.1"), QString::number(archive.port())},
                60000);
    }
    ASSERT_TRUE(archive.isRunning()) << archive.output().right(3000).toStdString();
    EXPECT_TRUE(archive.echo());

    const ArchiveAudit audit = archive.audit();
    EXPECT_TRUE(audit.clean()) << audit.describe().toStdString();
    EXPECT_GE(audit.quarantined, 1) << audit.describe().toStdString();
    ScenarioTable::record(QStringLiteral("Bad input tried"), QStringLiteral("hostile attribute values and queries"),
                          QStringLiteral("%1 values, %2 queries").arg(specs.size()).arg(queries.size()), audit);
}

// With access control on, callers the archive does not know send in parallel
// with the one it knows: every one of theirs is refused at association time,
// nothing of theirs is kept, and the known modality's images are all stored.
TEST(HostileInput, UnknownCallersAreRefusedWhileAKnownOneIsServed)
{
    const int strangers = longRun() ? 8 : 3;
    const int perSender = longRun() ? 100 : 20;
    ArchiveUnderTest archive;
    pacs::SettingsStore().write(QStringLiteral("SERVER"), QStringLiteral("chkAcceptKnownAETsOnly"), QStringLiteral("1"));
    ASSERT_TRUE(archive.start()) << archive.output().toStdString();
    QString error;
    ASSERT_TRUE(archive.execute(QStringLiteral("insert into RemoteAETs (RemoteAET, IPAddress, Port) values ('MODALITY', '127.0.0.1', 104)"),
                                error))
        << error.toStdString();

    std::list<SendBatch> batches;
    std::list<std::unique_ptr<StoreRun>> refused;
    for (int s = 0; s < strangers; ++s) {
        batches.emplace_back(archive.path(QStringLiteral("stranger%1").arg(s)), QStringLiteral("P95%1").arg(s),
                             QStringLiteral("1.2.826.0.1.3680043.10.95%1").arg(s), perSender);
        refused.push_back(std::make_unique<StoreRun>(archive.port(), batches.back(), QStringLiteral("STRANGER%1").arg(s)));
    }
    SendBatch known(archive.path(QStringLiteral("known")), QStringLiteral("P960"), QStringLiteral("1.2.826.0.1.3680043.10.960"),
                    perSender);
    EXPECT_EQ(archive.send(known).successes(), perSender);
    int strangersAcknowledged = 0;
    for (const auto &run : refused) {
        run->wait();
        strangersAcknowledged += run->successes();
        archive.keep(run->acknowledged());
        EXPECT_TRUE(run->output().contains(QStringLiteral("Calling AE Title Not Recognized")))
            << run->output().right(2000).toStdString();
    }
    EXPECT_EQ(strangersAcknowledged, 0);
    EXPECT_TRUE(archive.server().output().contains(QStringLiteral("Association refused: STRANGER0 is not a known AE title")))
        << archive.output().right(2000).toStdString();

    const ArchiveAudit audit = archive.audit();
    EXPECT_TRUE(audit.clean()) << audit.describe().toStdString();
    EXPECT_EQ(audit.stored, perSender);
    ScenarioTable::record(QStringLiteral("Bad input tried"), QStringLiteral("callers not in RemoteAETs, access control on"),
                          QStringLiteral("%1 refused storescu sends of %2 images beside a known one").arg(strangers).arg(perSender),
                          audit);
}
