#include "tests/support/SampleImages.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrplol.h>
#include <dcmtk/dcmjpeg/djrploss.h>

#include <vector>

namespace pacs::test {

namespace {

QString newUid()
{
    char uid[100];
    return QString::fromLatin1(dcmGenerateUniqueIdentifier(uid));
}

void put(DcmItem *item, const DcmTagKey &key, const QString &value)
{
    item->putAndInsertString(key, value.toUtf8().constData());
}

void addPixels(DcmDataset *ds, SampleKind kind, int size)
{
    const bool rgb = kind == SampleKind::RGB;
    const bool multi = kind == SampleKind::MultiFrame;
    const Uint16 rows = size > 0 ? Uint16(size) : kind == SampleKind::MR ? 32 : 64;
    const Uint16 cols = rows;
    const int frames = multi ? 4 : 1;
    ds->putAndInsertUint16(DCM_Rows, rows);
    ds->putAndInsertUint16(DCM_Columns, cols);
    ds->putAndInsertUint16(DCM_SamplesPerPixel, rgb ? 3 : 1);
    put(ds, DCM_PhotometricInterpretation, rgb ? QStringLiteral("RGB") : QStringLiteral("MONOCHROME2"));
    const bool eightBit = rgb || multi;
    ds->putAndInsertUint16(DCM_BitsAllocated, eightBit ? 8 : 16);
    ds->putAndInsertUint16(DCM_BitsStored, eightBit ? 8 : 12);
    ds->putAndInsertUint16(DCM_HighBit, eightBit ? 7 : 11);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    if (rgb)
        ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
    if (multi)
        put(ds, DCM_NumberOfFrames, QString::number(frames));
    if (eightBit) {
        std::vector<Uint8> pixels(size_t(rows) * cols * (rgb ? 3 : 1) * frames);
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = Uint8((i * 7 + i / cols) % 251);
        ds->putAndInsertUint8Array(DCM_PixelData, pixels.data(), unsigned(pixels.size()));
    } else {
        std::vector<Uint16> pixels(size_t(rows) * cols);
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = Uint16((i * 13 + i / cols * 5) % 4096);
        ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), unsigned(pixels.size()));
    }
}

void addReport(DcmDataset *ds)
{
    put(ds, DCM_ValueType, QStringLiteral("CONTAINER"));
    put(ds, DCM_ContinuityOfContent, QStringLiteral("SEPARATE"));
    put(ds, DCM_CompletionFlag, QStringLiteral("COMPLETE"));
    put(ds, DCM_VerificationFlag, QStringLiteral("UNVERIFIED"));
    DcmItem *conceptName = nullptr;
    if (ds->findOrCreateSequenceItem(DCM_ConceptNameCodeSequence, conceptName, -2).good()) {
        put(conceptName, DCM_CodeValue, QStringLiteral("11528-7"));
        put(conceptName, DCM_CodingSchemeDesignator, QStringLiteral("LN"));
        put(conceptName, DCM_CodeMeaning, QStringLiteral("Radiology Report"));
    }
    DcmItem *text = nullptr;
    if (ds->findOrCreateSequenceItem(DCM_ContentSequence, text, -2).good()) {
        put(text, DCM_RelationshipType, QStringLiteral("CONTAINS"));
        put(text, DCM_ValueType, QStringLiteral("TEXT"));
        put(text, DCM_TextValue, QStringLiteral("No acute findings."));
    }
}

} // namespace

QString writeSample(const QString &path, const SampleSpec &spec)
{
    DJEncoderRegistration::registerCodecs();
    DcmRLEEncoderRegistration::registerCodecs();

    DcmFileFormat file;
    DcmDataset *ds = file.getDataset();
    const QString instance = spec.instanceUid.isEmpty() ? newUid() : spec.instanceUid;
    QString sopClass, modality;
    switch (spec.kind) {
    case SampleKind::CT: sopClass = UID_CTImageStorage; modality = "CT"; break;
    case SampleKind::MR: sopClass = UID_MRImageStorage; modality = "MR"; break;
    case SampleKind::RGB: sopClass = UID_UltrasoundImageStorage; modality = "US"; break;
    case SampleKind::MultiFrame: sopClass = UID_MultiframeGrayscaleByteSecondaryCaptureImageStorage; modality = "OT"; break;
    case SampleKind::NoPixels: sopClass = UID_GrayscaleSoftcopyPresentationStateStorage; modality = "PR"; break;
    case SampleKind::StructuredReport: sopClass = UID_BasicTextSRStorage; modality = "SR"; break;
    }
    put(ds, DCM_SOPClassUID, sopClass);
    put(ds, DCM_SOPInstanceUID, instance);
    put(ds, DCM_PatientID, spec.patientId);
    put(ds, DCM_PatientName, spec.patientName);
    put(ds, DCM_PatientBirthDate, QStringLiteral("19800102"));
    put(ds, DCM_PatientSex, QStringLiteral("M"));
    put(ds, DCM_StudyInstanceUID, spec.studyUid.isEmpty() ? newUid() : spec.studyUid);
    put(ds, DCM_SeriesInstanceUID, spec.seriesUid.isEmpty() ? newUid() : spec.seriesUid);
    put(ds, DCM_StudyDate, QStringLiteral("20240115"));
    put(ds, DCM_StudyTime, QStringLiteral("103000"));
    put(ds, DCM_AccessionNumber, QStringLiteral("ACC1"));
    put(ds, DCM_StudyID, QStringLiteral("S1"));
    put(ds, DCM_StudyDescription, QStringLiteral("HEAD"));
    put(ds, DCM_ReferringPhysicianName, QStringLiteral("HOUSE^GREGORY"));
    put(ds, DCM_InstitutionName, QStringLiteral("General Hospital"));
    put(ds, DCM_Modality, modality);
    put(ds, DCM_SeriesNumber, QString::number(spec.seriesNumber));
    put(ds, DCM_InstanceNumber, QString::number(spec.instanceNumber));
    put(ds, DCM_SeriesDescription, QStringLiteral("AXIAL"));
    if (spec.kind == SampleKind::StructuredReport)
        addReport(ds);
    else if (spec.kind != SampleKind::NoPixels)
        addPixels(ds, spec.kind, spec.size);

    auto keyOf = [](const QString &text) {
        return DcmTagKey(Uint16(text.section(',', 0, 0).toUInt(nullptr, 16)), Uint16(text.section(',', 1, 1).toUInt(nullptr, 16)));
    };
    for (auto it = spec.elements.begin(); it != spec.elements.end(); ++it) {
        const DcmTagKey key = keyOf(it.key());
        if (it.value().isEmpty())
            delete ds->remove(key);
        else
            put(ds, key, it.value());
    }
    for (const QString &empty : spec.emptyElements)
        ds->insertEmptyElement(keyOf(empty), OFTrue);
    for (auto it = spec.rawElements.begin(); it != spec.rawElements.end(); ++it)
        ds->putAndInsertString(keyOf(it.key()), it.value().constData(), Uint32(it.value().size()), OFTrue);

    const bool j2k = spec.transferSyntax.startsWith(QLatin1String("1.2.840.10008.1.2.4.9"));
    E_TransferSyntax xfer = EXS_LittleEndianExplicit;
    if (!spec.transferSyntax.isEmpty() && !j2k) {
        xfer = DcmXfer(spec.transferSyntax.toLatin1().constData()).getXfer();
        DJ_RPLossy lossy(90);
        DJ_RPLossless lossless;
        const DcmRepresentationParameter *params = xfer == EXS_JPEGProcess1 ? static_cast<const DcmRepresentationParameter *>(&lossy)
                                                   : xfer == EXS_JPEGProcess14SV1 ? &lossless
                                                                                   : nullptr;
        if (ds->chooseRepresentation(xfer, params).bad() || !ds->canWriteXfer(xfer))
            return QString();
    }
    const QString target = j2k ? path + QStringLiteral(".raw") : path;
    if (file.saveFile(QFile::encodeName(target).constData(), xfer).bad())
        return QString();
    if (j2k) {
        const int rc = QProcess::execute(QStringLiteral("gdcmconv"), {QStringLiteral("--j2k"), target, path});
        QFile::remove(target);
        if (rc != 0)
            return QString();
    }
    return instance;
}

QStringList writeVariedCorpus(const QString &folder, const QString &patientId)
{
    QDir().mkpath(folder);
    struct Item
    {
        const char *name;
        SampleKind kind;
        const char *syntax;
    };
    const Item items[] = {
        {"ct.dcm", SampleKind::CT, ""},
        {"mr-implicit.dcm", SampleKind::MR, "1.2.840.10008.1.2"},
        {"multiframe.dcm", SampleKind::MultiFrame, ""},
        {"rgb.dcm", SampleKind::RGB, ""},
        {"ct-rle.dcm", SampleKind::CT, "1.2.840.10008.1.2.5"},
        {"frames-jpeg-baseline.dcm", SampleKind::MultiFrame, "1.2.840.10008.1.2.4.50"},
        {"ct-jpeg2000.dcm", SampleKind::CT, "1.2.840.10008.1.2.4.90"},
        {"ct-big-endian.dcm", SampleKind::CT, "1.2.840.10008.1.2.2"},
        {"report.dcm", SampleKind::StructuredReport, ""},
        {"no-pixels.dcm", SampleKind::NoPixels, ""},
    };
    QStringList files;
    const QString study = newUid();
    int number = 0;
    for (const Item &item : items) {
        SampleSpec spec;
        spec.kind = item.kind;
        spec.patientId = patientId;
        spec.studyUid = study;
        spec.seriesNumber = ++number;
        spec.transferSyntax = QLatin1String(item.syntax);
        const QString path = folder + QLatin1Char('/') + QLatin1String(item.name);
        if (!writeSample(path, spec).isEmpty())
            files << path;
    }
    return files;
}

QString fileTransferSyntax(const QString &path)
{
    DcmFileFormat file;
    if (file.loadFile(QFile::encodeName(path).constData(), EXS_Unknown, EGL_noChange, 4096, ERM_fileOnly).bad())
        return QString();
    OFString uid;
    file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, uid);
    return QString::fromLatin1(uid.c_str());
}

QString fileElement(const QString &path, int group, int element)
{
    DcmFileFormat file;
    if (file.loadFile(QFile::encodeName(path).constData()).bad())
        return QString();
    OFString value;
    file.getDataset()->findAndGetOFStringArray(DcmTagKey(Uint16(group), Uint16(element)), value);
    return QString::fromUtf8(value.c_str());
}

} // namespace pacs::test

namespace pacs::test {

namespace {
// Pixels of a file as 16-bit values, after gdcmconv --raw has decoded them
// into explicit little endian, read straight from the file's bytes.
bool rawPixels(const QString &path, std::vector<int> &pixels)
{
    const QString raw = path + QStringLiteral(".raw.dcm");
    if (QProcess::execute(QStringLiteral("gdcmconv"), {QStringLiteral("--raw"), path, raw}) != 0)
        return false;
    QFile file(raw);
    const bool opened = file.open(QIODevice::ReadOnly);
    const QByteArray bytes = opened ? file.readAll() : QByteArray();
    file.close();
    QFile::remove(raw);
    const qsizetype tag = bytes.lastIndexOf(QByteArray::fromHex("e07f1000"));
    if (tag < 0 || tag + 12 > bytes.size())
        return false;
    const QByteArray vr = bytes.mid(tag + 4, 2);
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData()) + tag + 8;
    const quint32 length = quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
    const uchar *data = p + 4;
    if (tag + 12 + qsizetype(length) > bytes.size())
        return false;
    pixels.clear();
    if (vr == "OW") {
        for (quint32 i = 0; i + 1 < length; i += 2)
            pixels.push_back(int(data[i]) | int(data[i + 1]) << 8);
    } else {
        for (quint32 i = 0; i < length; ++i)
            pixels.push_back(data[i]);
    }
    return !pixels.empty();
}
} // namespace

double meanPixelDifference(const QString &a, const QString &b)
{
    std::vector<int> first, second;
    if (!rawPixels(a, first) || !rawPixels(b, second) || first.size() != second.size() || first.empty())
        return -1;
    double total = 0;
    for (size_t i = 0; i < first.size(); ++i)
        total += std::abs(first[i] - second[i]);
    return total / double(first.size());
}

} // namespace pacs::test
