#include "dicom/toolkit/detail/CharacterSets.h"

#include <QStringDecoder>
#include <QStringList>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcspchrs.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pacs::toolkit::detail {

namespace {

constexpr char kEsc = '\033';

OFString trimmedCharset(const OFString &text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == OFString_npos)
        return OFString();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The Specific Character Set in force for an item: its own (0008,0005) or that
// of the nearest enclosing item; *owner is the item that declares it (null when
// none does).
OFString charsetOf(DcmItem *item, DcmItem **owner = nullptr)
{
    for (DcmItem *it = item; it; it = it->getParentItem()) {
        DcmElement *element = nullptr;
        if (it->findAndGetElement(DCM_SpecificCharacterSet, element, OFFalse).good() && element) {
            OFString charset;
            element->getOFStringArray(charset);
            if (owner)
                *owner = it;
            return trimmedCharset(charset);
        }
    }
    return OFString();
}

bool isPlainAscii(const char *text, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (uchar(text[i]) >= 0x80 || text[i] == kEsc)
            return false;
    return true;
}

bool isPlainAscii(const QString &text)
{
    for (QChar c : text)
        if (c.unicode() >= 0x80 || c.unicode() == 0x1B)
            return false;
    return true;
}

// Undeclared text: UTF-8 when it reads as UTF-8 (many senders leave the
// declaration out), Latin-1 otherwise, so no byte is ever lost.
QString decodeUndeclared(const char *text, size_t length)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8(QByteArrayView(text, qsizetype(length)));
    if (!utf8.hasError())
        return decoded;
    return QString::fromLatin1(text, qsizetype(length));
}

// One DCMTK converter per pair of sets and thread: opening iconv for every
// value would cost more than the conversion. Null when DCMTK cannot convert
// between the two.
DcmSpecificCharacterSet *converter(const OFString &from, const OFString &to)
{
    thread_local std::map<std::pair<std::string, std::string>, std::unique_ptr<DcmSpecificCharacterSet>> converters;
    const auto key = std::make_pair(std::string(from.c_str()), std::string(to.c_str()));
    auto it = converters.find(key);
    if (it == converters.end()) {
        auto created = std::make_unique<DcmSpecificCharacterSet>();
        if (created->selectCharacterSet(from, to).bad())
            created.reset();
        it = converters.emplace(key, std::move(created)).first;
    }
    return it->second.get();
}

// iconv straight from glibc; bytes it cannot read become U+FFFD.
QString iconvText(const QByteArray &bytes, const char *encoding)
{
    if (bytes.isEmpty())
        return QString();
    iconv_t cd = iconv_open("UTF-8", encoding);
    if (cd == iconv_t(-1))
        return QString::fromLatin1(bytes);
    QByteArray out;
    char buffer[256];
    char *in = const_cast<char *>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    while (inLeft > 0) {
        char *to = buffer;
        size_t toLeft = sizeof buffer;
        const size_t done = iconv(cd, &in, &inLeft, &to, &toLeft);
        out.append(buffer, qsizetype(to - buffer));
        if (done == size_t(-1) && errno != E2BIG) {
            out.append("\xEF\xBF\xBD"); // U+FFFD
            if (errno != EILSEQ)
                break; // incomplete at the end
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    return QString::fromUtf8(out);
}

// ISO 2022 as DICOM uses it: G0 holds ASCII or a Japanese 94x94 set (then the
// bytes 0x21..0x7E come in pairs), G1 a 96-character set or a multi-byte set
// in the high half. Each delimiter returns to the sets of the first value.
enum class G0 { Ascii, Jis0208, Jis0212 };

struct Sets
{
    G0 g0 = G0::Ascii;
    const char *g1 = nullptr; // iconv name of the high half; "kana" for JIS X 0201
};

const char *highHalfOf(const QString &term)
{
    static const std::map<QString, const char *> names = {
        {QStringLiteral("ISO 2022 IR 100"), "ISO-8859-1"}, {QStringLiteral("ISO 2022 IR 101"), "ISO-8859-2"},
        {QStringLiteral("ISO 2022 IR 109"), "ISO-8859-3"}, {QStringLiteral("ISO 2022 IR 110"), "ISO-8859-4"},
        {QStringLiteral("ISO 2022 IR 144"), "ISO-8859-5"}, {QStringLiteral("ISO 2022 IR 127"), "ISO-8859-6"},
        {QStringLiteral("ISO 2022 IR 126"), "ISO-8859-7"}, {QStringLiteral("ISO 2022 IR 138"), "ISO-8859-8"},
        {QStringLiteral("ISO 2022 IR 148"), "ISO-8859-9"}, {QStringLiteral("ISO 2022 IR 166"), "TIS-620"},
        {QStringLiteral("ISO 2022 IR 13"), "kana"},
    };
    const auto it = names.find(term);
    return it == names.end() ? nullptr : it->second;
}

// The escape sequence at `p` (ESC included): its length, 0 when unknown.
int applyEscape(const char *p, size_t left, Sets &sets)
{
    auto is = [&](const char *seq) {
        const size_t n = strlen(seq);
        return left >= n + 1 && memcmp(p + 1, seq, n) == 0;
    };
    struct Designation
    {
        const char *sequence;
        G0 g0;
        const char *g1;
    };
    static const Designation designations[] = {
        {"$(D", G0::Jis0212, nullptr}, {"$)C", G0::Ascii, "EUC-KR"}, {"$)A", G0::Ascii, "GB2312"},
        {"$B", G0::Jis0208, nullptr},  {"(B", G0::Ascii, nullptr},   {"(J", G0::Ascii, nullptr},
        {")I", G0::Ascii, "kana"},     {"-A", G0::Ascii, "ISO-8859-1"}, {"-B", G0::Ascii, "ISO-8859-2"},
        {"-C", G0::Ascii, "ISO-8859-3"}, {"-D", G0::Ascii, "ISO-8859-4"}, {"-L", G0::Ascii, "ISO-8859-5"},
        {"-G", G0::Ascii, "ISO-8859-6"}, {"-F", G0::Ascii, "ISO-8859-7"}, {"-H", G0::Ascii, "ISO-8859-8"},
        {"-M", G0::Ascii, "ISO-8859-9"}, {"-T", G0::Ascii, "TIS-620"},
    };
    for (const Designation &d : designations) {
        if (!is(d.sequence))
            continue;
        // A G1 designation leaves G0 alone and the reverse.
        if (d.g1)
            sets.g1 = d.g1;
        else
            sets.g0 = d.g0;
        return int(strlen(d.sequence)) + 1;
    }
    return 0;
}

QString lowHalf(const QByteArray &bytes, G0 g0)
{
    if (g0 == G0::Ascii)
        return QString::fromLatin1(bytes);
    // A JIS X 0208 code is EUC-JP with both high bits set; JIS X 0212 has 0x8F before it.
    QByteArray euc;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2) {
        if (g0 == G0::Jis0212)
            euc += char(0x8F);
        euc += char(bytes[i] | 0x80);
        euc += char(bytes[i + 1] | 0x80);
    }
    QString text = iconvText(euc, "EUC-JP");
    if (bytes.size() % 2)
        text += QChar(0xFFFD);
    return text;
}

QString highHalf(const QByteArray &bytes, const char *g1)
{
    if (!g1)
        return QString::fromLatin1(bytes);
    if (strcmp(g1, "kana") == 0) { // half-width katakana, JIS X 0201
        QString text;
        for (char c : bytes)
            text += uchar(c) >= 0xA1 && uchar(c) <= 0xDF ? QChar(0xFF61 + uchar(c) - 0xA1) : QChar(QLatin1Char(c));
        return text;
    }
    return iconvText(bytes, g1);
}

QString decodeText(const char *text, size_t length, DcmItem *item, const DcmVR &vr)
{
    if (isPlainAscii(text, length) || !vr.isAffectedBySpecificCharacterSet())
        return QString::fromLatin1(text, qsizetype(length));
    const OFString charset = charsetOf(item);
    if (charset.empty())
        return decodeUndeclared(text, length);
    if (charset == "ISO_IR 192")
        return QString::fromUtf8(text, qsizetype(length));
    const QString sets = QString::fromLatin1(charset.c_str());
    const QString delimiters = QString::fromLatin1(vr.getDelimiterChars().c_str());
    const bool extensions = sets.contains(QLatin1Char('\\'));
    // glibc's iconv has none of the names DCMTK gives the Japanese two-byte sets.
    if (extensions && (sets.contains(QLatin1String("IR 87")) || sets.contains(QLatin1String("IR 159"))))
        return decodeIso2022(text, length, sets, delimiters);
    // The VR's delimiters end a code switch; DCMTK does not take a "^" byte
    // inside a two-byte code for one.
    OFString utf8;
    if (DcmSpecificCharacterSet *c = converter(charset, "ISO_IR 192"))
        if (c->convertString(text, length, utf8, vr.getDelimiterChars()).good())
            return QString::fromUtf8(utf8.c_str(), qsizetype(utf8.length()));
    if (extensions)
        return decodeIso2022(text, length, sets, delimiters);
    // An unknown set or bytes it cannot hold: read as if undeclared.
    return decodeUndeclared(text, length);
}

void collectUtf8Values(DcmItem *item, std::vector<std::pair<DcmElement *, QByteArray>> &values, bool top)
{
    if (!top && item->tagExists(DCM_SpecificCharacterSet, OFFalse))
        return; // an item with a set of its own keeps it
    for (unsigned long i = 0; i < item->card(); ++i) {
        DcmElement *element = item->getElement(i);
        if (element->ident() == EVR_SQ) {
            auto *sq = OFstatic_cast(DcmSequenceOfItems *, element);
            for (unsigned long j = 0; j < sq->card(); ++j)
                collectUtf8Values(sq->getItem(j), values, false);
            continue;
        }
        if (!element->isAffectedBySpecificCharacterSet() || element->getLength() == 0)
            continue;
        OFString raw;
        if (element->getOFStringArray(raw).bad() || isPlainAscii(raw.c_str(), raw.length()))
            continue;
        values.emplace_back(element, decodeText(raw.c_str(), raw.length(), item, DcmVR(element->ident())).toUtf8());
    }
}

// Moves the values of an item (and of the items inside it without a set of
// their own) to UTF-8, each read as attributeValue() reads it, and declares
// ISO_IR 192 there.
bool switchToUtf8(DcmItem *target)
{
    std::vector<std::pair<DcmElement *, QByteArray>> values;
    collectUtf8Values(target, values, true);
    if (target->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192", OFTrue).bad())
        return false;
    for (auto &[element, utf8] : values)
        element->putString(utf8.constData(), Uint32(utf8.size()));
    return true;
}

} // namespace

QString decodeValue(const char *bytes, size_t length, DcmItem *item, const DcmVR &vr)
{
    // Some senders pad odd-length text with NUL instead of a blank; the
    // padding is no part of the value (and would end an SQL statement early).
    while (length > 0 && bytes[length - 1] == '\0')
        --length;
    return decodeText(bytes, length, item, vr);
}

QByteArray encodeValue(const QString &text, DcmItem *item, const DcmVR &vr)
{
    if (isPlainAscii(text) || !vr.isAffectedBySpecificCharacterSet())
        return text.toLatin1();
    DcmItem *owner = nullptr;
    const OFString charset = charsetOf(item, &owner);
    const QByteArray utf8 = text.toUtf8();
    if (charset == "ISO_IR 192")
        return utf8;
    // A single set that holds the text keeps the item as it came (a received
    // file keeps its set); code extensions are not written.
    if (!charset.empty() && charset.find('\\') == OFString_npos && charset.compare(0, 8, "ISO 2022") != 0) {
        OFString encoded;
        if (DcmSpecificCharacterSet *c = converter("ISO_IR 192", charset))
            if (c->convertString(utf8.constData(), size_t(utf8.size()), encoded).good())
                return QByteArray(encoded.c_str(), qsizetype(encoded.length()));
    }
    DcmItem *target = owner;
    if (!target) {
        target = item;
        while (target->getParentItem())
            target = target->getParentItem();
    }
    if (switchToUtf8(target))
        return utf8;
    return text.toLatin1();
}

QString decodeIso2022(const char *bytes, size_t length, const QString &charset, const QString &delimiters)
{
    const QStringList terms = charset.split(QLatin1Char('\\'));
    Sets initial;
    initial.g1 = highHalfOf(terms.value(0).trimmed());
    Sets sets = initial;

    QString text;
    QByteArray run;
    bool runHigh = false;
    auto flush = [&] {
        if (!run.isEmpty())
            text += runHigh ? highHalf(run, sets.g1) : lowHalf(run, sets.g0);
        run.clear();
    };
    for (size_t i = 0; i < length; ++i) {
        const char c = bytes[i];
        if (c == kEsc) {
            flush();
            Sets next = sets;
            const int used = applyEscape(bytes + i, length - i, next);
            if (used > 0) {
                sets = next;
                i += size_t(used) - 1;
            }
            continue; // an unknown escape is dropped, the text after it kept
        }
        // Control characters always end a switch; the VR's delimiters only
        // while G0 holds ASCII (inside a JIS code 0x5E is no "^").
        const bool control = c == '\t' || c == '\n' || c == '\f' || c == '\r';
        if (control || (sets.g0 == G0::Ascii && delimiters.contains(QLatin1Char(c)))) {
            flush();
            text += QLatin1Char(c);
            sets = initial;
            continue;
        }
        const bool high = uchar(c) >= 0x80;
        if (high != runHigh)
            flush();
        runHigh = high;
        run += c;
    }
    flush();
    return text;
}

} // namespace pacs::toolkit::detail
