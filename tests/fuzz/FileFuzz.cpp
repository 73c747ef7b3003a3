// Any bytes as a DICOM file on disk, read the ways the program reads files:
// the folder tools and the viewer (whole file, every value, one frame
// rendered: this decodes whatever compressed pixel data the file claims),
// the key reader and the attribute listing (elements without long values).
// The first byte chooses whether a preamble and "DICM" come first, so the
// file meta group is reached as well as the bare-dataset fallback. A send's
// peek at the file (its own reading of the meta group) runs on it too.

#include "dicom/toolkit/ToolkitImage.h"
#include "dicom/toolkit/detail/FileHeader.h"
#include "tests/fuzz/FuzzToolkit.h"
#include "dicom/toolkit/viewer/ToolkitViewer.h"

#include <QFile>


#include <cstddef>
#include <cstdint>

using pacs::toolkit::ToolkitAttribute;
using pacs::toolkit::ToolkitDataset;
using pacs::toolkit::ToolkitImage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QTemporaryDir *scratch = pacs::fuzz::toolkitScratchFolder();
    if (size < 1 || !scratch)
        return 0;
    const QString path = scratch->filePath(QStringLiteral("input.dcm"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        if (data[0] & 1)
            file.write(QByteArray(128, '\0') + QByteArrayLiteral("DICM"));
        file.write(reinterpret_cast<const char *>(data + 1), qint64(size - 1));
    }

    pacs::toolkit::detail::FileHeader header;
    pacs::toolkit::detail::peekFile(path, header);

    ToolkitImage image;
    if (image.readFile(path)) {
        image.patientId();
        image.instanceUid();
        image.sopClassUid();
        image.transferSyntaxUid();
        image.birthDate();
        for (const ToolkitAttribute &attribute : image.attributeSet().attributes()) {
            attribute.attributeText();
            attribute.attributeVr();
        }
        pacs::toolkit::ToolkitViewer::renderFrame(image, (data[0] >> 1) & 1);
    }
    const ToolkitDataset elements = ToolkitDataset::readFileElements(path);
    for (const ToolkitAttribute &attribute : elements.datasetAttributes().attributes())
        attribute.attributeText();
    return 0;
}
