#include "db/TsqlFunctions.h"

#include "core/TextValues.h"
#include "db/DbValue.h"
#include "db/TsqlTranslator.h"

#include <QChar>
#include <QDateTime>
#include <QLocale>
#include <sqlite3.h>
#include <optional>
#include <string_view>
#include <vector>

namespace pacs::db {

namespace {

QString argText(sqlite3_value *v)
{
    const auto *bytes = reinterpret_cast<const char *>(sqlite3_value_text(v));
    return QString::fromUtf8(bytes, sqlite3_value_bytes(v));
}

void resultText(sqlite3_context *ctx, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_result_text(ctx, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

QString styledDate(const QDateTime &when, int style)
{
    const QLocale c = QLocale::c();
    switch (style) {
    case 101:
        return c.toString(when, QStringLiteral("MM/dd/yyyy"));
    case 1:
        return c.toString(when, QStringLiteral("MM/dd/yy"));
    case 8:
    case 108:
        return c.toString(when, QStringLiteral("HH:mm:ss"));
    case 103:
        return c.toString(when, QStringLiteral("dd/MM/yyyy"));
    case 112:
        return c.toString(when, QStringLiteral("yyyyMMdd"));
    case 120:
        return c.toString(when, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    default: { // 0 and 100: "Jan 15 2024 10:30AM"
        const QTime t = when.time();
        const int hour12 = t.hour() % 12 == 0 ? 12 : t.hour() % 12;
        return c.toString(when, QStringLiteral("MMM")) + QLatin1Char(' ')
               + QStringLiteral("%1 %2 %3:%4%5")
                     .arg(when.date().day(), 2, 10, QLatin1Char(' '))
                     .arg(when.date().year())
                     .arg(hour12, 2, 10, QLatin1Char(' '))
                     .arg(t.minute(), 2, 10, QLatin1Char('0'))
                     .arg(t.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM"));
    }
    }
}

void convertFunction(sqlite3_context *ctx, int argc, sqlite3_value **argv)
{
    const QString type = argText(argv[0]).toLower();
    sqlite3_value *value = argv[1];
    const int style = argc > 2 && sqlite3_value_type(argv[2]) != SQLITE_NULL ? sqlite3_value_int(argv[2]) : 0;
    if (sqlite3_value_type(value) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    if (type.startsWith(QLatin1String("date")) || type == QLatin1String("smalldatetime")) {
        const QString text = argText(value).trimmed();
        if (text.isEmpty()) { // as SQL Server: the empty text is the base date
            sqlite3_result_text(ctx, "1900-01-01 00:00:00", -1, SQLITE_STATIC);
            return;
        }
        const QString iso = TsqlTranslator::isoDateTime(text);
        if (iso.isEmpty()) {
            const QByteArray message = "Conversion failed when converting date and/or time from character string: '" + text.toUtf8() + "'";
            sqlite3_result_error(ctx, message.constData(), int(message.size()));
            return;
        }
        resultText(ctx, iso);
        return;
    }
    if (type.contains(QLatin1String("char")) || type.contains(QLatin1String("text"))) {
        const QString text = argText(value);
        const QDateTime when = DbValue::fromIsoText(text);
        if (when.isValid() && sqlite3_value_type(value) == SQLITE_TEXT && text.size() >= 10)
            resultText(ctx, styledDate(when, style));
        else
            resultText(ctx, text);
        return;
    }
    if (type.contains(QLatin1String("int")) || type == QLatin1String("bit")) {
        if (sqlite3_value_numeric_type(value) == SQLITE_INTEGER || sqlite3_value_numeric_type(value) == SQLITE_FLOAT) {
            sqlite3_result_int64(ctx, sqlite3_value_int64(value));
            return;
        }
        const QString text = argText(value).trimmed();
        bool ok = false;
        const qint64 n = text.toLongLong(&ok);
        if (!ok) {
            const QByteArray message = "Conversion failed when converting the varchar value '" + text.toUtf8() + "' to data type int.";
            sqlite3_result_error(ctx, message.constData(), int(message.size()));
            return;
        }
        sqlite3_result_int64(ctx, n);
        return;
    }
    if (type == QLatin1String("float") || type == QLatin1String("real") || type.startsWith(QLatin1String("decimal"))
        || type.startsWith(QLatin1String("numeric"))) {
        sqlite3_result_double(ctx, numericValue(argText(value)));
        return;
    }
    sqlite3_result_value(ctx, value);
}

void getdateFunction(sqlite3_context *ctx, int, sqlite3_value **)
{
    resultText(ctx, DbValue::isoText(QDateTime::currentDateTime()));
}


// Texts compare as SQL Server's default collation compares them: without
// regard to case in every script, not only in ASCII. Characters are folded one
// code point at a time (simple case folding), so that LIKE's "_" still stands
// for one character and the comparison and LIKE agree on what is equal.
constexpr char32_t kNotUtf8 = 0x110000; // + the byte: invalid UTF-8 sorts apart from every character

char32_t nextCodePoint(const unsigned char *&p, const unsigned char *end)
{
    const unsigned char lead = *p++;
    if (lead < 0x80)
        return lead;
    int extra = 0;
    char32_t c = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        c = lead & 0x07;
    } else {
        return kNotUtf8 + lead;
    }
    if (end - p < extra)
        return kNotUtf8 + lead;
    for (int i = 0; i < extra; ++i)
        if ((p[i] & 0xC0) != 0x80)
            return kNotUtf8 + lead;
    for (int i = 0; i < extra; ++i)
        c = (c << 6) | (p[i] & 0x3F);
    p += extra;
    return c;
}

char32_t folded(char32_t c)
{
    if (c < 0x80)
        return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
    return c < kNotUtf8 ? QChar::toCaseFolded(c) : c;
}

// Folded code points, in order, of a UTF-8 text.
void foldText(const unsigned char *text, int bytes, std::vector<char32_t> &out)
{
    out.clear();
    const unsigned char *end = text + bytes;
    while (text < end)
        out.push_back(folded(nextCodePoint(text, end)));
}

// Folded code point by code point, from where both texts stand.
int compareCodePoints(const unsigned char *a, const unsigned char *aEnd, const unsigned char *b, const unsigned char *bEnd)
{
    while (a < aEnd && b < bEnd) {
        const char32_t x = folded(nextCodePoint(a, aEnd));
        const char32_t y = folded(nextCodePoint(b, bEnd));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return (a < aEnd ? 1 : 0) - (b < bEnd ? 1 : 0);
}

constexpr char32_t kAnyOne = 0xFFFFFFFF;  // "_" in a pattern
constexpr char32_t kAnyRun = 0xFFFFFFFE;  // "%" in a pattern

constexpr unsigned char asciiFolded(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

bool isAscii(std::string_view s)
{
    for (const char c : s)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// The greedy match of a pattern of folded units (characters, kAnyOne,
// kAnyRun) against folded text: on a mismatch the last "%" takes one more.
template <typename Unit>
bool greedyMatch(const Unit *pat, size_t patSize, const Unit *str, size_t strSize, Unit anyOne, Unit anyRun)
{
    size_t s = 0, p = 0, runAt = size_t(-1), runFrom = 0;
    while (s < strSize) {
        if (p < patSize && pat[p] == anyRun) {
            runAt = p++;
            runFrom = s;
        } else if (p < patSize && (pat[p] == anyOne || pat[p] == str[s])) {
            ++p;
            ++s;
        } else if (runAt != size_t(-1)) {
            p = runAt + 1;
            s = ++runFrom;
        } else {
            return false;
        }
    }
    while (p < patSize && pat[p] == anyRun)
        ++p;
    return p == patSize;
}

// like(pattern, text [, escape]): "text LIKE pattern [ESCAPE escape]" with
// folding of every script. The escape character makes the next character of
// the pattern stand for itself; a pattern that ends in it matches nothing.
void likeFunction(sqlite3_context *ctx, int argc, sqlite3_value **argv)
{
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return; // NULL
    const auto *pattern = sqlite3_value_text(argv[0]);
    const int patternBytes = sqlite3_value_bytes(argv[0]);
    if (patternBytes > sqlite3_limit(sqlite3_context_db_handle(ctx), SQLITE_LIMIT_LIKE_PATTERN_LENGTH, -1)) {
        sqlite3_result_error(ctx, "LIKE or GLOB pattern too complex", -1);
        return;
    }
    const auto *text = sqlite3_value_text(argv[1]);
    const int textBytes = sqlite3_value_bytes(argv[1]);
    std::optional<char32_t> escape;
    if (argc == 3) {
        if (sqlite3_value_type(argv[2]) == SQLITE_NULL)
            return;
        const auto *e = sqlite3_value_text(argv[2]);
        const unsigned char *eEnd = e + sqlite3_value_bytes(argv[2]);
        const unsigned char *p = e;
        if (p < eEnd)
            escape = nextCodePoint(p, eEnd);
        if (e == eEnd || p != eEnd) {
            sqlite3_result_error(ctx, "ESCAPE expression must be a single character", -1);
            return;
        }
    }
    if (!pattern || !text)
        return;
    sqlite3_result_int(ctx, nocaseLike(std::string_view(reinterpret_cast<const char *>(pattern), size_t(patternBytes)),
                                       std::string_view(reinterpret_cast<const char *>(text), size_t(textBytes)), escape)
                                ? 1
                                : 0);
}

int nocaseCollation(void *, int leftBytes, const void *left, int rightBytes, const void *right)
{
    return nocaseCompare(std::string_view(static_cast<const char *>(left), size_t(leftBytes)),
                         std::string_view(static_cast<const char *>(right), size_t(rightBytes)));
}

} // namespace

// The NOCASE collation. For ASCII texts it orders exactly as SQLite's own
// NOCASE does, so indexes over ASCII values keep their order. Bytes below
// 0x80 are one code point each, so the ASCII run at the front is compared
// byte by byte; from the first other byte on, code point by code point.
int nocaseCompare(std::string_view left, std::string_view right)
{
    auto *a = reinterpret_cast<const unsigned char *>(left.data());
    auto *b = reinterpret_cast<const unsigned char *>(right.data());
    const unsigned char *aEnd = a + left.size();
    const unsigned char *bEnd = b + right.size();
    while (a < aEnd && b < bEnd && (*a | *b) < 0x80) {
        const unsigned char x = asciiFolded(*a++);
        const unsigned char y = asciiFolded(*b++);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return compareCodePoints(a, aEnd, b, bEnd);
}

int nocaseCompareByCodePoints(std::string_view left, std::string_view right)
{
    auto *a = reinterpret_cast<const unsigned char *>(left.data());
    auto *b = reinterpret_cast<const unsigned char *>(right.data());
    return compareCodePoints(a, a + left.size(), b, b + right.size());
}

bool nocaseLikeByCodePoints(std::string_view pattern, std::string_view text, std::optional<char32_t> escape)
{
    thread_local std::vector<char32_t> raw, pat, str;
    foldText(reinterpret_cast<const unsigned char *>(pattern.data()), int(pattern.size()), raw);
    const bool hasEscape = escape.has_value();
    const char32_t escapeFolded = hasEscape ? folded(*escape) : 0;
    pat.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        const char32_t c = raw[i];
        if (hasEscape && c == escapeFolded) {
            if (++i == raw.size())
                return false;
            pat.push_back(raw[i]);
        } else if (c == '%') {
            pat.push_back(kAnyRun);
        } else if (c == '_') {
            pat.push_back(kAnyOne);
        } else {
            pat.push_back(c);
        }
    }
    foldText(reinterpret_cast<const unsigned char *>(text.data()), int(text.size()), str);
    return greedyMatch(pat.data(), pat.size(), str.data(), str.size(), kAnyOne, kAnyRun);
}

// Where pattern, text and escape are ASCII, every byte is one character and
// the match runs on the bytes, folded through a table; otherwise by code points.
bool nocaseLike(std::string_view pattern, std::string_view text, std::optional<char32_t> escape)
{
    if ((escape && *escape >= 0x80) || !isAscii(pattern) || !isAscii(text))
        return nocaseLikeByCodePoints(pattern, text, escape);
    // Units above 0xFF stand for the wildcards, so no byte is taken for one.
    constexpr char16_t anyOne = 0x100, anyRun = 0x101;
    const char16_t escapeFolded = escape ? asciiFolded(static_cast<unsigned char>(*escape)) : anyOne;
    thread_local std::vector<char16_t> pat, str;
    pat.clear();
    str.clear();
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char16_t c = asciiFolded(static_cast<unsigned char>(pattern[i]));
        if (escape && c == escapeFolded) {
            if (++i == pattern.size())
                return false;
            pat.push_back(asciiFolded(static_cast<unsigned char>(pattern[i])));
        } else if (c == '%') {
            pat.push_back(anyRun);
        } else if (c == '_') {
            pat.push_back(anyOne);
        } else {
            pat.push_back(c);
        }
    }
    for (const char c : text)
        str.push_back(asciiFolded(static_cast<unsigned char>(c)));
    return greedyMatch(pat.data(), pat.size(), str.data(), str.size(), anyOne, anyRun);
}

void registerTsqlFunctions(sqlite3 *db)
{
    sqlite3_create_function(db, "tsql_convert", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, convertFunction, nullptr, nullptr);
    sqlite3_create_function(db, "tsql_convert", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, convertFunction, nullptr, nullptr);
    sqlite3_create_function(db, "tsql_getdate", 0, SQLITE_UTF8, nullptr, getdateFunction, nullptr, nullptr);
    // Replace SQLite's ASCII-only LIKE and NOCASE; attached databases share them.
    sqlite3_create_function(db, "like", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, likeFunction, nullptr, nullptr);
    sqlite3_create_function(db, "like", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, likeFunction, nullptr, nullptr);
    sqlite3_create_collation(db, "NOCASE", SQLITE_UTF8, nullptr, nocaseCollation);
}

} // namespace pacs::db
