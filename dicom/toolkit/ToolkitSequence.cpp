#include "dicom/toolkit/ToolkitSequence.h"

namespace pacs::toolkit {

ToolkitSequence::ToolkitSequence() : m_items(std::make_shared<Items>()) {}

int ToolkitSequence::sequenceCount() const { return int(m_items->list.size()); }

ToolkitDataset ToolkitSequence::sequenceItem(int index) const
{
    if (index < 1 || index > sequenceCount())
        return ToolkitDataset();
    return m_items->list.at(index - 1);
}

void ToolkitSequence::sequenceAdd(const ToolkitDataset &dataset) { m_items->list.append(dataset); }

} // namespace pacs::toolkit
