#include "tests/reliability/ArchiveUnderTest.h"
#include "tests/reliability/ScenarioTable.h"
#include "tests/reliability/SendBatch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <functional>

#include <gtest/gtest.h>

using namespace pacs::test;

namespace {

bool setImmutable(const QString &path, bool on)
{
    QStringList args;
    if (QFileInfo(path).isDir())
        args << QStringLiteral("-R");
    args << (on ? QStringLiteral("+i") : QStringLiteral("-i")) << path;
    QProcess chattr;
    chattr.setProcessChannelMode(QProcess::MergedChannels);
    chattr.start(QStringLiteral("chattr"), args);
    return chattr.waitForFinished(20000) && chattr.exitStatus() == QProcess::NormalExit && chattr.exitCode() == 0;
}

// Images before, during and after a fault: those during may fail but never be
// answered with success and then lost; the server lives on and stores again
// once the fault is mended.
void survive(const QString &scenario, int uidBase, const std::function<bool(ArchiveUnderTest &)> &apply,
             const std::function<void(ArchiveUnderTest &)> &mend)
{
    ArchiveUnderTest archive;
    ASSERT_TRUE(archive.start()) << archive.output().toStdString();
    const QString root = QStringLiteral("1.2.826.0.1.3680043.10.%1").arg(uidBase);
    SendBatch before(archive.path(QStringLiteral("before")), QStringLiteral("P%1").arg(uidBase), root + QStringLiteral(".1"), 2);
    ASSERT_EQ(archive.send(before).successes(), 2);

    if (!apply(archive)) {
        mend(archive);
        GTEST_SKIP() << "the fault cannot be made here (needs chattr +i on this file system)";
    }
    SendBatch during(archive.path(QStringLiteral("during")), QStringLiteral("P%1").arg(uidBase), root + QStringLiteral(".2"), 3);
    StoreRun &failing = archive.send(during);
    const int answeredDuring = failing.successes() + failing.failures();
    mend(archive);
    ASSERT_TRUE(archive.isRunning()) << archive.output().right(3000).toStdString();
    EXPECT_EQ(failing.successes(), 0) << failing.output().toStdString();
    EXPECT_EQ(answeredDuring, 3) << "every store answered, the association kept: " << failing.output().toStdString();

    SendBatch after(archive.path(QStringLiteral("after")), QStringLiteral("P%1").arg(uidBase), root + QStringLiteral(".3"), 3);
    EXPECT_EQ(archive.send(after).successes(), 3) << archive.output().right(3000).toStdString();
    EXPECT_TRUE(archive.echo());

    const ArchiveAudit audit = archive.audit();
    EXPECT_TRUE(audit.clean()) << audit.describe().toStdString();
    EXPECT_EQ(audit.stored, 5) << audit.describe().toStdString();
    ScenarioTable::record(QStringLiteral("Fault survived"), scenario,
                          QStringLiteral("3 stores during the fault, %1 refused").arg(failing.failures()), audit);
}

QString indexFile(const ArchiveUnderTest &a) { return a.home() + QStringLiteral("/archive.db-shm"); }
QString walFile(const ArchiveUnderTest &a) { return a.home() + QStringLiteral("/archive.db-wal"); }
QString imagesFolder(const ArchiveUnderTest &a) { return a.home() + QStringLiteral("/IMAGES"); }

} // namespace

TEST(StorageFaults, AnImmutableIndexFileFailsStoresWithoutACrash)
{
    survive(QStringLiteral("archive.db-shm made immutable"), 710,
            [](ArchiveUnderTest &a) { return QFileInfo::exists(indexFile(a)) && setImmutable(indexFile(a), true); },
            [](ArchiveUnderTest &a) { setImmutable(indexFile(a), false); });
}

TEST(StorageFaults, AnImmutableWriteAheadLogFailsStoresWithoutACrash)
{
    survive(QStringLiteral("archive.db-wal made immutable"), 720,
            [](ArchiveUnderTest &a) { return QFileInfo::exists(walFile(a)) && setImmutable(walFile(a), true); },
            [](ArchiveUnderTest &a) { setImmutable(walFile(a), false); });
}

TEST(StorageFaults, AnImmutableImageTreeFailsStoresWithoutACrash)
{
    survive(QStringLiteral("image folder tree made immutable"), 730,
            [](ArchiveUnderTest &a) { return setImmutable(imagesFolder(a), true); },
            [](ArchiveUnderTest &a) { setImmutable(imagesFolder(a), false); });
}

TEST(StorageFaults, AnImageFolderReplacedByAFileFailsStoresWithoutACrash)
{
    survive(QStringLiteral("image folder replaced by a file"), 740,
            [](ArchiveUnderTest &a) {
                if (!QDir().rename(imagesFolder(a), imagesFolder(a) + QStringLiteral(".away")))
                    return false;
                QFile blocker(imagesFolder(a));
                return blocker.open(QIODevice::WriteOnly) && blocker.write("not a folder") > 0;
            },
            [](ArchiveUnderTest &a) {
                QFile::remove(imagesFolder(a));
                QDir().rename(imagesFolder(a) + QStringLiteral(".away"), imagesFolder(a));
            });
}

TEST(StorageFaults, ADatabaseMovedAwayFailsStoresWithoutACrash)
{
    survive(QStringLiteral("archive.db moved away"), 750,
            [](ArchiveUnderTest &a) { return QFile::rename(a.home() + "/archive.db", a.home() + "/archive.db.away"); },
            [](ArchiveUnderTest &a) { QFile::rename(a.home() + "/archive.db.away", a.home() + "/archive.db"); });
}
