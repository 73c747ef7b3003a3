#include "dicom/toolkit/viewer/ToolkitViewer.h"

#include "dicom/toolkit/detail/Runtime.h"

#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimgle/dcmimage.h>

namespace pacs::toolkit {

QImage ToolkitViewer::currentFrame(int frame) const
{
    return renderFrame(m_images.listItem(m_current), frame);
}

QImage ToolkitViewer::renderFrame(const ToolkitImage &image, int frame)
{
    detail::initializeRuntime();
    if (image.isEmpty() || frame < 0)
        return QImage();
    DcmDataset *dataset = image.fileFormat().getDataset();
    // Partial access decodes just this frame and leaves the dataset's
    // representation alone, so the image can still be written or sent as it came.
    DicomImage picture(dataset, E_TransferSyntax(image.arrivedTransferSyntax()), CIF_UsePartialAccessToPixelData,
                       unsigned(frame), 1);
    // DCMTK moves a start past the last frame back onto it; no such frame is no picture here.
    if (picture.getStatus() != EIS_Normal || picture.getFrameCount() < 1 || unsigned(frame) >= picture.getNumberOfFrames())
        return QImage();
    const bool grey = picture.isMonochrome();
    if (grey && picture.getWindowCount() > 0)
        picture.setWindow(0);
    else if (grey)
        picture.setMinMaxWindow();
    const int width = int(picture.getWidth());
    const int height = int(picture.getHeight());
    if (width <= 0 || height <= 0)
        return QImage();
    const void *data = picture.getOutputData(8, 0, 0);
    if (!data)
        return QImage();
    const QImage out(static_cast<const uchar *>(data), width, height, grey ? width : width * 3,
                     grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    return out.copy(); // the buffer belongs to DicomImage
}

} // namespace pacs::toolkit
