#pragma once

// ToolkitSequence: an ordered list of datasets: the responses of a query
// (NewSequence/SequenceAdd) or the items of an SQ element. Items are 1-based.
// Copies share the list.

#include "dicom/toolkit/ToolkitDataset.h"

#include <QList>
#include <QMetaType>

#include <memory>

namespace pacs::toolkit {

class ToolkitSequence
{
public:
    ToolkitSequence();

    int sequenceCount() const;
    ToolkitDataset sequenceItem(int index) const; // 1-based; an empty dataset when out of range
    void sequenceAdd(const ToolkitDataset &dataset);

    const QList<ToolkitDataset> &items() const { return m_items->list; }

private:
    struct Items
    {
        QList<ToolkitDataset> list;
    };
    std::shared_ptr<Items> m_items;
};

} // namespace pacs::toolkit

Q_DECLARE_METATYPE(pacs::toolkit::ToolkitSequence)
