#include "tests/reliability/ArchiveUnderTest.h"
#include "tests/reliability/ScenarioTable.h"
#include "tests/reliability/SendBatch.h"

#include <QRandomGenerator>

#include <cstdio>

#include <gtest/gtest.h>

using namespace pacs::test;

// kill -9 while a modality sends, at a point drawn at random each round (the
// seed is printed, TALMIR_RELIABILITY_SEED repeats a run), then a start on
// the same archive: nothing acknowledged before the kill may be missing, and
// no row may point to a file that never completed.
TEST(Crashes, KilledAtRandomMomentsOfASendLosesNothingAcknowledged)
{
    const int rounds = longRun() ? 20 : 3;
    const int images = longRun() ? 200 : 40;
    const QByteArray seedText = qgetenv("TALMIR_RELIABILITY_SEED");
    const quint32 seed = seedText.isEmpty() ? QRandomGenerator::global()->generate() : seedText.toUInt();
    std::printf("kill -9 rounds drawn with TALMIR_RELIABILITY_SEED=%u\n", seed);
    QRandomGenerator random(seed);

    ArchiveUnderTest archive;
    SendBatch batch(archive.path(QStringLiteral("send")), QStringLiteral("P800"), QStringLiteral("1.2.826.0.1.3680043.10.800"), images);
    ASSERT_EQ(batch.files().size(), images);
    int killedWhileSending = 0;
    for (int round = 0; round < rounds; ++round) {
        ASSERT_TRUE(archive.start()) << archive.output().toStdString();
        // Each round starts part-way through the folder, as a modality resending.
        const int from = int(random.bounded(images / 2));
        const int killAfter = 1 + int(random.bounded(images - from - 1));
        StoreRun run(archive.port(), batch, QStringLiteral("MODALITY"), batch.files().mid(from));
        const bool reached = waitUntil([&] { return archive.output().count(QStringLiteral("Image saved for ")) >= killAfter || run.finished(); }, 60000);
        archive.kill();
        killedWhileSending += reached && !run.finished() ? 1 : 0;
        run.wait(30000);
        archive.keep(run.acknowledged());

        // The next start repairs what the kill interrupted before it listens.
        ASSERT_TRUE(archive.start()) << archive.output().toStdString();
        const ArchiveAudit audit = archive.audit();
        EXPECT_TRUE(audit.clean()) << "round " << round << ": " << audit.describe().toStdString();
        archive.kill();
    }
    EXPECT_GT(killedWhileSending, 0);

    // Finally the whole folder again: every image once.
    ASSERT_TRUE(archive.start());
    EXPECT_EQ(archive.send(batch).successes(), images);
    const ArchiveAudit audit = archive.audit();
    EXPECT_TRUE(audit.clean()) << audit.describe().toStdString();
    EXPECT_EQ(audit.stored, images);
    ScenarioTable::record(QStringLiteral("Fault survived"), QStringLiteral("kill -9 at random moments of a send, then restart"),
                          QStringLiteral("%1 kills").arg(rounds), audit);
}
