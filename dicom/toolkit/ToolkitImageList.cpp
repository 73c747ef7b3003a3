#include "dicom/toolkit/ToolkitImageList.h"

namespace pacs::toolkit {

bool ToolkitImageList::listReadFile(const QString &path, QString *error)
{
    ToolkitImage image;
    if (!image.readFile(path, error))
        return false;
    m_images.append(image);
    return true;
}

ToolkitImage ToolkitImageList::listItem(int index) const
{
    if (index < 1 || index > listCount())
        return ToolkitImage();
    return m_images.at(index - 1);
}

} // namespace pacs::toolkit
