#include "browser/AttributeListing.h"

#include "dicom/toolkit/ToolkitSequence.h"

namespace pacs::browser {

using toolkit::ToolkitAttribute;
using toolkit::ToolkitAttributeSet;
using toolkit::ToolkitSequence;

namespace {
const QString CrLf = QStringLiteral("\r\n");
const QString Separator = QStringLiteral(">---------------");
} // namespace

QString AttributeListing::hex4(int number)
{
    return (QStringLiteral("000") + QString::number(uint(number), 16).toUpper()).right(4);
}

bool AttributeListing::arrayElements(const ToolkitAttribute &attribute, const QVariant &value, QStringList &elements)
{
    elements.clear();
    switch (value.userType()) {
    case QMetaType::QVariantList:
        for (const QVariant &v : value.toList())
            elements << ToolkitAttribute::textOf(v);
        return true;
    case QMetaType::QByteArray:
        for (const char byte : value.toByteArray())
            elements << QString::number(uchar(byte));
        return true;
    case QMetaType::QString:
        // Several text values reach us joined by "\"; one value may not hold a "\" of its own.
        if (attribute.attributeMultiplicity() > 1) {
            elements = value.toString().split(QLatin1Char('\\'));
            return true;
        }
        return false;
    default:
        return false;
    }
}

void AttributeListing::listAttributes(QString &text, const QString &indent, const ToolkitAttributeSet &attributes)
{
    for (const ToolkitAttribute &attribute : attributes.attributes()) {
        text += indent + QLatin1Char('(') + hex4(attribute.attributeGroup()) + QLatin1Char(',')
                + hex4(attribute.attributeElement()) + QStringLiteral(") : ");
        text += attribute.attributeDescription().leftJustified(DescriptionWidth, QLatin1Char(' '), true)
                + QStringLiteral(": ");
        if (attribute.attributeGroup() == 0x7FE0) {
            text += QStringLiteral("Pixel data") + CrLf;
            continue;
        }
        const QVariant value = attribute.attributeValue();
        if (value.userType() == qMetaTypeId<ToolkitSequence>()) {
            const ToolkitSequence sequence = value.value<ToolkitSequence>();
            const int count = sequence.sequenceCount();
            text += QStringLiteral("Sequence of ") + QString::number(count) + QStringLiteral(" items:") + CrLf;
            for (int i = 1; i <= count; ++i) {
                text += indent + Separator + CrLf;
                listAttributes(text, indent + QLatin1Char('>'), sequence.sequenceItem(i).datasetAttributes());
            }
            text += indent + Separator + CrLf;
            continue;
        }
        QStringList elements;
        if (arrayElements(attribute, value, elements)) {
            const int upperBound = int(elements.size()) - 1;
            text += QStringLiteral("Multiple values :") + CrLf + QString(14, QLatin1Char(' '));
            if (upperBound <= MaxListedUpperBound)
                text += elements.join(QStringLiteral(" : "));
            else
                text += QStringLiteral("Array of ") + QString::number(upperBound) + QStringLiteral(" elements");
            text += CrLf;
            continue;
        }
        text += ToolkitAttribute::textOf(value) + CrLf;
    }
}

QString AttributeListing::listing(const ToolkitAttributeSet &attributes)
{
    QString text;
    listAttributes(text, QString(), attributes);
    return text;
}

} // namespace pacs::browser
