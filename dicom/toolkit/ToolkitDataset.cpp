#include "dicom/toolkit/ToolkitDataset.h"

#include "dicom/toolkit/detail/Runtime.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcfilefo.h>

namespace pacs::toolkit {

ToolkitDataset::ToolkitDataset() : m_item(std::make_shared<DcmDataset>()) {}

ToolkitDataset::ToolkitDataset(std::shared_ptr<DcmItem> item)
    : m_item(item ? std::move(item) : std::make_shared<DcmDataset>())
{
}

ToolkitAttributeSet ToolkitDataset::datasetAttributes() const { return ToolkitAttributeSet(m_item); }

ToolkitAttribute ToolkitDataset::findAttribute(int group, int element) const
{
    return datasetAttributes().findAttribute(group, element);
}

bool ToolkitDataset::putAttribute(int group, int element, const QVariant &value)
{
    return datasetAttributes().putAttribute(group, element, value);
}

QString ToolkitDataset::datasetPatientId() const { return findAttribute(0x0010, 0x0020).attributeText(); }
QString ToolkitDataset::datasetStudyUid() const { return findAttribute(0x0020, 0x000D).attributeText(); }
QString ToolkitDataset::datasetSeriesUid() const { return findAttribute(0x0020, 0x000E).attributeText(); }
QString ToolkitDataset::datasetInstanceUid() const { return findAttribute(0x0008, 0x0018).attributeText(); }

bool ToolkitDataset::isEmpty() const { return m_item->card() == 0; }

ToolkitDataset ToolkitDataset::clone() const
{
    auto copy = std::make_shared<DcmDataset>();
    for (unsigned long i = 0; i < m_item->card(); ++i)
        copy->insert(OFstatic_cast(DcmElement *, m_item->getElement(i)->clone()), OFTrue);
    return ToolkitDataset(copy);
}

ToolkitDataset ToolkitDataset::readFileElements(const QString &path, QString *error)
{
    auto file = std::make_shared<DcmFileFormat>();
    // Values longer than this (the pixel data) are skipped, not read.
    const OFCondition status = file->loadFile(OFFilename(path.toLocal8Bit().constData()), EXS_Unknown, EGL_noChange, 4096);
    if (status.bad()) {
        if (error)
            *error = detail::conditionText(status, QString(), QString());
        return ToolkitDataset();
    }
    // The dataset lives as long as the file object that owns it.
    return ToolkitDataset(std::shared_ptr<DcmItem>(file, file->getDataset()));
}

} // namespace pacs::toolkit
