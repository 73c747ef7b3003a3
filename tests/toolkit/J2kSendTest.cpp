// JPEG 2000 on outgoing C-STORE sub-operations: what arrives at DCMTK's
// storescp/getscu, decoded independently by gdcmconv and compared with the
// pixels that were sent.

#include "ToolkitTestSupport.h"

#include "TestSupport.h"
#include "toolkit/ToolkitUtility.h"
#include "toolkit/detail/ImageWriter.h"
#include "toolkit/detail/J2kCodec.h"

#include <QDir>
#include <QFile>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace pacs::toolkit;
using namespace pacs::toolkit::test;
using pacs::test::waitUntil;

namespace {

const QString kLocal = QStringLiteral("127.0.0.1");
const QString kJ2k = QStringLiteral("1.2.840.10008.1.2.4.91");

// Pixel values of an uncompressed file, samples interleaved, sign applied.
struct Pixels
{
    bool ok = false;
    QString error;
    int rows = 0, columns = 0, samples = 0, frames = 1, bitsStored = 0;
    QString photometric;
    std::vector<int> values;
};

Pixels readPixels(const QString &path)
{
    Pixels p;
    DcmFileFormat file;
    if (file.loadFile(QFile::encodeName(path).constData()).bad()) {
        p.error = QStringLiteral("unreadable: ") + path;
        return p;
    }
    DcmDataset *ds = file.getDataset();
    if (!DcmXfer(ds->getOriginalXfer()).isNotEncapsulated()) {
        p.error = QStringLiteral("still compressed: ") + path;
        return p;
    }
    Uint16 rows = 0, cols = 0, spp = 0, alloc = 0, stored = 0, repr = 0, planar = 0;
    ds->findAndGetUint16(DCM_Rows, rows);
    ds->findAndGetUint16(DCM_Columns, cols);
    ds->findAndGetUint16(DCM_SamplesPerPixel, spp);
    ds->findAndGetUint16(DCM_BitsAllocated, alloc);
    ds->findAndGetUint16(DCM_BitsStored, stored);
    ds->findAndGetUint16(DCM_PixelRepresentation, repr);
    ds->findAndGetUint16(DCM_PlanarConfiguration, planar);
    Sint32 frames = 1;
    ds->findAndGetSint32(DCM_NumberOfFrames, frames);
    OFString photometric;
    ds->findAndGetOFString(DCM_PhotometricInterpretation, photometric);
    p.rows = rows;
    p.columns = cols;
    p.samples = spp;
    p.frames = frames > 0 ? frames : 1;
    p.bitsStored = stored;
    p.photometric = QString::fromLatin1(photometric.c_str());
    const size_t perFrame = size_t(rows) * cols * spp;
    const size_t total = perFrame * size_t(p.frames);
    const unsigned mask = (1u << stored) - 1u;
    auto value = [&](unsigned raw) {
        raw &= mask;
        return repr && (raw >> (stored - 1)) ? int(raw) - int(mask) - 1 : int(raw);
    };
    p.values.resize(total);
    if (alloc == 16) {
        const Uint16 *words = nullptr;
        if (ds->findAndGetUint16Array(DCM_PixelData, words).bad() || !words) {
            p.error = QStringLiteral("no pixel data");
            return p;
        }
        for (size_t i = 0; i < total; ++i)
            p.values[i] = value(words[i]);
    } else {
        const Uint8 *bytes = nullptr;
        if (ds->findAndGetUint8Array(DCM_PixelData, bytes).bad() || !bytes) {
            p.error = QStringLiteral("no pixel data");
            return p;
        }
        const size_t plane = size_t(rows) * cols;
        for (size_t i = 0; i < total; ++i) {
            size_t from = i;
            if (spp == 3 && planar == 1) { // to interleaved
                const size_t frame = i / perFrame, within = i % perFrame;
                from = frame * perFrame + (within % 3) * plane + within / 3;
            }
            p.values[i] = value(bytes[from]);
        }
    }
    p.ok = true;
    return p;
}

struct Difference
{
    double rms = 0;
    int maxAbs = 0;
};

Difference compare(const Pixels &a, const Pixels &b)
{
    Difference d;
    double sum = 0;
    for (size_t i = 0; i < a.values.size() && i < b.values.size(); ++i) {
        const int diff = std::abs(a.values[i] - b.values[i]);
        d.maxAbs = std::max(d.maxAbs, diff);
        sum += double(diff) * diff;
    }
    d.rms = a.values.empty() ? 0 : std::sqrt(sum / double(a.values.size()));
    return d;
}

// gdcmconv --raw: decodes JPEG 2000 without our code in the way.
Pixels decodeWithGdcm(const QString &path)
{
    const QString raw = path + QStringLiteral(".raw.dcm");
    const ToolResult r = runTool(QStringLiteral("gdcmconv"), {QStringLiteral("--raw"), path, raw});
    if (r.exitCode != 0) {
        Pixels p;
        p.error = QStringLiteral("gdcmconv failed: ") + r.output;
        return p;
    }
    return readPixels(raw);
}

// The RMS error quality q aims at, for samples of `bits` bits.
double expectedRms(int quality, int bits)
{
    return ((1 << bits) - 1) / std::pow(10.0, detail::j2kTargetPsnr(quality) / 20.0);
}

QString write(const QString &path, SampleKind kind, const QMap<QString, QString> &elements = {},
              const QString &syntax = QString())
{
    SampleSpec spec;
    spec.kind = kind;
    spec.elements = elements;
    spec.transferSyntax = syntax;
    return writeSample(path, spec).isEmpty() ? QString() : path;
}

// The file the archive would hold for an image: JPEG Lossless.
QString archived(const QString &source, const QString &path)
{
    ToolkitImage image;
    if (!image.readFile(source) || !image.writeImageFile(path, true))
        return QString();
    return path;
}

// Sends files over an outgoing connection with the given compression; true when all went.
bool sendOutgoing(const QStringList &files, int port, const QString &quality, QString *error)
{
    Recorder events;
    ToolkitListener source(&events);
    auto connection = source.newConnection();
    connection->setCompression(kJ2k, quality);
    connection->connectTo(kLocal, port, QStringLiteral("ARCHIVE"), QStringLiteral("DEST"));
    if (!waitUntil([&] { return events.outgoingCompletions.size() == 1; }, 30000) || !events.outgoingCompletions[0].success) {
        *error = events.outgoingCompletions.isEmpty() ? QStringLiteral("no SetDestination") : events.outgoingCompletions[0].error;
        return false;
    }
    connection->sendFilesAsync(files);
    if (!waitUntil([&] { return events.outgoingCompletions.size() == 2; }, 60000)) {
        *error = QStringLiteral("no SendImages");
        return false;
    }
    *error = events.outgoingCompletions[1].error;
    return events.outgoingCompletions[1].success && connection->completedCount() == files.size();
}

// The received file whose SOP Instance UID is that of `original`.
QString receivedCopy(const StoreScp &node, const QString &original)
{
    const QString uid = fileElement(original, 0x0008, 0x0018);
    for (const QString &file : node.receivedFiles())
        if (fileElement(file, 0x0008, 0x0018) == uid)
            return file;
    return QString();
}

} // namespace

TEST(ToolkitJ2k, OutgoingSendAtQuality90ArrivesAsJpeg2000CloseToTheOriginal)
{
    QTemporaryDir dir;
    StoreScp node(dir.path() + QStringLiteral("/node"), QStringLiteral("DEST"), {QStringLiteral("+xw")});
    ASSERT_TRUE(node.ready);
    struct Case
    {
        const char *name;
        QString original; // uncompressed, for the comparison
        QString sent;
    };
    std::vector<Case> cases{
        {"ct 12-bit", write(dir.filePath(QStringLiteral("ct.dcm")), SampleKind::CT), {}},
        {"ct signed", write(dir.filePath(QStringLiteral("signed.dcm")), SampleKind::CT, {{QStringLiteral("0028,0103"), QStringLiteral("1")}}), {}},
        {"mr", write(dir.filePath(QStringLiteral("mr.dcm")), SampleKind::MR), {}},
        {"rgb", write(dir.filePath(QStringLiteral("rgb.dcm")), SampleKind::RGB), {}},
        {"multi-frame", write(dir.filePath(QStringLiteral("multi.dcm")), SampleKind::MultiFrame), {}},
    };
    for (Case &c : cases) {
        ASSERT_FALSE(c.original.isEmpty()) << c.name;
        c.sent = c.original;
    }
    // As retrieves send them: from the archive's JPEG Lossless files.
    cases.push_back({"ct archived", cases[0].original, {}});
    cases.back().sent = archived(cases[0].original, dir.filePath(QStringLiteral("archive/ct.dcm")));
    ASSERT_EQ(fileTransferSyntax(cases.back().sent), QStringLiteral("1.2.840.10008.1.2.4.57"));
    // The archived CT carries the same instance UID; send it to a second node.
    StoreScp second(dir.path() + QStringLiteral("/second"), QStringLiteral("DEST"), {QStringLiteral("+xw")});
    ASSERT_TRUE(second.ready);

    QStringList files;
    for (size_t i = 0; i + 1 < cases.size(); ++i)
        files << cases[i].sent;
    QString error;
    ASSERT_TRUE(sendOutgoing(files, node.port, QStringLiteral("90"), &error)) << error.toStdString();
    ASSERT_TRUE(sendOutgoing({cases.back().sent}, second.port, QStringLiteral("90"), &error)) << error.toStdString();

    for (size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.name);
        const QString got = receivedCopy(i + 1 < cases.size() ? node : second, c.original);
        ASSERT_FALSE(got.isEmpty());
        EXPECT_EQ(fileTransferSyntax(got), kJ2k);
        EXPECT_EQ(fileElement(got, 0x0028, 0x2110), QStringLiteral("01")); // marked lossy
        EXPECT_EQ(fileElement(got, 0x0028, 0x2114), QStringLiteral("ISO_15444_1"));
        const Pixels before = readPixels(c.original);
        const Pixels after = decodeWithGdcm(got);
        ASSERT_TRUE(before.ok) << before.error.toStdString();
        ASSERT_TRUE(after.ok) << after.error.toStdString();
        EXPECT_EQ(after.rows, before.rows);
        EXPECT_EQ(after.columns, before.columns);
        EXPECT_EQ(after.frames, before.frames);
        ASSERT_EQ(after.values.size(), before.values.size());
        const Difference d = compare(before, after);
        const double bound = expectedRms(90, before.bitsStored);
        // Lossy, but within twice the RMS error the quality aims at, and no
        // wild pixels (a sign or byte-order slip is off by thousands).
        EXPECT_GT(d.rms, 0.0);
        EXPECT_LE(d.rms, 2 * bound) << "rms " << d.rms << " max " << d.maxAbs;
        EXPECT_LE(d.maxAbs, 16 * bound) << "rms " << d.rms << " max " << d.maxAbs;
    }
}

namespace {

// The program's retrieve flow with JPEG quality 90.
void retrieveWithQuality(Recorder &events, const QStringList &files, int destinationPort, const QString &quality)
{
    events.onQuery = [=](ToolkitConnection &c) {
        if (c.commandName() == QLatin1String("C-GET")) {
            c.setCompression(kJ2k, quality);
            c.sendFilesAsync(files);
        } else if (c.commandName() == QLatin1String("C-MOVE")) {
            c.connectTo(kLocal, destinationPort, QStringLiteral("ARCHIVE"), c.moveDestination());
            c.setStatus(0xFF00);
        }
    };
    events.onComplete = [=](ToolkitConnection &c, const QString &action, bool success, const QString &) {
        if (!success) {
            c.closeAssociation();
        } else if (action == QLatin1String("SetDestination")) {
            c.setCompression(kJ2k, quality);
            c.sendFilesAsync(files);
        } else if (action == QLatin1String("SendImages") && c.actionResultCode() == 0) {
            c.setStatus(0);
        }
    };
}

QStringList retrieveArgs(const ListenerFixture &f, const QString &study)
{
    return {QStringLiteral("-v"), QStringLiteral("-S"), QStringLiteral("-aec"), QStringLiteral("ARCHIVE"), QStringLiteral("-k"),
            QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("-k"), QStringLiteral("StudyInstanceUID=") + study,
            kLocal, f.portText()};
}

// Two archived images of one study (JPEG Lossless, as the archive holds them) and their originals.
struct ArchivedStudy
{
    explicit ArchivedStudy(const ListenerFixture &f)
    {
        uid = ToolkitUtility::newUid();
        for (SampleKind kind : {SampleKind::CT, SampleKind::RGB}) {
            SampleSpec spec;
            spec.kind = kind;
            spec.studyUid = uid;
            spec.instanceNumber = int(originals.size()) + 1;
            const QString original = f.path(QStringLiteral("original%1.dcm").arg(originals.size()));
            if (writeSample(original, spec).isEmpty())
                continue;
            originals << original;
            files << archived(original, f.path(QStringLiteral("IMAGES/%1.dcm").arg(originals.size())));
        }
    }
    QString uid;
    QStringList originals, files;
};

} // namespace

TEST(ToolkitJ2k, MoveAtQuality90ReachesAJpeg2000DestinationCompressed)
{
    ListenerFixture f;
    const ArchivedStudy study(f);
    ASSERT_EQ(study.files.size(), 2);
    StoreScp destination(f.path(QStringLiteral("dest")), QStringLiteral("DEST"), {QStringLiteral("+xw")});
    ASSERT_TRUE(destination.ready);
    retrieveWithQuality(f.events, study.files, destination.port, QStringLiteral("90"));
    const ToolResult r = runTool(QStringLiteral("movescu"), retrieveArgs(f, study.uid) << QStringLiteral("-aem") << QStringLiteral("DEST"));
    EXPECT_TRUE(r.output.contains(QStringLiteral("Move Response (Success)"))) << r.output.toStdString();
    ASSERT_EQ(destination.receivedFiles().size(), 2);
    for (const QString &original : study.originals) {
        const QString got = receivedCopy(destination, original);
        ASSERT_FALSE(got.isEmpty());
        EXPECT_EQ(fileTransferSyntax(got), kJ2k);
        const Pixels before = readPixels(original), after = decodeWithGdcm(got);
        ASSERT_TRUE(after.ok) << after.error.toStdString();
        EXPECT_LE(compare(before, after).rms, 2 * expectedRms(90, before.bitsStored));
    }
}

TEST(ToolkitJ2k, MoveToADestinationWithoutJpeg2000GetsExactPixels)
{
    ListenerFixture f;
    const ArchivedStudy study(f);
    ASSERT_EQ(study.files.size(), 2);
    StoreScp destination(f.path(QStringLiteral("dest"))); // uncompressed only
    ASSERT_TRUE(destination.ready);
    retrieveWithQuality(f.events, study.files, destination.port, QStringLiteral("90"));
    const ToolResult r = runTool(QStringLiteral("movescu"), retrieveArgs(f, study.uid) << QStringLiteral("-aem") << QStringLiteral("DEST"));
    EXPECT_TRUE(r.output.contains(QStringLiteral("Move Response (Success)"))) << r.output.toStdString();
    ASSERT_EQ(destination.receivedFiles().size(), 2);
    for (const QString &original : study.originals) {
        const QString got = receivedCopy(destination, original);
        ASSERT_FALSE(got.isEmpty());
        EXPECT_NE(fileTransferSyntax(got), kJ2k);
        EXPECT_TRUE(fileElement(got, 0x0028, 0x2110).isEmpty()); // not marked lossy
        const Pixels before = readPixels(original), after = readPixels(got);
        ASSERT_TRUE(after.ok) << after.error.toStdString();
        EXPECT_EQ(after.values, before.values);
    }
}

TEST(ToolkitJ2k, GetAtQuality90ComesBackAsJpeg2000)
{
    ListenerFixture f;
    const ArchivedStudy study(f);
    ASSERT_EQ(study.files.size(), 2);
    retrieveWithQuality(f.events, study.files, 0, QStringLiteral("90"));
    const QString out = f.path(QStringLiteral("got"));
    QDir().mkpath(out);
    const ToolResult r = runTool(QStringLiteral("getscu"),
                                 retrieveArgs(f, study.uid) << QStringLiteral("+xw") << QStringLiteral("-od") << out);
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    const QStringList received = QDir(out).entryList(QDir::Files);
    ASSERT_EQ(received.size(), 2) << r.output.toStdString();
    for (const QString &name : received) {
        const QString got = out + QLatin1Char('/') + name;
        EXPECT_EQ(fileTransferSyntax(got), kJ2k);
        const Pixels after = decodeWithGdcm(got);
        EXPECT_TRUE(after.ok) << after.error.toStdString();
    }
}

TEST(ToolkitJ2k, QualityOneIsLosslessAndHigherNumbersLoseMore)
{
    QTemporaryDir dir;
    const QString original = write(dir.filePath(QStringLiteral("ct.dcm")), SampleKind::CT);
    ASSERT_FALSE(original.isEmpty());
    const Pixels before = readPixels(original);
    ASSERT_TRUE(before.ok);
    double previous = -1;
    for (int quality : {1, 2, 50, 100}) {
        SCOPED_TRACE(quality);
        DcmFileFormat file;
        ASSERT_TRUE(file.loadFile(QFile::encodeName(original).constData()).good());
        DcmDataset &ds = *file.getDataset();
        ASSERT_TRUE(detail::transcode(ds, ds.getOriginalXfer(), EXS_JPEG2000, quality));
        const QString encoded = dir.filePath(QStringLiteral("q%1.dcm").arg(quality));
        ASSERT_TRUE(file.saveFile(QFile::encodeName(encoded).constData(), EXS_JPEG2000).good());
        const Pixels after = decodeWithGdcm(encoded);
        ASSERT_TRUE(after.ok) << after.error.toStdString();
        const double rms = compare(before, after).rms;
        if (quality == 1) {
            EXPECT_EQ(after.values, before.values);
            EXPECT_TRUE(fileElement(encoded, 0x0028, 0x2110).isEmpty());
        } else {
            EXPECT_GT(rms, previous);
            EXPECT_LE(rms, 2 * expectedRms(quality, before.bitsStored));
        }
        previous = rms;
    }
}

TEST(ToolkitJ2k, ImagesThatCannotBeEncodedGoInASyntaxThePeerAccepted)
{
    QTemporaryDir dir;
    StoreScp node(dir.path() + QStringLiteral("/node"), QStringLiteral("DEST"), {QStringLiteral("+xa")});
    ASSERT_TRUE(node.ready);
    const QString noPixels = write(dir.filePath(QStringLiteral("pr.dcm")), SampleKind::NoPixels);
    const QString report = write(dir.filePath(QStringLiteral("sr.dcm")), SampleKind::StructuredReport);
    const QString lossy = write(dir.filePath(QStringLiteral("lossy.dcm")), SampleKind::RGB, {}, QStringLiteral("1.2.840.10008.1.2.4.50"));
    // High bit not at the top of the stored bits: not a layout the encoder takes.
    const QString odd = write(dir.filePath(QStringLiteral("odd.dcm")), SampleKind::CT, {{QStringLiteral("0028,0102"), QStringLiteral("15")}});
    const QStringList files{noPixels, report, lossy, odd};
    for (const QString &file : files)
        ASSERT_FALSE(file.isEmpty());
    QString error;
    ASSERT_TRUE(sendOutgoing(files, node.port, QStringLiteral("90"), &error)) << error.toStdString();
    ASSERT_EQ(node.receivedFiles().size(), 4);
    EXPECT_EQ(fileTransferSyntax(receivedCopy(node, lossy)), QStringLiteral("1.2.840.10008.1.2.4.50"));
    for (const QString &file : {noPixels, report, odd})
        EXPECT_NE(fileTransferSyntax(receivedCopy(node, file)), kJ2k) << file.toStdString();
    const Pixels before = readPixels(odd), after = readPixels(receivedCopy(node, odd));
    ASSERT_TRUE(after.ok) << after.error.toStdString();
    EXPECT_EQ(after.values, before.values);
}

TEST(ToolkitJ2k, QualityTextDecidesWhetherToCompress)
{
    QTemporaryDir dir;
    StoreScp node(dir.path() + QStringLiteral("/node"), QStringLiteral("DEST"), {QStringLiteral("+xw")});
    ASSERT_TRUE(node.ready);
    // Text as typed: the leading number counts; 0 or no number means no JPEG.
    const struct
    {
        const char *quality;
        bool compressed;
    } cases[] = {{"90", true}, {" 85 max", true}, {"0", false}, {"none", false}, {"", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.quality);
        const QString file = write(dir.filePath(QStringLiteral("ct-%1.dcm").arg(ToolkitUtility::newUid())), SampleKind::CT);
        ASSERT_FALSE(file.isEmpty());
        QString error;
        ASSERT_TRUE(sendOutgoing({file}, node.port, QString::fromLatin1(c.quality), &error)) << error.toStdString();
        const QString got = receivedCopy(node, file);
        ASSERT_FALSE(got.isEmpty());
        EXPECT_EQ(fileTransferSyntax(got) == kJ2k, c.compressed) << fileTransferSyntax(got).toStdString();
    }
}
