#include "dicom/toolkit/ToolkitAttributeSet.h"

#include "dicom/toolkit/detail/DatasetEdits.h"
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>

namespace pacs::toolkit {

ToolkitAttributeSet::ToolkitAttributeSet() : m_item(std::make_shared<DcmDataset>()) {}

ToolkitAttributeSet::ToolkitAttributeSet(std::shared_ptr<DcmItem> item)
    : m_item(item ? std::move(item) : std::make_shared<DcmDataset>())
{
}

ToolkitAttribute ToolkitAttributeSet::findAttribute(int group, int element) const
{
    return ToolkitAttribute(m_item, group, element);
}

bool ToolkitAttributeSet::putAttribute(int group, int element, const QVariant &value)
{
    return ToolkitAttribute(m_item, group, element).setAttributeValue(value);
}

bool ToolkitAttributeSet::removeAttribute(int group, int element)
{
    detail::noteDatasetEdit();
    return m_item->findAndDeleteElement(DcmTagKey(Uint16(group), Uint16(element)), OFFalse, OFFalse).good();
}

int ToolkitAttributeSet::count() const { return int(m_item->card()); }

QList<ToolkitAttribute> ToolkitAttributeSet::attributes() const
{
    QList<ToolkitAttribute> list;
    for (unsigned long i = 0; i < m_item->card(); ++i) {
        const DcmTagKey key = m_item->getElement(i)->getTag();
        list.append(ToolkitAttribute(m_item, key.getGroup(), key.getElement()));
    }
    return list;
}

} // namespace pacs::toolkit
