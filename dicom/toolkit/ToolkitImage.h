#pragma once

// ToolkitImage: one DICOM image (a received C-STORE dataset or a file read
// from disk). Copies share the image. The properties read and write the
// elements they name; setting one changes that element.

#include "dicom/toolkit/ToolkitAttributeSet.h"
#include "dicom/toolkit/ToolkitDataset.h"

#include <QString>
#include <QVariant>

#include <memory>

class DcmDataset;
class DcmFileFormat;

namespace pacs::toolkit::detail {
class EarlyWrite;
}

namespace pacs::toolkit {

class ToolkitImage
{
public:
    ToolkitImage(); // an empty image
    // Takes ownership of a dataset received in the given transfer syntax (DCMTK E_TransferSyntax).
    static ToolkitImage fromDataset(DcmDataset *dataset, int transferSyntax);

    bool readFile(const QString &path, QString *error = nullptr);
    bool isEmpty() const;

    QString patientId() const;          // (0010,0020)
    void setPatientId(const QString &value);
    QString patientName() const;        // (0010,0010)
    void setPatientName(const QString &value);
    QString studyUid() const;           // (0020,000D)
    void setStudyUid(const QString &value);
    QString seriesUid() const;          // (0020,000E)
    void setSeriesUid(const QString &value);
    QString instanceUid() const;        // (0008,0018)
    void setInstanceUid(const QString &value);
    QString accessionNumber() const;    // (0008,0050)
    void setAccessionNumber(const QString &value);
    QString studyDescription() const;   // (0008,1030)
    void setStudyDescription(const QString &value);
    QString patientSex() const;         // (0010,0040)
    void setPatientSex(const QString &value);
    QVariant birthDate() const;         // (0010,0030): QDate, text or Null
    void setBirthDate(const QVariant &value);

    ToolkitAttributeSet attributeSet() const;
    ToolkitDataset dataset() const;
    QString sopClassUid() const;
    QString transferSyntaxUid() const; // the syntax the image came in (network or file)

    // Writes the image as a DICOM file; with `compressed` in JPEG Lossless
    // (1.2.840.10008.1.2.4.57, first-order prediction) where
    // the pixels allow, otherwise in the syntax it came in.
    bool writeImageFile(const QString &path, bool compressed = true, QString *error = nullptr) const;
    // Synchronous C-STORE of this image to a storage node.
    bool sendToNode(const QString &address, int port, const QString &callingTitle, const QString &calledTitle,
                    QString *error = nullptr) const;

    // An independent deep copy (used before handing the image to another thread).
    ToolkitImage clone() const;

    // For the toolkit's own use.
    DcmFileFormat &fileFormat() const;
    int arrivedTransferSyntax() const;
    // The file written from a received image before its handler ran (null when none).
    std::shared_ptr<detail::EarlyWrite> earlyWrite() const;
    void setEarlyWrite(std::shared_ptr<detail::EarlyWrite> written);

private:
    struct Data;
    QString text(int group, int element) const;
    void setText(int group, int element, const QString &value);
    std::shared_ptr<Data> m_d;
};

} // namespace pacs::toolkit
