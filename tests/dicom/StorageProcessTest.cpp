#include "tests/support/ServerDatabase.h"
#include "dicom/ImagePath.h"
#include "tests/dicom/ReceptionFixture.h"

#include <QDir>
#include <QProcess>
#include <QSet>

using namespace pacs;
using namespace pacs::test;

namespace {

// Reads the archive a running server keeps, as a second process would.
struct ArchiveCheck
{
    int images = 0;
    int distinct = 0;
    QStringList missingFiles;
};

ArchiveCheck checkArchive(const QString &home)
{
    ArchiveCheck check;
    QString error;
    auto db = test::openHomeArchive(home, error);
    if (!db)
        return check;
    auto rows = db->execute("select InstanceUID, Filename from ImageTable", error);
    QSet<QString> uids;
    for (; rows && !rows->atEnd(); rows->moveNext()) {
        ++check.images;
        uids.insert(rows->value(0).toText());
        if (!isReadableDicomFile(rows->value(1).toText()))
            check.missingFiles << rows->value(1).toText();
    }
    check.distinct = int(uids.size());
    return check;
}

QStringList writeSeries(const QString &folder, const QString &patientId, int count)
{
    QDir().mkpath(folder);
    QStringList files;
    SampleSpec spec;
    spec.patientId = patientId;
    spec.studyUid = "1.2.826.0.1.3680043.10.1." + patientId.mid(1);
    spec.seriesUid = spec.studyUid + ".1";
    for (int i = 1; i <= count; ++i) {
        spec.instanceNumber = i;
        spec.instanceUid = spec.seriesUid + "." + QString::number(i);
        const QString path = QString("%1/%2.dcm").arg(folder).arg(i, 4, 10, QChar('0'));
        if (!writeSample(path, spec).isEmpty())
            files << path;
    }
    return files;
}

} // namespace

TEST(StorageProcess, KilledInTheMiddleOfASendLosesNothingOnResend)
{
    ScratchHome scratch;
    const QStringList files = writeSeries(scratch.path("send"), "P500", 500);
    ASSERT_EQ(files.size(), 500);

    auto server = std::make_unique<ServerProcess>(scratch);
    ASSERT_TRUE(server->start());
    const int port = server->port();
    ASSERT_GT(port, 0);

    QProcess sender;
    sender.start("storescu", QStringList{"-aec", "TALMIR", "+sd", "127.0.0.1", QString::number(port), scratch.path("send")});
    ASSERT_TRUE(sender.waitForStarted());
    // Kill the server hard once part of the folder has arrived.
    ASSERT_TRUE(waitUntil([&] { return server->output().count("Image saved for ") >= 150; }, 60000)) << server->output().toStdString();
    server->kill();
    waitUntil([&] { return sender.state() == QProcess::NotRunning; }, 30000);

    ServerProcess restarted(scratch);
    ASSERT_TRUE(restarted.start());
    const int port2 = restarted.port();
    ASSERT_GT(port2, 0);
    const StoreOutcome resent = storeFiles(port2, {"+sd", scratch.path("send")});
    EXPECT_EQ(resent.success, 500) << "failures " << resent.failure << ", warnings " << resent.warning << "\n"
                                   << resent.output.right(1500).toStdString() << "\nserver:\n"
                                   << restarted.output().right(3000).toStdString();

    const ArchiveCheck check = checkArchive(scratch.home());
    EXPECT_EQ(check.images, 500);
    EXPECT_EQ(check.distinct, 500);
    EXPECT_TRUE(check.missingFiles.isEmpty()) << check.missingFiles.join('\n').toStdString();
}

TEST(StorageProcess, TwoModalitiesSendingAtOnceBothComplete)
{
    ScratchHome scratch;
    const QStringList a = writeSeries(scratch.path("a"), "P601", 60);
    const QStringList b = writeSeries(scratch.path("b"), "P602", 60);
    ServerProcess server(scratch);
    ASSERT_TRUE(server.start());
    const int port = server.port();
    ASSERT_GT(port, 0);

    QProcess first, second;
    first.start("storescu", QStringList{"-aet", "CT1", "-aec", "TALMIR", "+sd", "127.0.0.1", QString::number(port), scratch.path("a")});
    second.start("storescu", QStringList{"-aet", "CT2", "-aec", "TALMIR", "+sd", "127.0.0.1", QString::number(port), scratch.path("b")});
    ASSERT_TRUE(waitUntil([&] { return first.state() == QProcess::NotRunning && second.state() == QProcess::NotRunning; }, 120000));
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_EQ(second.exitCode(), 0);

    ASSERT_TRUE(waitUntil([&] { return checkArchive(scratch.home()).images == 120; }, 20000));
    const ArchiveCheck check = checkArchive(scratch.home());
    EXPECT_EQ(check.distinct, 120);
    EXPECT_TRUE(check.missingFiles.isEmpty());
    QString error;
    auto db = test::openHomeArchive(scratch.home(), error);
    ASSERT_TRUE(db) << error.toStdString();
    auto rows = db->execute("select count(*) from StudyTable", error);
    EXPECT_EQ(rows->value(0).toInteger(), 2);
    rows = db->execute("select count(*) from SeriesTable", error);
    EXPECT_EQ(rows->value(0).toInteger(), 2);
}

// Images are acknowledged once stored as received; their compression follows.
// A server killed before it compressed them finishes the work at its next
// start, and every file ends in its stored form with the pixels it came with.
TEST(StorageProcess, KilledBeforeCompressingEndsWithEveryFileInItsStoredForm)
{
    ScratchHome scratch;
    const QStringList files = writeSeries(scratch.path("send"), "P600", 60);
    ASSERT_EQ(files.size(), 60);
    auto server = std::make_unique<ServerProcess>(scratch);
    ASSERT_TRUE(server->start());
    const StoreOutcome sent = storeFiles(server->port(), {"+sd", scratch.path("send")});
    server->kill();
    EXPECT_EQ(sent.success, 60) << sent.output.right(2000).toStdString();

    // What a kill leaves at the latest moment: a file as received with its marker.
    const ArchiveCheck acknowledged = checkArchive(scratch.home());
    ASSERT_EQ(acknowledged.images, 60);
    EXPECT_TRUE(acknowledged.missingFiles.isEmpty()) << acknowledged.missingFiles.join('\n').toStdString();
    const QString uid = fileElement(files.first(), 0x08, 0x18);
    QString firstPath;
    {
        QString error;
        auto db = openHomeArchive(scratch.home(), error);
        ASSERT_TRUE(db) << error.toStdString();
        auto rows = db->execute("select Filename from ImageTable where InstanceUID='" + uid + "'", error);
        ASSERT_TRUE(rows && !rows->atEnd());
        firstPath = rows->value(0).toText();
    }
    QFile::remove(firstPath);
    ASSERT_TRUE(QFile::copy(files.first(), firstPath));
    const QString queue = encodeQueueFolder(scratch.home());
    QDir().mkpath(queue);
    QFile marker(queue + "/left-by-a-kill.encode");
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.write(("1.2.840.10008.1.2.4.57\n" + firstPath).toUtf8());
    marker.close();

    ServerProcess restarted(scratch);
    ASSERT_TRUE(restarted.start());
    ASSERT_TRUE(waitUntil([&] { return QDir(queue).entryList({"*.encode"}, QDir::Files).isEmpty(); }, 60000))
        << QDir(queue).entryList().join(' ').toStdString();
    const ArchiveCheck check = checkArchive(scratch.home());
    EXPECT_EQ(check.images, 60);
    EXPECT_TRUE(check.missingFiles.isEmpty()) << check.missingFiles.join('\n').toStdString();
    QString error;
    auto db = openHomeArchive(scratch.home(), error);
    ASSERT_TRUE(db) << error.toStdString();
    auto rows = db->execute("select Filename from ImageTable", error);
    for (; rows && !rows->atEnd(); rows->moveNext())
        EXPECT_EQ(fileTransferSyntax(rows->value(0).toText()), "1.2.840.10008.1.2.4.57") << rows->value(0).toText().toStdString();
    EXPECT_EQ(meanPixelDifference(files.first(), firstPath), 0.0);
    // No half-written file is left beside the stored ones.
    QStringList leftovers;
    for (const QFileInfo &info : QDir(QFileInfo(firstPath).path()).entryInfoList(QDir::Files | QDir::Hidden))
        if (info.fileName().startsWith('.'))
            leftovers << info.fileName();
    EXPECT_TRUE(leftovers.isEmpty()) << leftovers.join(' ').toStdString();
}
