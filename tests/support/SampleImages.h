#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace pacs::test {

// Small DICOM files built with DCMTK, as modalities would send them.
enum class SampleKind { CT, MR, RGB, MultiFrame, NoPixels, StructuredReport };

struct SampleSpec
{
    SampleKind kind = SampleKind::CT;
    QString patientId = QStringLiteral("P001");
    QString patientName = QStringLiteral("DOE^JOHN");
    QString studyUid;    // generated when empty
    QString seriesUid;   // generated when empty
    QString instanceUid; // generated when empty
    int seriesNumber = 1;
    int instanceNumber = 1;
    int size = 0; // rows and columns; 0 for the kind's small default
    // Further elements as "gggg,eeee" -> value; an empty value removes the
    // element (for example {"0010,0020", ""} for an image without Patient ID).
    QMap<QString, QString> elements;
    // Elements written present with no value ("gggg,eeee"), as a modality
    // sends a type 2 element it has nothing for.
    QStringList emptyElements;
    // Values written byte for byte ("gggg,eeee" -> bytes), for text in a
    // character set declared through elements["0008,0005"] (ISO 2022 escape
    // sequences, GB18030, Latin-1 ...).
    QMap<QString, QByteArray> rawElements;
    // Written in this transfer syntax: uncompressed ones, JPEG baseline
    // (1.2.840.10008.1.2.4.50), JPEG lossless, RLE; JPEG 2000 through gdcmconv.
    QString transferSyntax;
};

// Writes the file; returns its SOP Instance UID, or empty on failure.
QString writeSample(const QString &path, const SampleSpec &spec);
// A folder of one file of each kind a department sends: CT, MR, multi-frame,
// RGB, RLE, JPEG baseline, JPEG 2000, big endian, implicit VR, a structured
// report and an image without pixel data. Returns the files.
QStringList writeVariedCorpus(const QString &folder, const QString &patientId = QStringLiteral("P100"));
// The transfer syntax in a file's meta header ("" when unreadable).
QString fileTransferSyntax(const QString &path);
// One element of a file as text ("" when absent).
QString fileElement(const QString &path, int group, int element);
// The mean absolute difference between the pixels of two files, decoded with
// gdcmconv (any syntax it reads); -1 when either cannot be read or sizes differ.
double meanPixelDifference(const QString &a, const QString &b);

} // namespace pacs::test
