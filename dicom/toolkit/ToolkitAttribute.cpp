#include "dicom/toolkit/ToolkitAttribute.h"

#include "dicom/toolkit/detail/DatasetEdits.h"
#include "dicom/toolkit/ToolkitSequence.h"
#include "dicom/toolkit/detail/CharacterSets.h"

#include <QDateTime>
#include <QStringList>
#include <QTime>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <algorithm>

namespace pacs::toolkit {

namespace {

QVariant parseDate(const QString &text)
{
    QString t = text.trimmed();
    if (t.size() == 10 && t[4] == QLatin1Char('.') && t[7] == QLatin1Char('.'))
        t.remove(QLatin1Char('.'));
    // Read digit by digit: a format parse costs more than the rest of an
    // image's attributes together, and every received image has its dates read.
    if (t.size() == 8 && std::all_of(t.cbegin(), t.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; })) {
        auto number = [&t](int from, int count) {
            int value = 0;
            for (int i = from; i < from + count; ++i)
                value = value * 10 + (t[i].unicode() - u'0');
            return value;
        };
        const QDate d(number(0, 4), number(4, 2), number(6, 2));
        if (d.isValid())
            return d;
    }
    return text;
}

QVariant parseTime(const QString &text)
{
    QString t = text.trimmed();
    t.remove(QLatin1Char(':'));
    const QString whole = t.section(QLatin1Char('.'), 0, 0);
    bool ok = !whole.isEmpty() && whole.size() % 2 == 0 && whole.size() <= 6;
    for (QChar c : whole)
        ok = ok && c.isDigit();
    if (ok) {
        const int h = whole.left(2).toInt();
        const int m = whole.size() >= 4 ? whole.mid(2, 2).toInt() : 0;
        const int s = whole.size() >= 6 ? whole.mid(4, 2).toInt() : 0;
        const int ms = t.contains(QLatin1Char('.')) ? int(QStringLiteral("0.%1").arg(t.section(QLatin1Char('.'), 1)).toDouble() * 1000) : 0;
        const QTime time(h, m, s == 60 ? 59 : s, qMin(ms, 999)); // 60 is a leap second
        if (time.isValid())
            return time;
    }
    return text;
}

QVariant parseNumber(const QString &text, bool integral)
{
    bool ok = false;
    const QString t = text.trimmed();
    if (integral) {
        const qlonglong v = t.toLongLong(&ok);
        if (ok)
            return v;
    } else {
        const double v = t.toDouble(&ok);
        if (ok)
            return v;
    }
    return text;
}

DcmElement *findElement(DcmItem *item, const DcmTagKey &key)
{
    DcmElement *element = nullptr;
    if (!item || item->findAndGetElement(key, element, OFFalse).bad())
        return nullptr;
    return element;
}

// DICOM text for a value going into an element of the given VR.
QString dicomText(const QVariant &value, DcmEVR vr)
{
    if (value.isNull())
        return QString();
    if (value.userType() == QMetaType::QVariantList || value.userType() == QMetaType::QStringList) {
        QStringList parts;
        for (const QVariant &v : value.toList())
            parts << dicomText(v, vr);
        return parts.join(QLatin1Char('\\'));
    }
    if (vr == EVR_DA) {
        QDate d;
        if (value.userType() == QMetaType::QDate)
            d = value.toDate();
        else if (value.userType() == QMetaType::QDateTime)
            d = value.toDateTime().date();
        else {
            const QString t = value.toString().trimmed();
            const QString datePart = t.section(QLatin1Char(' '), 0, 0).section(QLatin1Char('T'), 0, 0);
            for (const char *format : {"M/d/yyyy", "yyyy-MM-dd", "yyyyMMdd"}) {
                d = QDate::fromString(datePart, QLatin1String(format));
                if (d.isValid())
                    break;
            }
            if (!d.isValid())
                return t;
        }
        return d.toString(QStringLiteral("yyyyMMdd"));
    }
    if (vr == EVR_TM) {
        QTime tm;
        if (value.userType() == QMetaType::QTime)
            tm = value.toTime();
        else if (value.userType() == QMetaType::QDateTime)
            tm = value.toDateTime().time();
        else {
            const QString t = value.toString().trimmed();
            for (const char *format : {"H:mm:ss", "H:mm"}) {
                tm = QTime::fromString(t, QLatin1String(format));
                if (tm.isValid())
                    break;
            }
            if (!tm.isValid())
                return t;
        }
        return tm.toString(QStringLiteral("HHmmss"));
    }
    if (value.userType() == QMetaType::Double)
        return QString::number(value.toDouble(), 'g', 15);
    if (value.userType() == QMetaType::QDate)
        return value.toDate().toString(QStringLiteral("yyyyMMdd"));
    if (value.userType() == QMetaType::QTime)
        return value.toTime().toString(QStringLiteral("HHmmss"));
    return value.toString();
}

} // namespace

ToolkitAttribute::ToolkitAttribute(std::shared_ptr<DcmItem> item, int group, int element)
    : m_item(std::move(item)), m_group(group), m_element(element)
{
}

bool ToolkitAttribute::attributeExists() const
{
    return findElement(m_item.get(), DcmTagKey(Uint16(m_group), Uint16(m_element))) != nullptr;
}

QVariant ToolkitAttribute::attributeValue() const
{
    DcmElement *element = findElement(m_item.get(), DcmTagKey(Uint16(m_group), Uint16(m_element)));
    if (!element)
        return QVariant();
    const DcmEVR vr = element->ident();
    if (vr == EVR_SQ) {
        ToolkitSequence sequence;
        auto *sq = OFstatic_cast(DcmSequenceOfItems *, element);
        for (unsigned long i = 0; i < sq->card(); ++i)
            sequence.sequenceAdd(ToolkitDataset(std::shared_ptr<DcmItem>(m_item, sq->getItem(i))));
        return QVariant::fromValue(sequence);
    }
    if (m_group == 0x7FE0)
        return QVariant(); // pixel data is not read through attributes
    // Present but empty is the empty text; only a missing element is Null.
    if (element->getLength() == 0)
        return QVariant(QString(QLatin1String("")));

    const DcmVR dcmVr(vr);
    if (dcmVr.isaString() || vr == EVR_AT) {
        OFString raw;
        if (element->getOFStringArray(raw).bad())
            return QVariant();
        const QString text = detail::decodeValue(raw.c_str(), raw.length(), m_item.get(), dcmVr);
        switch (vr) {
        case EVR_DA:
        case EVR_TM:
        case EVR_IS:
        case EVR_DS: {
            const QStringList parts = text.split(QLatin1Char('\\'));
            QVariantList values;
            for (const QString &p : parts)
                values << (vr == EVR_DA ? parseDate(p) : vr == EVR_TM ? parseTime(p) : parseNumber(p, vr == EVR_IS));
            return values.size() == 1 ? values.first() : QVariant(values);
        }
        default:
            return text;
        }
    }
    switch (vr) {
    case EVR_US: case EVR_SS: case EVR_UL: case EVR_SL: case EVR_FL: case EVR_FD: case EVR_SV: case EVR_UV: {
        QVariantList values;
        const bool integral = vr != EVR_FL && vr != EVR_FD;
        for (unsigned long i = 0; i < element->getVM(); ++i) {
            OFString s;
            if (element->getOFString(s, i).good())
                values << parseNumber(QString::fromLatin1(s.c_str()), integral);
        }
        if (values.isEmpty())
            return QVariant();
        return values.size() == 1 ? values.first() : QVariant(values);
    }
    default:
        break;
    }
    Uint8 *bytes = nullptr;
    if (element->getUint8Array(bytes).good() && bytes)
        return QByteArray(reinterpret_cast<const char *>(bytes), qsizetype(element->getLength()));
    Uint16 *words = nullptr;
    if (element->getUint16Array(words).good() && words)
        return QByteArray(reinterpret_cast<const char *>(words), qsizetype(element->getLength()));
    return QVariant();
}

QString ToolkitAttribute::attributeText() const { return textOf(attributeValue()); }

QString ToolkitAttribute::attributeVr() const
{
    if (DcmElement *element = findElement(m_item.get(), DcmTagKey(Uint16(m_group), Uint16(m_element))))
        return QString::fromLatin1(DcmVR(element->ident()).getVRName());
    return QString::fromLatin1(DcmTag(Uint16(m_group), Uint16(m_element)).getVR().getVRName());
}

int ToolkitAttribute::attributeMultiplicity() const
{
    DcmElement *element = findElement(m_item.get(), DcmTagKey(Uint16(m_group), Uint16(m_element)));
    return element ? int(element->getVM()) : 0;
}

QString ToolkitAttribute::attributeDescription() const
{
    DcmTag tag{Uint16(m_group), Uint16(m_element)};
    const char *name = tag.getTagName();
    return name ? QString::fromLatin1(name) : QString();
}

namespace {
QVariant rangeEnd(const QVariant &value, bool start)
{
    if (value.isNull())
        return QVariant();
    if (value.userType() == QMetaType::QDate)
        return value;
    const QString text = ToolkitAttribute::textOf(value).trimmed();
    QString part = text;
    if (text.contains(QLatin1Char('-')))
        part = start ? text.section(QLatin1Char('-'), 0, 0) : text.section(QLatin1Char('-'), 1, 1);
    if (part.trimmed().isEmpty())
        return QVariant();
    const QVariant parsed = parseDate(part);
    return parsed.userType() == QMetaType::QDate ? parsed : QVariant();
}

// A TM value or range ("080000-120000", "0800-", "-12", "101200") read as
// its first or last time. A value given to the hour or minute covers that
// whole hour or minute, so "-12" ends at 12:59:59.999; an open end is Null.
QVariant timeRangeEnd(const QString &text, bool start)
{
    QString part = text.trimmed();
    if (part.contains(QLatin1Char('-')))
        part = part.section(QLatin1Char('-'), start ? 0 : 1, start ? 0 : 1).trimmed();
    const QVariant parsed = part.isEmpty() ? QVariant() : parseTime(part);
    if (parsed.userType() != QMetaType::QTime)
        return QVariant();
    const QTime time = parsed.toTime();
    const qsizetype digits = part.remove(QLatin1Char(':')).section(QLatin1Char('.'), 0, 0).size();
    if (start || digits == 6)
        return time;
    return digits == 2 ? QTime(time.hour(), 59, 59, 999) : QTime(time.hour(), time.minute(), 59, 999);
}

// The element's own text: a TM value read as a time has lost its precision.
QString rawText(DcmItem *item, int group, int element)
{
    OFString raw;
    DcmElement *found = findElement(item, DcmTagKey(Uint16(group), Uint16(element)));
    if (!found || found->getOFStringArray(raw).bad())
        return QString();
    return QString::fromLatin1(raw.c_str(), qsizetype(raw.length()));
}
} // namespace

QVariant ToolkitAttribute::attributeRangeStart() const
{
    if (attributeVr() == QLatin1String("TM"))
        return timeRangeEnd(rawText(m_item.get(), m_group, m_element), true);
    return rangeEnd(attributeValue(), true);
}

QVariant ToolkitAttribute::attributeRangeEnd() const
{
    if (attributeVr() == QLatin1String("TM"))
        return timeRangeEnd(rawText(m_item.get(), m_group, m_element), false);
    return rangeEnd(attributeValue(), false);
}

bool ToolkitAttribute::setAttributeValue(const QVariant &value)
{
    if (!m_item)
        return false;
    detail::noteDatasetEdit();
    DcmItem *item = m_item.get();
    DcmTag tag{Uint16(m_group), Uint16(m_element)};
    if (tag.getEVR() == EVR_UNKNOWN || tag.getEVR() == EVR_UN || tag.getEVR() == EVR_UNKNOWN2B)
        tag.setVR(DcmVR(EVR_LO));

    if (value.canConvert<ToolkitSequence>() && value.userType() == qMetaTypeId<ToolkitSequence>()) {
        auto *sq = new DcmSequenceOfItems(tag);
        for (const ToolkitDataset &ds : value.value<ToolkitSequence>().items()) {
            auto *copy = new DcmItem();
            for (unsigned long i = 0; i < ds.item()->card(); ++i)
                copy->insert(OFstatic_cast(DcmElement *, ds.item()->getElement(i)->clone()), OFTrue);
            sq->append(copy);
        }
        return item->insert(sq, OFTrue).good();
    }
    // Command elements (an error comment) have no character set: the default repertoire.
    const QString dicom = dicomText(value, tag.getEVR());
    const QByteArray text = m_group == 0x0000 ? dicom.toLatin1() : detail::encodeValue(dicom, item, tag.getVR());
    return item->putAndInsertString(tag, text.constData(), Uint32(text.size()), OFTrue).good();
}

QString ToolkitAttribute::textOf(const QVariant &value)
{
    if (value.isNull() || !value.isValid())
        return QString();
    switch (value.userType()) {
    case QMetaType::QDate: {
        const QDate d = value.toDate();
        return QStringLiteral("%1/%2/%3").arg(d.month()).arg(d.day()).arg(d.year());
    }
    case QMetaType::QTime:
        return value.toTime().toString(QStringLiteral("HH:mm:ss"));
    case QMetaType::QDateTime:
        return textOf(value.toDateTime().date()) + QLatin1Char(' ') + textOf(value.toDateTime().time());
    case QMetaType::Double:
        return QString::number(value.toDouble(), 'g', 15);
    case QMetaType::QVariantList: {
        QStringList parts;
        for (const QVariant &v : value.toList())
            parts << textOf(v);
        return parts.join(QLatin1Char('\\'));
    }
    case QMetaType::QByteArray:
        return QString();
    default:
        if (value.userType() == qMetaTypeId<ToolkitSequence>())
            return QString();
        return value.toString();
    }
}

} // namespace pacs::toolkit
