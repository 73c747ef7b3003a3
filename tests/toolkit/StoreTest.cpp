#include "tests/toolkit/ToolkitTestSupport.h"

#include "tests/support/TestSupport.h"

#include "dicom/toolkit/ToolkitEncodeQueue.h"
#include "dicom/toolkit/detail/EarlyWrite.h"
#include "dicom/toolkit/detail/ImageWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <sstream>

#include <gtest/gtest.h>

using namespace pacs::toolkit;
using namespace pacs::toolkit::test;
using pacs::test::waitUntil;

namespace {

const QString kJpegLossless = QStringLiteral("1.2.840.10008.1.2.4.57");

ToolResult store(const ListenerFixture &f, const QStringList &files, const QStringList &extra = {})
{
    QStringList args{QStringLiteral("-v"), QStringLiteral("-aec"), QStringLiteral("ARCHIVE")};
    args << extra << QStringLiteral("127.0.0.1") << f.portText() << files;
    return runTool(QStringLiteral("storescu"), args);
}

bool succeeded(const ToolResult &r) { return r.exitCode == 0 && r.output.contains(QStringLiteral("Store Response (Success)")); }

// Pixel values after decoding, to show that storing lost nothing.
QByteArray decodedPixels(const QString &path)
{
    DcmFileFormat file;
    if (file.loadFile(QFile::encodeName(path).constData()).bad())
        return {};
    DcmDataset *ds = file.getDataset();
    if (ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
        return {};
    const Uint8 *bytes = nullptr;
    unsigned long count = 0;
    DcmElement *element = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, element).bad() || element->getUint8Array(const_cast<Uint8 *&>(bytes)).bad())
        return {};
    count = element->getLength();
    return QByteArray(reinterpret_cast<const char *>(bytes), qsizetype(count));
}

class ToolkitStoreSamples : public ::testing::TestWithParam<SampleKind>
{
};

// The encode queue's marker folder in the fixture's directory for one test,
// and the store folder made; the folder before comes back at the end.
struct QueueFolderForTest
{
    explicit QueueFolderForTest(const ListenerFixture &f)
        : queue(ToolkitEncodeQueue::instance()), previous(queue.folder()), markers(f.path(QStringLiteral("_encode")))
    {
        QDir().mkpath(markers);
        QDir().mkpath(f.events.storeDir);
        queue.setFolder(markers);
    }
    ~QueueFolderForTest() { queue.setFolder(previous); }
    QueueFolderForTest(const QueueFolderForTest &) = delete;
    QueueFolderForTest &operator=(const QueueFolderForTest &) = delete;

    ToolkitEncodeQueue &queue;
    const QString previous;
    const QString markers;
};

} // namespace

TEST_P(ToolkitStoreSamples, AreWrittenAsJpegLosslessWithoutLoss)
{
    ListenerFixture f;
    SampleSpec spec;
    spec.kind = GetParam();
    const QString source = f.path(QStringLiteral("in.dcm"));
    const QString uid = writeSample(source, spec);
    ASSERT_FALSE(uid.isEmpty());

    const ToolResult r = store(f, {source});
    EXPECT_TRUE(succeeded(r)) << r.output.toStdString();
    ASSERT_EQ(f.events.savedPaths.size(), 1);
    const QString stored = f.events.savedPaths.first();
    EXPECT_EQ(fileTransferSyntax(stored), kJpegLossless);
    EXPECT_EQ(decodedPixels(stored), decodedPixels(source));
    EXPECT_EQ(runTool(QStringLiteral("dcmdump"), {stored}).exitCode, 0);
    // Only the finished file is left: no temporary names beside it.
    EXPECT_EQ(QDir(f.events.storeDir).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

INSTANTIATE_TEST_SUITE_P(Samples, ToolkitStoreSamples, ::testing::Values(SampleKind::CT, SampleKind::MR, SampleKind::RGB),
                         [](const ::testing::TestParamInfo<SampleKind> &info) {
                             return std::string(info.param == SampleKind::CT ? "CT" : info.param == SampleKind::MR ? "MR" : "RGB");
                         });

TEST(ToolkitStore, ImageWithoutPixelDataKeepsItsSyntax)
{
    ListenerFixture f;
    SampleSpec spec;
    spec.kind = SampleKind::NoPixels;
    const QString source = f.path(QStringLiteral("in.dcm"));
    ASSERT_FALSE(writeSample(source, spec).isEmpty());
    EXPECT_TRUE(succeeded(store(f, {source})));
    ASSERT_EQ(f.events.savedPaths.size(), 1);
    EXPECT_EQ(fileTransferSyntax(f.events.savedPaths.first()), QStringLiteral("1.2.840.10008.1.2.1"));
}

TEST(ToolkitStore, LossyJpegArrivalIsStoredAsItCame)
{
    ListenerFixture f;
    SampleSpec spec;
    spec.kind = SampleKind::RGB;
    spec.transferSyntax = QStringLiteral("1.2.840.10008.1.2.4.50");
    const QString source = f.path(QStringLiteral("in.dcm"));
    ASSERT_FALSE(writeSample(source, spec).isEmpty());
    const ToolResult r = store(f, {source}, {QStringLiteral("-xy")});
    EXPECT_TRUE(succeeded(r)) << r.output.toStdString();
    ASSERT_EQ(f.events.savedPaths.size(), 1);
    EXPECT_EQ(fileTransferSyntax(f.events.savedPaths.first()), spec.transferSyntax);
}

TEST(ToolkitStore, RleArrivalIsReencodedLosslessly)
{
    ListenerFixture f;
    SampleSpec spec;
    spec.transferSyntax = QStringLiteral("1.2.840.10008.1.2.5");
    const QString source = f.path(QStringLiteral("in.dcm"));
    ASSERT_FALSE(writeSample(source, spec).isEmpty());
    ASSERT_EQ(fileTransferSyntax(source), spec.transferSyntax);
    const ToolResult r = store(f, {source}, {QStringLiteral("-xr")});
    EXPECT_TRUE(succeeded(r)) << r.output.toStdString();
    ASSERT_EQ(f.events.savedPaths.size(), 1);
    EXPECT_EQ(fileTransferSyntax(f.events.savedPaths.first()), kJpegLossless);
    EXPECT_EQ(decodedPixels(f.events.savedPaths.first()), decodedPixels(source));
}

TEST(ToolkitStore, ImageNobodyStoredIsNotAcknowledged)
{
    ListenerFixture f;
    f.events.onImage = [](ToolkitConnection &, ToolkitImage &) {}; // e.g. a check that ends without a status
    const QString source = f.path(QStringLiteral("in.dcm"));
    ASSERT_FALSE(writeSample(source, {}).isEmpty());
    const ToolResult r = store(f, {source});
    EXPECT_FALSE(r.output.contains(QStringLiteral("Store Response (Success)"))) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains(QStringLiteral("Store Response (Error"))) << r.output.toStdString();
    EXPECT_EQ(f.events.receivedUids.size(), 1);
}

TEST(ToolkitStore, TheLastStatusSetIsTheAnswer)
{
    ListenerFixture f;
    f.events.onImage = [](ToolkitConnection &connection, ToolkitImage &) {
        connection.setStatus(0xA700);
        connection.setStatus(0xB000);
    };
    const QString source = f.path(QStringLiteral("in.dcm"));
    ASSERT_FALSE(writeSample(source, {}).isEmpty());
    const ToolResult r = store(f, {source});
    EXPECT_TRUE(r.output.contains(QStringLiteral("Warning"), Qt::CaseInsensitive)) << r.output.toStdString();
}

TEST(ToolkitStore, HandlerSeesPropertiesAndItsChangesAreStored)
{
    ListenerFixture f;
    QString patientId, name, accession, birthText;
    QVariant birth, studyDate;
    f.events.onImage = [&](ToolkitConnection &connection, ToolkitImage &image) {
        patientId = image.patientId();
        name = image.patientName();
        accession = image.accessionNumber();
        birth = image.birthDate();
        studyDate = image.attributeSet().findAttribute(0x0008, 0x0020).attributeValue();
        birthText = image.attributeSet().findAttribute(0x0010, 0x0030).attributeText();
        image.setPatientId(QStringLiteral("t04718263"));
        connection.setUserTag(image.instanceUid());
        connection.saveImageAsync(image, f.events.storeDir + QLatin1Char('/') + image.instanceUid() + QStringLiteral(".dcm"),
                                  true, kJpegLossless);
    };
    const QString source = f.path(QStringLiteral("in.dcm"));
    ASSERT_FALSE(writeSample(source, {}).isEmpty());
    EXPECT_TRUE(succeeded(store(f, {source})));
    EXPECT_EQ(patientId, QStringLiteral("P001"));
    EXPECT_EQ(name, QStringLiteral("DOE^JOHN"));
    EXPECT_EQ(accession, QStringLiteral("ACC1"));
    EXPECT_EQ(birth.toDate(), QDate(1980, 1, 2));
    EXPECT_EQ(birthText, QStringLiteral("1/2/1980"));
    EXPECT_EQ(studyDate.toDate(), QDate(2024, 1, 15));

    ASSERT_EQ(f.events.savedPaths.size(), 1);
    ToolkitImage stored;
    ASSERT_TRUE(stored.readFile(f.events.savedPaths.first()));
    EXPECT_EQ(stored.patientId(), QStringLiteral("t04718263"));
}

// A save that writes the image itself (the handler changed it, so the copy
// compressed beside the handler does not serve): while the compression keeps
// up, it writes the image as received and leaves a marker for the workers;
// once they are behind, it compresses first and leaves no marker at all.
TEST(ToolkitStore, SavesCompressFirstOnceTheDeferredCompressionIsBehind)
{
    ListenerFixture f;
    QueueFolderForTest folder(f);
    ToolkitEncodeQueue &queue = folder.queue;
    const QString &markers = folder.markers;
    const int previousLimit = queue.backlogLimit();
    f.events.onImage = [&](ToolkitConnection &connection, ToolkitImage &image) {
        image.setPatientId(QStringLiteral("CHANGED^ID"));
        connection.setUserTag(image.instanceUid());
        connection.saveImageAsync(image, f.events.storeDir + QLatin1Char('/') + image.instanceUid() + QStringLiteral(".dcm"),
                                  true, kJpegLossless);
    };
    auto sendOne = [&](const QString &name) {
        const QString source = f.path(name);
        EXPECT_FALSE(writeSample(source, {}).isEmpty());
        const ToolResult r = store(f, {source});
        EXPECT_TRUE(succeeded(r)) << r.output.toStdString();
    };

    queue.setBacklogLimit(0); // as if the workers had a backlog already
    sendOne(QStringLiteral("first.dcm"));
    ASSERT_EQ(f.events.savedPaths.size(), 1);
    EXPECT_EQ(fileTransferSyntax(f.events.savedPaths.last()), kJpegLossless) << "compressed before the answer";
    EXPECT_TRUE(QDir(markers).isEmpty()) << QDir(markers).entryList(QDir::Files).join(' ').toStdString();

    queue.setBacklogLimit(previousLimit);
    sendOne(QStringLiteral("second.dcm"));
    ASSERT_EQ(f.events.savedPaths.size(), 2);
    EXPECT_FALSE(QDir(markers).isEmpty()) << "the compression was left to the workers";
    EXPECT_TRUE(queue.waitIdle(60000));
    EXPECT_EQ(fileTransferSyntax(f.events.savedPaths.last()), kJpegLossless);
}

TEST(ToolkitStore, ManyImagesOverSeveralAssociationsAtOnce)
{
    ListenerFixture f;
    QStringList files;
    for (int i = 0; i < 6; ++i) {
        const QString path = f.path(QStringLiteral("in%1.dcm").arg(i));
        ASSERT_FALSE(writeSample(path, {}).isEmpty());
        files << path;
    }
    auto first = std::make_unique<ToolProcess>(QStringLiteral("storescu"),
        QStringList{QStringLiteral("-aec"), QStringLiteral("ARCHIVE"), QStringLiteral("127.0.0.1"), f.portText()} + files.mid(0, 3));
    auto second = std::make_unique<ToolProcess>(QStringLiteral("storescu"),
        QStringList{QStringLiteral("-aec"), QStringLiteral("ARCHIVE"), QStringLiteral("127.0.0.1"), f.portText()} + files.mid(3));
    ASSERT_TRUE(waitUntil([&] { return first->finished() && second->finished(); }, 60000));
    EXPECT_EQ(first->result().exitCode, 0);
    EXPECT_EQ(second->result().exitCode, 0);
    EXPECT_EQ(f.events.savedPaths.size(), 6);
    EXPECT_FALSE(f.events.offMainThread);
}

TEST(ToolkitStore, FailedSaveIsReportedAndNotAcknowledged)
{
    ListenerFixture f;
    f.events.storeDir = QStringLiteral("/proc/no-such-place"); // cannot be created
    const QString source = f.path(QStringLiteral("in.dcm"));
    ASSERT_FALSE(writeSample(source, {}).isEmpty());
    const ToolResult r = store(f, {source});
    EXPECT_FALSE(r.output.contains(QStringLiteral("Store Response (Success)"))) << r.output.toStdString();
    ASSERT_EQ(f.events.completions.size(), 1);
    EXPECT_EQ(f.events.completions.first().action, QStringLiteral("SaveImage"));
    EXPECT_FALSE(f.events.completions.first().success);
    EXPECT_FALSE(f.events.completions.first().error.isEmpty());
}

// A save started by the handler writes at once, beside the handler's own
// work, but its file appears only after the handler has returned; a handler
// that refuses the image leaves no file and no marker, and the sender does
// not hear "stored".
TEST(ToolkitStore, HandlerSavesArePlacedOnlyAfterTheHandlerAndNotWhenItRefuses)
{
    ListenerFixture f;
    QueueFolderForTest folder(f);
    ToolkitEncodeQueue &queue = folder.queue;
    const QString &markers = folder.markers;
    bool refuse = false;
    bool writtenDuringHandler = false, placedDuringHandler = true;
    QString path;
    f.events.onImage = [&](ToolkitConnection &connection, ToolkitImage &image) {
        path = f.events.storeDir + QLatin1Char('/') + image.instanceUid() + QStringLiteral(".dcm");
        connection.setUserTag(image.instanceUid());
        connection.saveImageAsync(image, path, true, kJpegLossless);
        // The temporary file shows the write under way (beside its place, or
        // written before the handler ran, beside the markers); its name stays free.
        writtenDuringHandler = waitUntil([&] {
            return !QDir(f.events.storeDir).entryList({QStringLiteral(".*.dcm.*")}, QDir::Files | QDir::Hidden).isEmpty()
                   || !QDir(markers).entryList({QStringLiteral(".*.dcm.*")}, QDir::Files | QDir::Hidden).isEmpty();
        });
        placedDuringHandler = QFileInfo::exists(path);
        if (refuse)
            connection.setStatus(0xA700);
    };
    const QString source = f.path(QStringLiteral("in.dcm"));
    ASSERT_FALSE(writeSample(source, {}).isEmpty());

    ToolResult r = store(f, {source});
    EXPECT_TRUE(succeeded(r)) << r.output.toStdString();
    EXPECT_TRUE(writtenDuringHandler);
    EXPECT_FALSE(placedDuringHandler);
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_TRUE(queue.waitIdle(60000));

    refuse = true;
    ASSERT_TRUE(QFile::remove(path));
    f.events.completions.clear();
    r = store(f, {source});
    EXPECT_FALSE(r.output.contains(QStringLiteral("Store Response (Success)"))) << r.output.toStdString();
    EXPECT_TRUE(writtenDuringHandler);
    ASSERT_TRUE(waitUntil([&] { return !f.events.completions.isEmpty(); }));
    EXPECT_FALSE(f.events.completions.first().success);
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_TRUE(QDir(f.events.storeDir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty())
        << QDir(f.events.storeDir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot).join(' ').toStdString();
    EXPECT_TRUE(QDir(markers).entryList({QStringLiteral("*.encode")}, QDir::Files).isEmpty());
    EXPECT_TRUE(QDir(markers).entryList({QStringLiteral(".*.dcm.*")}, QDir::Files | QDir::Hidden).isEmpty());
}

// A received image is compressed and written while its handler runs, from
// a copy taken before; the handler's save puts that file in place only while
// the image is as it arrived.
TEST(ToolkitStore, AFileWrittenBeforeTheHandlerIsUsedOnlyForTheImageAsItArrived)
{
    ListenerFixture f;
    QueueFolderForTest folder(f);
    ToolkitEncodeQueue &queue = folder.queue;
    const QString &markers = folder.markers;
    auto earlyFiles = [&] { return QDir(markers).entryList({QStringLiteral(".incoming.dcm.*")}, QDir::Files | QDir::Hidden); };

    enum class Handler { Unchanged, Edited, NotSaved } handler = Handler::Unchanged;
    bool writtenDuringHandler = false;
    QString path;
    f.events.onImage = [&](ToolkitConnection &connection, ToolkitImage &image) {
        writtenDuringHandler = waitUntil([&] { return !earlyFiles().isEmpty(); });
        path = f.events.storeDir + QLatin1Char('/') + image.instanceUid() + QStringLiteral(".dcm");
        connection.setUserTag(image.instanceUid());
        if (handler == Handler::NotSaved)
            return;
        if (handler == Handler::Edited)
            image.setPatientId(QStringLiteral("EDITED^ID"));
        connection.saveImageAsync(image, path, true, kJpegLossless);
    };
    const QString source = f.path(QStringLiteral("in.dcm"));
    ASSERT_FALSE(writeSample(source, {}).isEmpty());
    ToolkitImage original;
    ASSERT_TRUE(original.readFile(source));

    for (Handler kind : {Handler::Unchanged, Handler::Edited}) {
        handler = kind;
        f.events.completions.clear();
        ToolResult r = store(f, {source});
        EXPECT_TRUE(succeeded(r)) << r.output.toStdString();
        EXPECT_TRUE(writtenDuringHandler);
        ASSERT_TRUE(waitUntil([&] { return !f.events.completions.isEmpty(); }));
        EXPECT_TRUE(f.events.completions.first().success);
        // The file written beside the handler is in its stored form already.
        if (kind == Handler::Unchanged) {
            EXPECT_EQ(fileTransferSyntax(path), kJpegLossless);
        }
        EXPECT_TRUE(queue.waitIdle(60000));
        ToolkitImage stored;
        ASSERT_TRUE(stored.readFile(path));
        EXPECT_EQ(fileTransferSyntax(path), kJpegLossless);
        EXPECT_EQ(decodedPixels(path), decodedPixels(source));
        EXPECT_EQ(stored.patientId(), kind == Handler::Edited ? QStringLiteral("EDITED^ID") : original.patientId());
        EXPECT_EQ(stored.patientName(), original.patientName());
        EXPECT_TRUE(earlyFiles().isEmpty()) << earlyFiles().join(' ').toStdString();
        ASSERT_TRUE(QFile::remove(path));
    }

    // Never saved: the early file goes with the image.
    handler = Handler::NotSaved;
    ToolResult r = store(f, {source});
    EXPECT_TRUE(writtenDuringHandler);
    EXPECT_TRUE(waitUntil([&] { return earlyFiles().isEmpty(); })) << earlyFiles().join(' ').toStdString();
    EXPECT_FALSE(QFileInfo::exists(path));

    // What a killed process of this host left is removed when the queue
    // resumes; what a running one (this one, or another node's) writes stays.
    QProcess gone;
    gone.start(QStringLiteral("true"));
    ASSERT_TRUE(gone.waitForStarted());
    const qint64 gonePid = gone.processId();
    ASSERT_TRUE(gone.waitForFinished());
    const QString host = QString::fromLatin1(QSysInfo::machineUniqueId().left(12));
    const QString stale = QStringLiteral(".incoming.dcm.") + host + QLatin1Char('-') + QString::number(gonePid) + QStringLiteral(".AbC123");
    const QString running = QStringLiteral(".incoming.dcm.") + pacs::toolkit::detail::temporaryFileTag() + QStringLiteral(".DeF456");
    const QString otherNode = QStringLiteral(".1_2_3.dcm.000000000000-1.GhI789");
    for (const QString &name : {stale, running, otherNode}) {
        QFile file(markers + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    queue.resume(markers);
    const QStringList left = QDir(markers).entryList(QDir::Files | QDir::Hidden);
    EXPECT_FALSE(left.contains(stale)) << left.join(' ').toStdString();
    EXPECT_TRUE(left.contains(running));
    EXPECT_TRUE(left.contains(otherNode));
}

// A received image is compressed beside its handler from a copy, which for a
// 16-bit greyscale image leaves out the pixel data and codes the received
// cells in place (seen here by changing a cell after the copy was taken).
// Either way the file is the one the save itself would write of the image,
// byte for byte, and taking the copy leaves the received image as it was.
TEST(ToolkitStore, TheFileWrittenBesideTheHandlerIsTheOneTheSaveWouldWrite)
{
    ListenerFixture f;
    QueueFolderForTest folder(f);
    auto printed = [](DcmFileFormat &file) {
        std::ostringstream out;
        file.getDataset()->print(out, DCMTypes::PF_showTreeStructure);
        return out.str();
    };
    auto bytesOf = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    auto savesOwnWrite = [&](DcmFileFormat &image, const QString &name) {
        DcmFileFormat copy(image);
        detail::TempDicomFile temp;
        QString error;
        EXPECT_TRUE(detail::writeTempDicomFile(copy, EXS_LittleEndianExplicit, folder.markers, f.path(name),
                                               detail::kArchiveSyntax, false, temp, error))
            << error.toStdString();
        return bytesOf(temp.path);
    };
    struct Case
    {
        const char *name;
        SampleKind kind;
        bool icon;    // a second pixel data element, in an icon image
        bool inPlace; // else copied whole
    };
    for (const Case &c : {Case{"CT", SampleKind::CT, false, true}, Case{"MR", SampleKind::MR, false, true},
                          Case{"MultiFrame (8 bits)", SampleKind::MultiFrame, false, false},
                          Case{"RGB", SampleKind::RGB, false, false}, Case{"CT with icon", SampleKind::CT, true, false}}) {
        SCOPED_TRACE(c.name);
        SampleSpec spec;
        spec.kind = c.kind;
        const QString source = f.path(QStringLiteral("source.dcm"));
        ASSERT_FALSE(writeSample(source, spec).isEmpty());
        DcmFileFormat received;
        ASSERT_TRUE(received.loadFile(QFile::encodeName(source).constData()).good());
        ASSERT_TRUE(received.loadAllDataIntoMemory().good());
        if (c.icon) {
            auto *icon = new DcmItem;
            icon->putAndInsertUint16(DCM_SamplesPerPixel, 1);
            icon->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
            icon->putAndInsertUint16(DCM_Rows, 2);
            icon->putAndInsertUint16(DCM_Columns, 2);
            icon->putAndInsertUint16(DCM_BitsAllocated, 8);
            icon->putAndInsertUint16(DCM_BitsStored, 8);
            icon->putAndInsertUint16(DCM_HighBit, 7);
            icon->putAndInsertUint16(DCM_PixelRepresentation, 0);
            icon->putAndInsertUint8Array(DCM_PixelData, reinterpret_cast<const Uint8 *>("\1\2\3\4"), 4);
            ASSERT_TRUE(received.getDataset()->insertSequenceItem(DCM_IconImageSequence, icon).good());
        }
        const std::string before = printed(received);
        const QByteArray asReceived = savesOwnWrite(received, QStringLiteral("as-received.dcm"));

        std::shared_ptr<detail::EarlyWrite> early = detail::EarlyWrite::start(received, EXS_LittleEndianExplicit);
        ASSERT_TRUE(early);
        EXPECT_EQ(printed(received), before) << "taking the copy changed the received image";
        DcmElement *pixels = nullptr;
        Uint8 *cells = nullptr;
        ASSERT_TRUE(received.getDataset()->findAndGetElement(DCM_PixelData, pixels).good());
        ASSERT_TRUE(pixels->getUint8Array(cells).good() && cells);
        cells[0] ^= 0x01;
        const QByteArray changed = savesOwnWrite(received, QStringLiteral("changed.dcm"));
        ASSERT_NE(changed, asReceived);

        early->write();
        detail::TempDicomFile written;
        QString error;
        ASSERT_TRUE(early->takeWritten(written, error)) << error.toStdString();
        const QByteArray ours = bytesOf(written.path);
        EXPECT_FALSE(ours.isEmpty());
        EXPECT_TRUE(ours == (c.inPlace ? changed : asReceived)) << ours.size() << " bytes";
        EXPECT_EQ(fileTransferSyntax(written.path), kJpegLossless);
    }
}
