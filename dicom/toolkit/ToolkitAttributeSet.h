#pragma once

// ToolkitAttributeSet: the elements of one dataset (an image's AttributeSet,
// a dataset's DatasetAttributes). Shares the dataset it was taken from.

#include "dicom/toolkit/ToolkitAttribute.h"

#include <QList>
#include <QVariant>

#include <memory>

class DcmItem;

namespace pacs::toolkit {

class ToolkitAttributeSet
{
public:
    ToolkitAttributeSet();
    explicit ToolkitAttributeSet(std::shared_ptr<DcmItem> item);

    // A missing element gives an attribute whose attributeExists() is false
    // and whose attributeValue() is Null; a present empty one reads as "".
    ToolkitAttribute findAttribute(int group, int element) const;

    // Inserts or replaces the element. Values: Null (empty element), QString,
    // numbers, QDate/QDateTime/QTime (also "M/D/YYYY" and "hh:mm:ss" text for
    // DA/TM elements), QVariantList/QStringList (multiple values), ToolkitSequence.
    bool putAttribute(int group, int element, const QVariant &value);

    bool removeAttribute(int group, int element);

    // Enumeration in dataset order.
    int count() const;
    QList<ToolkitAttribute> attributes() const;

private:
    std::shared_ptr<DcmItem> m_item;
};

} // namespace pacs::toolkit
