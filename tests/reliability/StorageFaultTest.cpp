#include "tests/reliability/ArchiveUnderTest.h"
#include "tests/reliability/ScenarioTable.h"
#include "tests/reliability/SendBatch.h"
#include "db/SqliteBackend.h"
#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"
#include "tests/support/Peers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <vector>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

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

// How one fault is made and mended, and what the stores during it may do.
struct Fault
{
    QString scenario;
    int uidBase = 0;
    std::function<bool(ArchiveUnderTest &)> apply;
    std::function<void(ArchiveUnderTest &)> mend;
    std::function<bool(ArchiveUnderTest &)> prepare = [](ArchiveUnderTest &) { return true; }; // before the start
    int during = 3;
    // Where the fault may not touch the store's path (a database whose log
    // still has room), stores during it may succeed; they must then be kept.
    bool mayStoreDuring = false;
    QString logged; // a text the server's log must name during the fault
    // After the audit, while the home folder still exists (a volume mounted on it).
    std::function<void()> finish = [] {};
};

// Images before, during and after a fault: those during may fail but never be
// answered with success and then lost; the server lives on and stores again
// once the fault is mended.
void survive(const Fault &fault)
{
    ArchiveUnderTest archive;
    QTemporaryDir samples; // off the volumes a fault fills
    const auto folder = [&](const char *name) { return samples.filePath(QString::fromLatin1(name)); };
    if (!samples.isValid() || !fault.prepare(archive))
        GTEST_SKIP() << "the fault cannot be made here (needs root: chattr +i or a tmpfs mount)";
    ASSERT_TRUE(archive.start()) << archive.output().toStdString();
    const QString root = QStringLiteral("1.2.826.0.1.3680043.10.%1").arg(fault.uidBase);
    const QString patient = QStringLiteral("P%1").arg(fault.uidBase);
    SendBatch before(folder("before"), patient, root + QStringLiteral(".1"), 2);
    ASSERT_EQ(archive.send(before).successes(), 2);
    // Compression of the first images done, so the fault meets only the stores.
    ASSERT_TRUE(waitUntil([&] { return QDir(archive.storageRoot() + "/IMAGES/_encode").entryList({"*.encode"}).isEmpty(); }, 60000));

    if (!fault.apply(archive)) {
        fault.mend(archive);
        GTEST_SKIP() << "the fault cannot be made here (needs chattr +i on this file system)";
    }
    SendBatch during(folder("during"), patient, root + QStringLiteral(".2"), fault.during);
    StoreRun &failing = archive.send(during);
    const int answeredDuring = failing.successes() + failing.failures();
    const QString logDuring = archive.output();
    fault.mend(archive);
    ASSERT_TRUE(archive.isRunning()) << archive.output().right(3000).toStdString();
    if (!fault.mayStoreDuring) {
        EXPECT_EQ(failing.successes(), 0) << failing.output().toStdString();
    }
    EXPECT_EQ(answeredDuring, fault.during) << "every store answered, the association kept: " << failing.output().toStdString();
    if (!fault.logged.isEmpty() && failing.failures() > 0) {
        EXPECT_TRUE(logDuring.contains(fault.logged)) << logDuring.right(3000).toStdString();
    }

    SendBatch after(folder("after"), patient, root + QStringLiteral(".3"), 3);
    EXPECT_EQ(archive.send(after).successes(), 3) << archive.output().right(3000).toStdString();
    EXPECT_TRUE(archive.echo());

    const ArchiveAudit audit = archive.audit();
    EXPECT_TRUE(audit.clean()) << audit.describe().toStdString();
    EXPECT_EQ(audit.stored, 5 + failing.successes()) << audit.describe().toStdString();
    ScenarioTable::record(QStringLiteral("Fault survived"), fault.scenario,
                          QStringLiteral("%1 store%2 during the fault, %3 refused").arg(fault.during).arg(fault.during == 1 ? "" : "s").arg(failing.failures()),
                          audit);
    fault.finish();
}

void survive(const QString &scenario, int uidBase, const std::function<bool(ArchiveUnderTest &)> &apply,
             const std::function<void(ArchiveUnderTest &)> &mend)
{
    Fault fault;
    fault.scenario = scenario;
    fault.uidBase = uidBase;
    fault.apply = apply;
    fault.mend = mend;
    survive(fault);
}

// A small tmpfs mounted on a folder for the test's lifetime (lazily
// unmounted, so a file the server still holds open does not keep it).
class SmallVolume
{
public:
    bool mount(const QString &folder, const QString &size)
    {
        QDir().mkpath(folder);
        if (runTool(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", folder}, 20000).exitCode != 0)
            return false;
        m_folder = folder;
        return true;
    }
    ~SmallVolume() { unmount(); }
    void unmount()
    {
        if (!m_folder.isEmpty())
            runTool(QStringLiteral("umount"), {QStringLiteral("-l"), m_folder}, 20000);
        m_folder.clear();
    }
    // Takes every byte left with a filler file; removing it mends the volume.
    bool fill()
    {
        QFile filler(filler_path());
        if (!filler.open(QIODevice::WriteOnly))
            return false;
        const QByteArray block(64 * 1024, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        const QByteArray byte(1, 'x');
        while (filler.write(byte) == 1 && filler.flush()) {
        }
        return true;
    }
    void empty() { QFile::remove(filler_path()); }

private:
    QString filler_path() const { return m_folder + QStringLiteral("/filler"); }
    QString m_folder;
};

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

TEST(StorageFaults, AFullStorageVolumeFailsStoresWithoutACrash)
{
    QTemporaryDir storage;
    SmallVolume volume;
    Fault fault;
    fault.scenario = QStringLiteral("storage volume full");
    fault.uidBase = 760;
    fault.prepare = [&](ArchiveUnderTest &archive) {
        if (!storage.isValid() || !volume.mount(storage.path(), QStringLiteral("8m")))
            return false;
        archive.useStorageRoot(storage.path());
        return true;
    };
    fault.apply = [&](ArchiveUnderTest &) { return volume.fill(); };
    fault.mend = [&](ArchiveUnderTest &) { volume.empty(); };
    fault.logged = QStringLiteral("no space left on the storage volume");
    survive(fault);
}

// The database on its own volume, which fills up. Should the write-ahead log
// still have room for a store (a checkpoint the server's own reader held
// back), that store may succeed; whatever is answered is kept.
TEST(StorageFaults, AFullDatabaseVolumeFailsStoresWithoutACrash)
{
    QTemporaryDir storage;
    SmallVolume volume;
    Fault fault;
    fault.scenario = QStringLiteral("database volume full");
    fault.uidBase = 770;
    fault.prepare = [&](ArchiveUnderTest &archive) {
        if (!storage.isValid() || !volume.mount(archive.home(), QStringLiteral("16m")))
            return false;
        archive.useStorageRoot(storage.path());
        return true;
    };
    // The log emptied first, so the next write has to grow it.
    fault.apply = [&](ArchiveUnderTest &archive) {
        QString error;
        archive.execute(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"), error);
        return volume.fill();
    };
    fault.mend = [&](ArchiveUnderTest &) { volume.empty(); };
    fault.finish = [&] { volume.unmount(); };
    fault.mayStoreDuring = true;
    fault.logged = QStringLiteral("database or disk is full");
    survive(fault);
}

// Another program holds the database's write lock longer than the server
// waits for it: stores are refused (never acknowledged), the server answers
// every one, and stores again once the lock is gone.
TEST(StorageFaults, ADatabaseLockedByAnotherProgramFailsStoresWithoutACrash)
{
    auto holder = std::make_shared<pacs::db::SqliteBackend>();
    Fault fault;
    fault.scenario = QStringLiteral("database write-locked by another program");
    fault.uidBase = 780;
    fault.during = 1;
    fault.apply = [holder](ArchiveUnderTest &archive) {
        QString error;
        return holder->openFile(archive.home() + QStringLiteral("/archive.db"), false, error)
               && holder->executeScript(QStringLiteral("BEGIN EXCLUSIVE"), error);
    };
    fault.mend = [holder](ArchiveUnderTest &) {
        QString error;
        holder->executeScript(QStringLiteral("ROLLBACK"), error);
        holder->close();
    };
    survive(fault);
}

namespace {
DcmFileFormat smallSlice()
{
    DcmFileFormat file;
    DcmDataset *ds = file.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.2");
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.0.1.3680043.10.790.1");
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertUint16(DCM_Rows, 32);
    ds->putAndInsertUint16(DCM_Columns, 32);
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 12);
    ds->putAndInsertUint16(DCM_HighBit, 11);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    std::vector<Uint16> pixels(32 * 32);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = Uint16((i * 7) & 0x0FFF);
    ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), Uint32(pixels.size()));
    return file;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

// A file smaller than a write buffer, written to a full volume: the write
// fails, and the compressed form that does not fit never replaces the image
// already stored. (The last buffered bytes used to be lost unnoticed, and an
// empty file took the stored image's place.)
TEST(StorageFaults, AWriteToAFullVolumeFailsAndLeavesTheStoredFileWhole)
{
    pacs::toolkit::detail::initializeRuntime();
    QTemporaryDir storage;
    SmallVolume volume;
    if (!storage.isValid() || !volume.mount(storage.path(), QStringLiteral("1m")))
        GTEST_SKIP() << "needs a tmpfs mount (root)";
    using namespace pacs::toolkit::detail;
    const QString path = storage.filePath(QStringLiteral("IMAGES/one.dcm"));
    DcmFileFormat received = smallSlice();
    ASSERT_TRUE(writeDicomFile(received, EXS_LittleEndianExplicit, path, EXS_LittleEndianExplicit).ok);
    const QByteArray stored = contentOf(path);
    ASSERT_GT(stored.size(), 2048);
    ASSERT_TRUE(volume.fill());

    for (E_TransferSyntax target : {EXS_JPEGProcess14, EXS_LittleEndianExplicit}) {
        const FileIdentity read = FileIdentity::of(path);
        DcmFileFormat again = smallSlice();
        const WriteOutcome outcome = writeDicomFile(again, EXS_LittleEndianExplicit, path, target, {}, &read);
        EXPECT_FALSE(outcome.ok) << "target " << int(target);
        EXPECT_TRUE(outcome.error.contains(QStringLiteral("no space left"))) << outcome.error.toStdString();
        EXPECT_EQ(contentOf(path), stored) << "target " << int(target);
    }
    EXPECT_EQ(QDir(storage.filePath(QStringLiteral("IMAGES"))).entryList(QDir::Files | QDir::Hidden).size(), 1);
    volume.empty();
}
