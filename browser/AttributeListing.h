#pragma once

#include "dicom/toolkit/ToolkitAttribute.h"
#include "dicom/toolkit/ToolkitAttributeSet.h"

#include <QString>
#include <QStringList>

namespace pacs::browser {

// The text listing of an image's attributes shown under the viewer: one line
// per attribute, "(GGGG,EEEE) : " + the description in 30 characters + ": "
// + the value; sequences nested with ">" per level between separator lines.
// Lines end in CR LF.
//
// Arrays: an attribute whose value holds several elements is listed as
// "Multiple values :". Those are a list of numbers or dates (the toolkit's
// QVariantList), a text attribute with more than one value (the toolkit keeps
// them joined by "\"), and a binary value (OB, OW, UN ...), whose elements are
// its bytes. An array of n elements runs from 0 to the upper bound n - 1.
class AttributeListing
{
public:
    // The listing of a whole attribute set.
    static QString listing(const toolkit::ToolkitAttributeSet &attributes);
    // Appends the listing of one set to text, every line led by indent.
    static void listAttributes(QString &text, const QString &indent, const toolkit::ToolkitAttributeSet &attributes);

    // A number as 4 upper-case hex digits: "000" put in front, the last 4 kept.
    static QString hex4(int number);
    // True when the attribute's value is an array; its elements as text.
    static bool arrayElements(const toolkit::ToolkitAttribute &attribute, const QVariant &value, QStringList &elements);

    static constexpr int MaxListedUpperBound = 32;
    static constexpr int DescriptionWidth = 30;
};

} // namespace pacs::browser
