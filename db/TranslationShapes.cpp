#include "db/TranslationShapes.h"

#include <algorithm>

namespace pacs::db {

namespace {

constexpr qsizetype kShapesKept = 512;
// A text literal's place in a shape is '\1n\1', a number's 0.0.0.n.0: each
// is read by the translator as the kind of token it stands for.
constexpr QChar kMark = QChar(0x01);
const QLatin1String kNumberMark("0.0.0.");

bool isWordStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_') || c == QLatin1Char('@') || c == QLatin1Char('#');
}

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('@') || c == QLatin1Char('#')
           || c == QLatin1Char('$');
}

// The statement with its text and number literals replaced by numbered
// marks, and the literals as written (a text's quotes included). Reads the
// text as the translator's tokenizer does: no quote inside a comment or a
// quoted name opens a literal, no digit inside a word is a number.
bool shapeOf(const QString &s, QString &shape, std::vector<QStringView> &literals)
{
    if (s.contains(kMark) || s.contains(kNumberMark))
        return false;
    const qsizetype n = s.size();
    shape.reserve(n + 16);
    qsizetype copied = 0;
    auto mark = [&](qsizetype start, qsizetype end, bool text) {
        shape.append(QStringView(s).mid(copied, start - copied));
        const QString number = QString::number(literals.size());
        if (text)
            shape.append(QLatin1Char('\'')).append(kMark).append(number).append(kMark).append(QLatin1Char('\''));
        else
            shape.append(kNumberMark).append(number).append(QLatin1String(".0"));
        literals.push_back(QStringView(s).mid(start, end - start));
        copied = end;
    };
    for (qsizetype i = 0; i < n;) {
        const QChar c = s[i];
        const qsizetype start = i;
        if (c == QLatin1Char('\'')) {
            i = TsqlTranslator::textLiteralEnd(s, i);
            mark(start, i, true);
        } else if (c.isDigit()) {
            while (i < n && (s[i].isDigit() || s[i] == QLatin1Char('.')))
                ++i;
            mark(start, i, false);
        } else if (c == QLatin1Char('[') || c == QLatin1Char('"')) {
            const QChar close = c == QLatin1Char('[') ? QLatin1Char(']') : QLatin1Char('"');
            ++i;
            while (i < n && s[i] != close)
                ++i;
            if (i < n)
                ++i;
        } else if (c == QLatin1Char('-') && i + 1 < n && s[i + 1] == QLatin1Char('-')) {
            while (i < n && s[i] != QLatin1Char('\n'))
                ++i;
        } else if (c == QLatin1Char('/') && i + 1 < n && s[i + 1] == QLatin1Char('*')) {
            i += 2;
            while (i + 1 < n && !(s[i] == QLatin1Char('*') && s[i + 1] == QLatin1Char('/')))
                ++i;
            i = qMin(n, i + 2);
        } else if ((c == QLatin1Char('N') || c == QLatin1Char('n')) && i + 1 < n && s[i + 1] == QLatin1Char('\'')) {
            ++i; // N'text': the text follows
        } else if (isWordStart(c)) {
            while (i < n && isWordChar(s[i]))
                ++i;
        } else {
            ++i;
        }
    }
    shape.append(QStringView(s).mid(copied));
    return !literals.empty();
}

// The number of the mark that `text` holds at `at`, and where the mark
// ends; -1 when there is none whole.
int markAt(const QString &text, qsizetype at, qsizetype &end)
{
    const bool isText = text[at] == kMark;
    qsizetype digits = at + (isText ? 1 : kNumberMark.size());
    qsizetype stop = digits;
    while (stop < text.size() && text[stop].isDigit())
        ++stop;
    if (stop == digits)
        return -1;
    bool ok = false;
    const int number = QStringView(text).mid(digits, stop - digits).toInt(&ok);
    if (!ok)
        return -1;
    if (isText) {
        // '\1n\1' with its quotes
        if (at == 0 || text[at - 1] != QLatin1Char('\'') || stop + 1 >= text.size() || text[stop] != kMark
            || text[stop + 1] != QLatin1Char('\''))
            return -1;
        end = stop + 2;
    } else {
        // 0.0.0.n.0 as a whole number token
        if (!QStringView(text).mid(stop).startsWith(QLatin1String(".0")))
            return -1;
        end = stop + 2;
        if (end < text.size() && (text[end].isDigit() || text[end] == QLatin1Char('.')))
            return -1;
        if (at > 0 && (isWordChar(text[at - 1]) || text[at - 1] == QLatin1Char('.')))
            return -1;
    }
    return number;
}

} // namespace

QString TranslationShapes::Spliced::with(const std::vector<QStringView> &literals) const
{
    QString text = pieces.front();
    for (size_t i = 0; i < places.size(); ++i)
        text.append(literals[size_t(places[i])]).append(pieces[i + 1]);
    return text;
}

// The translated text cut at each mark, the mark's literal noted; false when
// a mark is not whole or comes twice.
bool TranslationShapes::split(const QString &text, int literals, std::vector<bool> &seen, Spliced &out)
{
    qsizetype copied = 0;
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (text[at] != kMark && !QStringView(text).mid(at).startsWith(kNumberMark))
            continue;
        qsizetype end = 0;
        const int slot = markAt(text, at, end);
        if (slot < 0 || slot >= literals || seen[size_t(slot)])
            return false;
        seen[size_t(slot)] = true;
        const qsizetype from = text[at] == kMark ? at - 1 : at; // a text's mark from its opening quote
        out.pieces.push_back(text.mid(copied, from - copied));
        out.places.push_back(slot);
        copied = end;
        at = end - 1;
    }
    out.pieces.push_back(text.mid(copied));
    return true;
}

bool TranslationShapes::translate(const QString &statement, const TsqlTranslator &translator, TranslatedStatement &out)
{
    QString key;
    std::vector<QStringView> literals;
    if (!shapeOf(statement, key, literals))
        return false;
    auto known = m_shapes.constFind(key);
    if (known == m_shapes.cend()) {
        if (m_shapes.size() >= kShapesKept)
            m_shapes.clear();
        // The shape itself is translated: its marks go through as the
        // literals would when nothing looked at them.
        const TranslatedStatement translated = translator.translate(key);
        std::optional<Shape> shape;
        if (!translated.readLiterals) {
            Shape made;
            made.guardNegated = translated.guardNegated;
            std::vector<bool> seen(literals.size(), false);
            const bool whole = split(translated.sql, int(literals.size()), seen, made.sql)
                               && split(translated.guardQuery, int(literals.size()), seen, made.guardQuery);
            // Every literal exactly once: one that vanished or came twice
            // was not simply passed through.
            if (whole && std::find(seen.begin(), seen.end(), false) == seen.end())
                shape = std::move(made);
        }
        known = m_shapes.insert(key, shape);
    }
    if (!*known)
        return false;
    out.sql = (*known)->sql.with(literals);
    out.guardQuery = (*known)->guardQuery.with(literals);
    out.guardNegated = (*known)->guardNegated;
    out.readLiterals = false;
    return true;
}

} // namespace pacs::db
