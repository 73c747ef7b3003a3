// Any bytes as the dataset of a C-STORE, read as the association reads it
// (in memory, in the negotiated syntax chosen by the first byte), then every
// value the reception takes from it, and every element as the attribute
// listing shows it. Every fourth input is also written as the reception
// stores it (JPEG Lossless where the pixels allow).

#include "dicom/PersonName.h"
#include "dicom/toolkit/ToolkitImage.h"
#include "tests/fuzz/FuzzToolkit.h"


#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <cstddef>
#include <cstdint>

using pacs::toolkit::ToolkitAttribute;
using pacs::toolkit::ToolkitImage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QTemporaryDir *scratch = pacs::fuzz::toolkitScratchFolder();
    if (size < 1 || !scratch)
        return 0;
    static const E_TransferSyntax syntaxes[] = {EXS_LittleEndianImplicit, EXS_LittleEndianExplicit, EXS_BigEndianExplicit};
    const E_TransferSyntax xfer = syntaxes[(data[0] / 4) % 3];
    DcmInputBufferStream stream;
    stream.setBuffer(data + 1, offile_off_t(size - 1));
    stream.setEos();
    auto *dataset = new DcmDataset;
    dataset->transferInit();
    const OFCondition read = dataset->read(stream, xfer, EGL_noChange);
    dataset->transferEnd();
    if (read.bad()) {
        delete dataset;
        return 0;
    }
    ToolkitImage image = ToolkitImage::fromDataset(dataset, int(xfer));
    image.patientId();
    image.studyUid();
    image.seriesUid();
    image.instanceUid();
    image.accessionNumber();
    image.studyDescription();
    image.patientSex();
    image.birthDate();
    image.sopClassUid();
    pacs::SplitPersonName(image.attributeSet().findAttribute(0x10, 0x10).attributeValue());
    for (const ToolkitAttribute &attribute : image.attributeSet().attributes()) {
        attribute.attributeText();
        attribute.attributeVr();
        attribute.attributeMultiplicity();
        attribute.attributeRangeStart();
        attribute.attributeRangeEnd();
    }
    // Handed to the write pool as a copy.
    ToolkitImage copy = image.clone();
    copy.setPatientName(QStringLiteral("FUZZ^\u00c9T\u00c9"));
    if (data[0] % 4 == 3)
        copy.writeImageFile(scratch->filePath(QStringLiteral("image.dcm")), true);
    return 0;
}
