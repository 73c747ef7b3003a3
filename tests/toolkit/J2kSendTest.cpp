// JPEG 2000 on outgoing C-STORE sub-operations: what arrives at DCMTK's
// storescp/getscu, decoded independently by gdcmconv and compared with the
// pixels that were sent. And JPEG 2000 arriving: decoded, stored, passed on.

#include "tests/toolkit/ToolkitTestSupport.h"

#include "dicom/toolkit/ToolkitUtility.h"
#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/J2kCodec.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <gtest/gtest.h>
#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
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
QString receivedCopy(const StoreScpProcess &node, const QString &original)
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
    StoreScpProcess node(dir.path() + QStringLiteral("/node"), QStringLiteral("DEST"), {QStringLiteral("+xw")});
    ASSERT_TRUE(node.isReady());
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
    StoreScpProcess second(dir.path() + QStringLiteral("/second"), QStringLiteral("DEST"), {QStringLiteral("+xw")});
    ASSERT_TRUE(second.isReady());

    QStringList files;
    for (size_t i = 0; i + 1 < cases.size(); ++i)
        files << cases[i].sent;
    QString error;
    ASSERT_TRUE(sendOutgoing(files, node.port(), QStringLiteral("90"), &error)) << error.toStdString();
    ASSERT_TRUE(sendOutgoing({cases.back().sent}, second.port(), QStringLiteral("90"), &error)) << error.toStdString();

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
    StoreScpProcess destination(f.path(QStringLiteral("dest")), QStringLiteral("DEST"), {QStringLiteral("+xw")});
    ASSERT_TRUE(destination.isReady());
    retrieveWithQuality(f.events, study.files, destination.port(), QStringLiteral("90"));
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
    StoreScpProcess destination(f.path(QStringLiteral("dest"))); // uncompressed only
    ASSERT_TRUE(destination.isReady());
    retrieveWithQuality(f.events, study.files, destination.port(), QStringLiteral("90"));
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
    StoreScpProcess node(dir.path() + QStringLiteral("/node"), QStringLiteral("DEST"), {QStringLiteral("+xa")});
    ASSERT_TRUE(node.isReady());
    const QString noPixels = write(dir.filePath(QStringLiteral("pr.dcm")), SampleKind::NoPixels);
    const QString report = write(dir.filePath(QStringLiteral("sr.dcm")), SampleKind::StructuredReport);
    const QString lossy = write(dir.filePath(QStringLiteral("lossy.dcm")), SampleKind::RGB, {}, QStringLiteral("1.2.840.10008.1.2.4.50"));
    // High bit not at the top of the stored bits: not a layout the encoder takes.
    const QString odd = write(dir.filePath(QStringLiteral("odd.dcm")), SampleKind::CT, {{QStringLiteral("0028,0102"), QStringLiteral("15")}});
    const QStringList files{noPixels, report, lossy, odd};
    for (const QString &file : files)
        ASSERT_FALSE(file.isEmpty());
    QString error;
    ASSERT_TRUE(sendOutgoing(files, node.port(), QStringLiteral("90"), &error)) << error.toStdString();
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
    StoreScpProcess node(dir.path() + QStringLiteral("/node"), QStringLiteral("DEST"), {QStringLiteral("+xw")});
    ASSERT_TRUE(node.isReady());
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
        ASSERT_TRUE(sendOutgoing({file}, node.port(), QString::fromLatin1(c.quality), &error)) << error.toStdString();
        const QString got = receivedCopy(node, file);
        ASSERT_FALSE(got.isEmpty());
        EXPECT_EQ(fileTransferSyntax(got) == kJ2k, c.compressed) << fileTransferSyntax(got).toStdString();
    }
}

// ---- JPEG 2000 arriving ----------------------------------------------------

namespace {

// A JPEG 2000 image made here with OpenJPEG, so every variant a modality may
// send can be had: bit depths, sign, colour with and without the component
// transform, several frames, a frame split over fragments, JP2 wrapping.
struct J2kImage
{
    const char *name;
    int samples = 1, bitsAllocated = 16, bitsStored = 12, frames = 1;
    bool sgnd = false, mct = false, irreversible = false, jp2 = false;
    int fragmentsPerFrame = 1;
    int rows = 48, columns = 40;
};

// Sample values of the image, samples interleaved, frame after frame.
std::vector<int> j2kValues(const J2kImage &s)
{
    std::vector<int> values(size_t(s.rows) * s.columns * s.samples * s.frames);
    const long range = 1L << s.bitsStored;
    const long low = s.sgnd ? -(range / 2) : 0;
    for (size_t i = 0; i < values.size(); ++i) {
        const size_t pixel = i / s.samples;
        // Smooth ramps with some texture, and the extremes of the range.
        long v = long((pixel % s.columns) * 97 + (pixel / s.columns) * 61 + (i % s.samples) * 1013 + (i * 7919 % 23)) % range;
        if (i % 211 == 0)
            v = range - 1;
        else if (i % 223 == 0)
            v = 0;
        values[i] = int(low + v);
    }
    return values;
}

struct Buffer
{
    std::vector<Uint8> bytes;
    size_t position = 0;
};

OPJ_SIZE_T bufferWrite(void *data, OPJ_SIZE_T count, void *user)
{
    auto *b = static_cast<Buffer *>(user);
    if (b->position + count > b->bytes.size())
        b->bytes.resize(b->position + count);
    std::memcpy(b->bytes.data() + b->position, data, count);
    b->position += count;
    return count;
}
OPJ_OFF_T bufferSkip(OPJ_OFF_T count, void *user)
{
    static_cast<Buffer *>(user)->position += size_t(count);
    return count;
}
OPJ_BOOL bufferSeek(OPJ_OFF_T offset, void *user)
{
    static_cast<Buffer *>(user)->position = size_t(offset);
    return OPJ_TRUE;
}

std::vector<Uint8> encodeJ2kFrame(const J2kImage &s, const int *values)
{
    std::vector<opj_image_cmptparm_t> params(size_t(s.samples));
    for (auto &p : params) {
        std::memset(&p, 0, sizeof(p));
        p.dx = p.dy = 1;
        p.w = OPJ_UINT32(s.columns);
        p.h = OPJ_UINT32(s.rows);
        p.prec = OPJ_UINT32(s.bitsStored);
        p.sgnd = s.sgnd ? 1 : 0;
    }
    opj_image_t *image = opj_image_create(OPJ_UINT32(s.samples), params.data(), s.samples == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY);
    image->x1 = OPJ_UINT32(s.columns);
    image->y1 = OPJ_UINT32(s.rows);
    const size_t pixels = size_t(s.rows) * s.columns;
    for (int c = 0; c < s.samples; ++c)
        for (size_t i = 0; i < pixels; ++i)
            image->comps[c].data[i] = values[i * s.samples + size_t(c)];
    opj_cparameters_t p;
    opj_set_default_encoder_parameters(&p);
    p.tcp_numlayers = 1;
    p.tcp_rates[0] = s.irreversible ? 8 : 0;
    p.cp_disto_alloc = 1;
    p.irreversible = s.irreversible ? 1 : 0;
    p.tcp_mct = s.mct ? 1 : 0;
    p.numresolution = 5;
    Buffer out;
    opj_codec_t *codec = opj_create_compress(s.jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
    opj_stream_t *stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE);
    opj_stream_set_write_function(stream, bufferWrite);
    opj_stream_set_skip_function(stream, bufferSkip);
    opj_stream_set_seek_function(stream, bufferSeek);
    opj_stream_set_user_data(stream, &out, nullptr);
    const bool ok = opj_setup_encoder(codec, &p, image) && opj_start_compress(codec, image, stream) && opj_encode(codec, stream)
                    && opj_end_compress(codec, stream);
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
    return ok ? out.bytes : std::vector<Uint8>();
}

// Writes the image as a DICOM file in .90 (.91 when irreversible); the
// fragments of each frame can be cut with `cut` (for damaging them).
bool writeJ2kFile(const QString &path, const J2kImage &s, const std::vector<int> &values,
                  const std::function<void(std::vector<Uint8> &)> &cut = {})
{
    DcmFileFormat file;
    DcmDataset *ds = file.getDataset();
    char uid[100];
    ds->putAndInsertString(DCM_SOPClassUID, s.samples == 3 ? UID_UltrasoundImageStorage
                                            : s.frames > 1 ? UID_MultiframeGrayscaleWordSecondaryCaptureImageStorage
                                                           : UID_CTImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, dcmGenerateUniqueIdentifier(uid));
    ds->putAndInsertString(DCM_StudyInstanceUID, dcmGenerateUniqueIdentifier(uid));
    ds->putAndInsertString(DCM_SeriesInstanceUID, dcmGenerateUniqueIdentifier(uid));
    ds->putAndInsertString(DCM_PatientID, "J2K");
    ds->putAndInsertString(DCM_PatientName, "JPEG^TWOTHOUSAND");
    ds->putAndInsertString(DCM_Modality, s.samples == 3 ? "US" : "CT");
    ds->putAndInsertUint16(DCM_Rows, Uint16(s.rows));
    ds->putAndInsertUint16(DCM_Columns, Uint16(s.columns));
    ds->putAndInsertUint16(DCM_SamplesPerPixel, Uint16(s.samples));
    ds->putAndInsertString(DCM_PhotometricInterpretation,
                           s.samples == 1 ? "MONOCHROME2" : !s.mct ? "RGB" : s.irreversible ? "YBR_ICT" : "YBR_RCT");
    if (s.samples == 3)
        ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
    ds->putAndInsertUint16(DCM_BitsAllocated, Uint16(s.bitsAllocated));
    ds->putAndInsertUint16(DCM_BitsStored, Uint16(s.bitsStored));
    ds->putAndInsertUint16(DCM_HighBit, Uint16(s.bitsStored - 1));
    ds->putAndInsertUint16(DCM_PixelRepresentation, s.sgnd ? 1 : 0);
    if (s.frames > 1)
        ds->putAndInsertString(DCM_NumberOfFrames, QByteArray::number(s.frames).constData());
    if (s.irreversible)
        ds->putAndInsertString(DCM_LossyImageCompression, "01");

    auto *sequence = new DcmPixelSequence(DcmTag(DCM_PixelData, EVR_OB));
    sequence->insert(new DcmPixelItem(DcmTag(DCM_Item, EVR_OB))); // empty offset table
    const size_t perFrame = size_t(s.rows) * s.columns * s.samples;
    for (int f = 0; f < s.frames; ++f) {
        std::vector<Uint8> stream = encodeJ2kFrame(s, values.data() + size_t(f) * perFrame);
        if (stream.empty()) {
            delete sequence;
            return false;
        }
        if (cut)
            cut(stream);
        // Fragments have even lengths; only the last one of a frame is padded.
        size_t piece = (stream.size() + size_t(s.fragmentsPerFrame) - 1) / size_t(s.fragmentsPerFrame);
        piece += piece & 1;
        for (size_t at = 0; at < stream.size(); at += piece) {
            std::vector<Uint8> fragment(stream.begin() + long(at), stream.begin() + long(std::min(stream.size(), at + piece)));
            if (fragment.size() & 1)
                fragment.push_back(0);
            auto *item = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
            item->putUint8Array(fragment.data(), Uint32(fragment.size()));
            sequence->insert(item);
        }
    }
    const E_TransferSyntax xfer = s.irreversible ? EXS_JPEG2000 : EXS_JPEG2000LosslessOnly;
    auto *pixels = new DcmPixelData(DCM_PixelData);
    pixels->putOriginalRepresentation(xfer, nullptr, sequence);
    ds->insert(pixels, OFTrue);
    return file.saveFile(QFile::encodeName(path).constData(), xfer).good();
}

const std::vector<J2kImage> &j2kVariants()
{
    static const std::vector<J2kImage> variants = [] {
        std::vector<J2kImage> v;
        v.push_back({"12-bit"});
        J2kImage s{"16-bit full range"};
        s.bitsStored = 16;
        v.push_back(s);
        s = {"12-bit signed"};
        s.sgnd = true;
        v.push_back(s);
        s = {"16-bit signed"};
        s.bitsStored = 16;
        s.sgnd = true;
        v.push_back(s);
        s = {"8-bit"};
        s.bitsAllocated = s.bitsStored = 8;
        v.push_back(s);
        s = {"8-bit signed"};
        s.bitsAllocated = s.bitsStored = 8;
        s.sgnd = true;
        v.push_back(s);
        s = {"rgb with the component transform"};
        s.samples = 3;
        s.bitsAllocated = s.bitsStored = 8;
        s.mct = true;
        v.push_back(s);
        s = {"rgb without the component transform"};
        s.samples = 3;
        s.bitsAllocated = s.bitsStored = 8;
        v.push_back(s);
        s = {"multi-frame"};
        s.frames = 3;
        v.push_back(s);
        s = {"multi-frame over several fragments each"};
        s.frames = 3;
        s.fragmentsPerFrame = 3;
        v.push_back(s);
        s = {"wrapped in JP2"};
        s.jp2 = true;
        v.push_back(s);
        return v;
    }();
    return variants;
}

// Pixels of any file, decoded by this process's codecs (ours for JPEG 2000).
Pixels decodeHere(const QString &path)
{
    DcmFileFormat file;
    Pixels p;
    if (file.loadFile(QFile::encodeName(path).constData()).bad()
        || !detail::transcode(*file.getDataset(), file.getDataset()->getOriginalXfer(), EXS_LittleEndianExplicit)) {
        p.error = QStringLiteral("not decoded: ") + path;
        return p;
    }
    const QString raw = path + QStringLiteral(".here.dcm");
    if (file.saveFile(QFile::encodeName(raw).constData(), EXS_LittleEndianExplicit).bad()) {
        p.error = QStringLiteral("not written: ") + raw;
        return p;
    }
    return readPixels(raw);
}

ToolResult storeTo(const ListenerFixture &f, const QString &file)
{
    const QString xfer = fileTransferSyntax(file);
    const QString propose = xfer == QLatin1String("1.2.840.10008.1.2.4.90") ? QStringLiteral("-xv")
                            : xfer == QLatin1String("1.2.840.10008.1.2.4.91") ? QStringLiteral("-xw")
                                                                               : QStringLiteral("-xe");
    return runTool(QStringLiteral("storescu"), {QStringLiteral("-v"), propose, QStringLiteral("-aec"), QStringLiteral("ARCHIVE"),
                                                kLocal, f.portText(), file});
}

} // namespace

TEST(ToolkitJ2kIn, EveryLosslessVariantDecodesToTheExactSamples)
{
    QTemporaryDir dir;
    int n = 0;
    for (const J2kImage &s : j2kVariants()) {
        SCOPED_TRACE(s.name);
        const std::vector<int> values = j2kValues(s);
        const QString path = dir.filePath(QStringLiteral("v%1.dcm").arg(++n));
        ASSERT_TRUE(writeJ2kFile(path, s, values));
        const Pixels here = decodeHere(path);
        ASSERT_TRUE(here.ok) << here.error.toStdString();
        EXPECT_EQ(here.rows, s.rows);
        EXPECT_EQ(here.columns, s.columns);
        EXPECT_EQ(here.frames, s.frames);
        EXPECT_EQ(here.photometric, s.samples == 3 ? QStringLiteral("RGB") : QStringLiteral("MONOCHROME2"));
        EXPECT_TRUE(here.values == values) << "decoded samples differ";
        // GDCM reads the same code stream to the same samples (it takes
        // neither JP2 nor a frame over several fragments).
        if (!s.jp2 && s.fragmentsPerFrame == 1) {
            const Pixels gdcm = decodeWithGdcm(path);
            ASSERT_TRUE(gdcm.ok) << gdcm.error.toStdString();
            EXPECT_TRUE(gdcm.values == values) << "GDCM disagrees with the samples written";
        }
    }
}

TEST(ToolkitJ2kIn, ReceivedLosslessImagesAreStoredAsJpegLosslessWithIdenticalPixels)
{
    ListenerFixture f;
    QStringList sources;
    std::vector<std::vector<int>> expected;
    for (const J2kImage &s : j2kVariants()) {
        expected.push_back(j2kValues(s));
        sources << f.path(QStringLiteral("in%1.dcm").arg(sources.size()));
        ASSERT_TRUE(writeJ2kFile(sources.back(), s, expected.back())) << s.name;
    }
    // And two made by GDCM's encoder.
    for (SampleKind kind : {SampleKind::CT, SampleKind::RGB}) {
        const QString original = write(f.path(QStringLiteral("gdcm-original%1.dcm").arg(int(kind))), kind);
        const QString encoded = write(f.path(QStringLiteral("gdcm%1.dcm").arg(int(kind))), kind, {},
                                      QStringLiteral("1.2.840.10008.1.2.4.90"));
        ASSERT_FALSE(encoded.isEmpty());
        ASSERT_EQ(fileTransferSyntax(encoded), QStringLiteral("1.2.840.10008.1.2.4.90"));
        const Pixels before = readPixels(original);
        ASSERT_TRUE(before.ok);
        sources << encoded;
        expected.push_back(before.values);
    }
    for (int i = 0; i < sources.size(); ++i) {
        SCOPED_TRACE(sources[i].toStdString());
        const int saved = int(f.events.savedPaths.size());
        const ToolResult r = storeTo(f, sources[i]);
        EXPECT_TRUE(r.output.contains(QStringLiteral("Store Response (Success)"))) << r.output.toStdString();
        ASSERT_TRUE(waitUntil([&] { return f.events.savedPaths.size() == saved + 1; }));
        const QString stored = f.events.savedPaths.last();
        EXPECT_EQ(fileTransferSyntax(stored), QStringLiteral("1.2.840.10008.1.2.4.57"));
        const Pixels after = decodeWithGdcm(stored); // decoded without our code
        ASSERT_TRUE(after.ok) << after.error.toStdString();
        EXPECT_TRUE(after.values == expected[size_t(i)]) << "stored pixels differ";
        EXPECT_TRUE(fileElement(stored, 0x0028, 0x2110).isEmpty()) << "not marked lossy";
    }
}

TEST(ToolkitJ2kIn, LossyImagesAreStoredAsTheyCameLikeOtherLossyInput)
{
    ListenerFixture f;
    J2kImage s{"lossy"};
    s.irreversible = true;
    const QString ours = f.path(QStringLiteral("lossy.dcm"));
    ASSERT_TRUE(writeJ2kFile(ours, s, j2kValues(s)));
    const QString original = write(f.path(QStringLiteral("ct.dcm")), SampleKind::CT);
    const QString gdcmLossy = f.path(QStringLiteral("gdcm-lossy.dcm"));
    ASSERT_EQ(runTool(QStringLiteral("gdcmconv"), {QStringLiteral("--j2k"), QStringLiteral("--lossy"), QStringLiteral("-q"),
                                                   QStringLiteral("40"), original, gdcmLossy}).exitCode, 0);
    for (const QString &file : {ours, gdcmLossy}) {
        SCOPED_TRACE(file.toStdString());
        ASSERT_EQ(fileTransferSyntax(file), kJ2k);
        const int saved = int(f.events.savedPaths.size());
        const ToolResult r = storeTo(f, file);
        EXPECT_TRUE(r.output.contains(QStringLiteral("Store Response (Success)"))) << r.output.toStdString();
        ASSERT_TRUE(waitUntil([&] { return f.events.savedPaths.size() == saved + 1; }));
        EXPECT_EQ(fileTransferSyntax(f.events.savedPaths.last()), kJ2k);
        // Decodable here, to what GDCM decodes. GDCM codes this 12-bit image
        // at 16-bit precision and lets the loss overshoot 4095; here values
        // keep to the 12 bits the image says it has.
        const Pixels here = decodeHere(file);
        Pixels gdcm = decodeWithGdcm(file);
        ASSERT_TRUE(here.ok) << here.error.toStdString();
        ASSERT_TRUE(gdcm.ok) << gdcm.error.toStdString();
        EXPECT_EQ(here.bitsStored, 12);
        for (int &v : gdcm.values)
            v = std::clamp(v, 0, 4095);
        EXPECT_LE(compare(here, gdcm).maxAbs, 1);
    }
}

TEST(ToolkitJ2kIn, Jpeg2000ImagesReachAPeerThatTakesOnlyUncompressedSyntaxes)
{
    QTemporaryDir dir;
    StoreScpProcess node(dir.path() + QStringLiteral("/node")); // uncompressed only
    ASSERT_TRUE(node.isReady());
    QStringList files;
    std::vector<std::vector<int>> expected;
    std::vector<int> tolerance;
    for (const J2kImage &s : j2kVariants()) {
        expected.push_back(j2kValues(s));
        files << dir.filePath(QStringLiteral("v%1.dcm").arg(files.size()));
        ASSERT_TRUE(writeJ2kFile(files.back(), s, expected.back())) << s.name;
        tolerance.push_back(0);
    }
    J2kImage lossy{"lossy rgb"};
    lossy.samples = 3;
    lossy.bitsAllocated = lossy.bitsStored = 8;
    lossy.mct = lossy.irreversible = true;
    files << dir.filePath(QStringLiteral("lossy.dcm"));
    ASSERT_TRUE(writeJ2kFile(files.back(), lossy, j2kValues(lossy)));
    const Pixels gdcmLossy = decodeWithGdcm(files.back());
    ASSERT_TRUE(gdcmLossy.ok) << gdcmLossy.error.toStdString();
    expected.push_back(gdcmLossy.values);
    tolerance.push_back(1); // rounding of the inverse transform
    const QString ct = write(dir.filePath(QStringLiteral("gdcm.dcm")), SampleKind::CT, {}, QStringLiteral("1.2.840.10008.1.2.4.90"));
    files << ct;
    expected.push_back(readPixels(write(dir.filePath(QStringLiteral("gdcm-original.dcm")), SampleKind::CT)).values);
    tolerance.push_back(0);

    QString error;
    ASSERT_TRUE(sendOutgoing(files, node.port(), QString(), &error)) << error.toStdString();
    for (int i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].toStdString());
        const QString got = receivedCopy(node, files[i]);
        ASSERT_FALSE(got.isEmpty());
        EXPECT_TRUE(detail::isUncompressed(detail::xferFromUid(fileTransferSyntax(got))));
        const Pixels after = readPixels(got);
        ASSERT_TRUE(after.ok) << after.error.toStdString();
        ASSERT_EQ(after.values.size(), expected[size_t(i)].size());
        EXPECT_LE(compare(after, Pixels{true, {}, 0, 0, 0, 1, 0, {}, expected[size_t(i)]}).maxAbs, tolerance[size_t(i)]);
    }
}

TEST(ToolkitJ2kIn, DamagedCodeStreamsAreAnErrorNeverACrashAndTheImageIsKept)
{
    ListenerFixture f;
    J2kImage s{"ct"};
    const std::vector<int> values = j2kValues(s);
    const QString whole = f.path(QStringLiteral("whole.dcm"));
    ASSERT_TRUE(writeJ2kFile(whole, s, values));
    DcmFileFormat reference;
    ASSERT_TRUE(reference.loadFile(QFile::encodeName(whole).constData()).good());
    std::vector<Uint8> stream = encodeJ2kFrame(s, values.data());
    ASSERT_FALSE(stream.empty());

    int n = 0;
    auto damaged = [&](const std::function<void(std::vector<Uint8> &)> &how) {
        const QString path = f.path(QStringLiteral("damaged%1.dcm").arg(++n));
        return writeJ2kFile(path, s, values, how) ? path : QString();
    };
    // Cut short anywhere: header, first tile part, last bytes.
    for (double fraction : {0.0, 0.01, 0.05, 0.1, 0.2, 0.33, 0.5, 0.66, 0.8, 0.9, 0.95}) {
        SCOPED_TRACE(fraction);
        const size_t keep = std::max<size_t>(1, size_t(double(stream.size()) * fraction));
        const QString path = damaged([keep](std::vector<Uint8> &b) { b.resize(std::min(b.size(), keep)); });
        ASSERT_FALSE(path.isEmpty());
        DcmFileFormat file;
        ASSERT_TRUE(file.loadFile(QFile::encodeName(path).constData()).good());
        EXPECT_FALSE(detail::transcode(*file.getDataset(), EXS_JPEG2000LosslessOnly, EXS_LittleEndianExplicit));
    }
    // Bytes overwritten (header fields included): whatever OpenJPEG makes of
    // it, the process goes on and a decoded image has the right size.
    for (size_t at : {size_t(4), size_t(8), size_t(12), size_t(30), size_t(45), size_t(60), stream.size() / 2, stream.size() - 8}) {
        SCOPED_TRACE(at);
        const QString path = damaged([at](std::vector<Uint8> &b) {
            for (size_t i = at; i < std::min(b.size(), at + 6); ++i)
                b[i] = Uint8(b[i] ^ 0xA5);
        });
        ASSERT_FALSE(path.isEmpty());
        DcmFileFormat file;
        ASSERT_TRUE(file.loadFile(QFile::encodeName(path).constData()).good());
        if (detail::transcode(*file.getDataset(), EXS_JPEG2000LosslessOnly, EXS_LittleEndianExplicit)) {
            const Uint16 *words = nullptr;
            unsigned long count = 0;
            EXPECT_TRUE(file.getDataset()->findAndGetUint16Array(DCM_PixelData, words, &count).good());
            EXPECT_EQ(count, values.size());
        }
    }
    // Received damaged, the image is still accepted and kept as it came.
    const QString cut = damaged([](std::vector<Uint8> &b) { b.resize(b.size() / 2); });
    const ToolResult r = storeTo(f, cut);
    EXPECT_TRUE(r.output.contains(QStringLiteral("Store Response (Success)"))) << r.output.toStdString();
    ASSERT_TRUE(waitUntil([&] { return f.events.savedPaths.size() == 1; }));
    EXPECT_EQ(fileTransferSyntax(f.events.savedPaths.first()), QStringLiteral("1.2.840.10008.1.2.4.90"));
    // A peer that takes only uncompressed syntaxes cannot be sent it: it fails
    // alone, the intact image beside it arrives.
    QTemporaryDir nodeDir;
    StoreScpProcess node(nodeDir.path());
    ASSERT_TRUE(node.isReady());
    QString error;
    EXPECT_FALSE(sendOutgoing({cut, whole}, node.port(), QString(), &error));
    EXPECT_TRUE(receivedCopy(node, cut).isEmpty());
    EXPECT_FALSE(receivedCopy(node, whole).isEmpty());
}
