#pragma once

// ToolkitViewer: the model behind an image view: its image list and the
// rendering of one frame of the current image (default window).

#include "dicom/toolkit/ToolkitImageList.h"

#include <QImage>

namespace pacs::toolkit {

class ToolkitViewer
{
public:
    ToolkitImageList &viewerImages() { return m_images; }
    const ToolkitImageList &viewerImages() const { return m_images; }

    int currentIndex() const { return m_current; } // 1-based
    void setCurrentIndex(int index) { m_current = index; }

    // The frame as 8-bit grey or RGB; a null QImage when there is nothing to show.
    QImage currentFrame(int frame = 0) const;

    // One frame of an image: monochrome through the image's own first window
    // (centre/width), or its min/max window when it declares none, MONOCHROME1
    // shown inverted; colour (RGB, YBR, palette) as RGB. A null QImage when
    // the image has no pixels DCMTK can render or no such frame. The image's
    // pixel data is left as it was (no detaching, no change of representation).
    static QImage renderFrame(const ToolkitImage &image, int frame = 0);

private:
    ToolkitImageList m_images;
    int m_current = 1;
};

} // namespace pacs::toolkit
