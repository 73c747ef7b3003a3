#pragma once

// ToolkitImageList: an ordered list of images (the viewer's ViewerImages).
// Items are 1-based.

#include "dicom/toolkit/ToolkitImage.h"

#include <QList>

namespace pacs::toolkit {

class ToolkitImageList
{
public:
    void listAdd(const ToolkitImage &image) { m_images.append(image); }
    void listClear() { m_images.clear(); }
    bool listReadFile(const QString &path, QString *error = nullptr); // reads the file and appends it
    ToolkitImage listItem(int index) const;                          // an empty image when out of range
    int listCount() const { return int(m_images.size()); }

private:
    QList<ToolkitImage> m_images;
};

} // namespace pacs::toolkit
