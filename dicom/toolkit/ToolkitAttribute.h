#pragma once

// ToolkitAttribute: one element of a dataset, looked up by tag.
//
// Values are QVariants:
//   missing element                 -> Null QVariant
//   element present with no value   -> the empty text (never Null)
//   DA                              -> QDate (text "M/D/YYYY", see attributeText());
//                                      unparseable or range text stays QString
//   TM                              -> QTime (text "hh:mm:ss"); unparseable stays QString
//   IS / DS / US / SS / UL / SL / FL / FD -> qlonglong or double; several values -> QVariantList
//   other text VRs (PN, LO, CS, UI, ...) -> QString, several values kept joined by "\";
//                                      decoded from the Specific Character Set in force
//                                      (ISO 2022 code extensions included)
//   SQ                              -> ToolkitSequence
//   OB / OW / UN and other binary    -> QByteArray
// attributeText() and textOf() give the value as text in the program's conventions.

#include <QDate>
#include <QString>
#include <QVariant>

#include <memory>

class DcmItem;

namespace pacs::toolkit {

class ToolkitAttribute
{
public:
    ToolkitAttribute() = default;
    ToolkitAttribute(std::shared_ptr<DcmItem> item, int group, int element);

    QVariant attributeValue() const;
    QString attributeText() const; // textOf(attributeValue())
    int attributeGroup() const { return m_group; }
    int attributeElement() const { return m_element; }
    bool attributeExists() const;
    QString attributeVr() const;          // e.g. "PN"; the dictionary's VR for a missing element
    QString attributeDescription() const; // DCMTK dictionary name, e.g. "PatientName"
    // How many values the element holds (0 when missing or empty).
    int attributeMultiplicity() const;

    // A DA value or range ("20240101-", "-20241231", "20240101-20241231",
    // "20240101") read as its first and last date; an open end is Null.
    // A TM value or range likewise as times, a coarse end covering its
    // whole hour or minute ("-12" ends at 12:59:59.999).
    QVariant attributeRangeStart() const;
    QVariant attributeRangeEnd() const;

    // Text is written in the item's declared character set when that set can
    // hold it; otherwise the item's values move to UTF-8 and (0008,0005)
    // becomes ISO_IR 192. Plain ASCII never changes the declaration.
    bool setAttributeValue(const QVariant &value);

    // Text of a value: dates "M/D/YYYY", times "hh:mm:ss", lists joined by "\".
    static QString textOf(const QVariant &value);

private:
    std::shared_ptr<DcmItem> m_item;
    int m_group = 0;
    int m_element = 0;
};

} // namespace pacs::toolkit
