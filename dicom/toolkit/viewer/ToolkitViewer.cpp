#include "dicom/toolkit/viewer/ToolkitViewer.h"

#include "dicom/toolkit/detail/Runtime.h"

#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimgle/dcmimage.h>

namespace pacs::toolkit {

QImage ToolkitViewer::currentFrame(int frame) const
{
    detail::initializeRuntime();
    const ToolkitImage image = m_images.listItem(m_current);
    if (image.isEmpty())
        return QImage();
    DcmDataset *dataset = image.fileFormat().getDataset();
    DicomImage picture(dataset, E_TransferSyntax(image.arrivedTransferSyntax()), CIF_MayDetachPixelData, 0, 0);
    if (picture.getStatus() != EIS_Normal || frame < 0 || unsigned(frame) >= picture.getFrameCount())
        return QImage();
    if (picture.isMonochrome() && picture.getWindowCount() > 0)
        picture.setWindow(0);
    else if (picture.isMonochrome())
        picture.setMinMaxWindow();
    const int width = int(picture.getWidth());
    const int height = int(picture.getHeight());
    const bool grey = picture.isMonochrome();
    const void *data = picture.getOutputData(8, unsigned(frame), 0);
    if (!data)
        return QImage();
    QImage out(static_cast<const uchar *>(data), width, height, grey ? width : width * 3,
               grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    return out.copy(); // the buffer belongs to DicomImage
}

} // namespace pacs::toolkit
