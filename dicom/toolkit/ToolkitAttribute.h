#pragma once

// ToolkitAttribute: one element of a dataset, looked up by tag.
//
// Values are QVariants:
//   missing element or empty value  -> Null QVariant
//   DA                              -> QDate (text "M/D/YYYY", see attributeText());
//                                      unparseable or range text stays QString
//   TM                              -> QTime (text "hh:mm:ss"); unparseable stays QString
//   IS / DS / US / SS / UL / SL / FL / FD -> qlonglong or double; several values -> QVariantList
//   other text VRs (PN, LO, CS, UI, ...) -> QString, several values kept joined by "\"
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

    // A DA value or range ("20240101-", "-20241231", "20240101-20241231",
    // "20240101") read as its first and last date; an open end is Null.
    // A TM value or range likewise as times, a coarse end covering its
    // whole hour or minute ("-12" ends at 12:59:59.999).
    QVariant attributeRangeStart() const;
    QVariant attributeRangeEnd() const;

    bool setAttributeValue(const QVariant &value);

    // Text of a value: dates "M/D/YYYY", times "hh:mm:ss", lists joined by "\".
    static QString textOf(const QVariant &value);

private:
    std::shared_ptr<DcmItem> m_item;
    int m_group = 0;
    int m_element = 0;
};

} // namespace pacs::toolkit
