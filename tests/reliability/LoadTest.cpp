#include "tests/reliability/ArchiveUnderTest.h"
#include "tests/reliability/ScenarioTable.h"
#include "tests/reliability/SendBatch.h"
#include "tests/support/Peers.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>

using namespace pacs::test;

namespace {

QStringList findArgs(int port)
{
    return {QStringLiteral("-S"), QStringLiteral("-aec"), QStringLiteral("TALMIR"), QStringLiteral("-k"),
            QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("-k"), QStringLiteral("PatientID=P9*"),
            QStringLiteral("-k"), QStringLiteral("StudyInstanceUID"), QStringLiteral("127.0.0.1"), QString::number(port)};
}

QStringList moveArgs(int port, const QString &studyUid)
{
    return {QStringLiteral("-S"), QStringLiteral("-aec"), QStringLiteral("TALMIR"), QStringLiteral("-aem"), QStringLiteral("DEST"),
            QStringLiteral("-k"), QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("-k"),
            QStringLiteral("StudyInstanceUID=") + studyUid, QStringLiteral("127.0.0.1"), QString::number(port)};
}

bool allFinished(const std::list<std::unique_ptr<ToolProcess>> &tools)
{
    for (const auto &tool : tools)
        if (!tool->finished())
            return false;
    return true;
}

} // namespace

// Modalities sending at once while stations query and retrieve. Short by
// default (4 senders of 25 images, 4 queries, 1 retrieval); the long variant
// is 8 senders of 300 images, 20 queries and 2 retrievals.
TEST(Load, ParallelSendsWhileQueriesAndRetrievalsRun)
{
    const bool full = longRun();
    const int senders = full ? 8 : 4;
    const int perSender = full ? 300 : 25;
    const int queries = full ? 20 : 4;
    const int moves = full ? 2 : 1;

    ArchiveUnderTest archive;
    ASSERT_TRUE(archive.start()) << archive.output().toStdString();
    StoreScpProcess destination(archive.path(QStringLiteral("dest")));
    ASSERT_TRUE(destination.isReady()) << destination.output().toStdString();
    QString error;
    ASSERT_TRUE(archive.execute(QStringLiteral("insert into RemoteAETs (RemoteAET, IPAddress, Port) values ('DEST', '127.0.0.1', %1)")
                                    .arg(destination.port()),
                                error))
        << error.toStdString();
    // A study already archived, to be retrieved while the others arrive.
    SendBatch archived(archive.path(QStringLiteral("archived")), QStringLiteral("P900"), QStringLiteral("1.2.826.0.1.3680043.10.900"), 10);
    ASSERT_EQ(archive.send(archived).successes(), 10);

    std::list<SendBatch> batches;
    std::list<std::unique_ptr<StoreRun>> sends;
    for (int s = 0; s < senders; ++s) {
        batches.emplace_back(archive.path(QStringLiteral("send%1").arg(s)), QStringLiteral("P91%1").arg(s),
                             QStringLiteral("1.2.826.0.1.3680043.10.91%1").arg(s), perSender);
        ASSERT_EQ(batches.back().files().size(), perSender);
    }
    for (const SendBatch &batch : batches)
        sends.push_back(std::make_unique<StoreRun>(archive.port(), batch, QStringLiteral("CT%1").arg(sends.size())));
    std::list<std::unique_ptr<ToolProcess>> retrievals;
    for (int m = 0; m < moves; ++m)
        retrievals.push_back(std::make_unique<ToolProcess>(QStringLiteral("movescu"), moveArgs(archive.port(), archived.studyUid())));
    int queriesAnswered = 0;
    for (int q = 0; q < queries; ++q)
        queriesAnswered += runTool(QStringLiteral("findscu"), findArgs(archive.port()), 60000).exitCode == 0 ? 1 : 0;

    ASSERT_TRUE(waitUntil([&] {
        for (const auto &send : sends)
            if (!send->finished())
                return false;
        return allFinished(retrievals);
    }, full ? 900000 : 180000));
    int acknowledged = 0;
    for (const auto &send : sends) {
        acknowledged += send->successes();
        archive.keep(send->acknowledged());
        EXPECT_EQ(send->failures(), 0) << send->output().right(2000).toStdString();
    }
    EXPECT_EQ(acknowledged, senders * perSender);
    EXPECT_EQ(queriesAnswered, queries);
    for (const auto &retrieval : retrievals)
        EXPECT_EQ(retrieval->result().exitCode, 0) << retrieval->result().output.toStdString();
    EXPECT_TRUE(waitUntil([&] { return destination.receivedFiles().size() >= 10; }, 30000));

    const ArchiveAudit audit = archive.audit();
    EXPECT_TRUE(audit.clean()) << audit.describe().toStdString();
    EXPECT_EQ(audit.stored, senders * perSender + 10);
    ScenarioTable::record(QStringLiteral("Load held"),
                          QStringLiteral("%1 parallel storescu sends of %2 images, %3 findscu, %4 movescu")
                              .arg(senders).arg(perSender).arg(queries).arg(moves),
                          QStringLiteral("%1 C-STORE, %2 C-FIND, %3 C-MOVE").arg(senders * perSender + 10).arg(queries).arg(moves), audit);
}
