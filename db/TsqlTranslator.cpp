#include "db/TsqlTranslator.h"

#include <QDate>
#include <QRegularExpression>
#include <QTime>
#include <algorithm>
#include <iterator>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace pacs::db {

namespace {

enum class Kind { Space, Word, Number, String, Quoted, Punct, Comment };

struct Token
{
    Kind kind;
    QString text;
};

// Text literals whose value the running translation looked at (see
// TranslatedStatement::readLiterals); a translation runs on one thread.
thread_local int t_literalReads = 0;

bool isWordStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_') || c == QLatin1Char('@') || c == QLatin1Char('#');
}

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('@') || c == QLatin1Char('#')
           || c == QLatin1Char('$');
}

std::vector<Token> tokenize(const QString &s)
{
    std::vector<Token> out;
    const qsizetype n = s.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = s[i];
        const qsizetype start = i;
        if (c.isSpace()) {
            while (i < n && s[i].isSpace())
                ++i;
            out.push_back({Kind::Space, s.mid(start, i - start)});
        } else if (c == QLatin1Char('\'')) {
            i = TsqlTranslator::textLiteralEnd(s, i);
            out.push_back({Kind::String, s.mid(start, i - start)});
        } else if (c == QLatin1Char('[')) {
            while (i < n && s[i] != QLatin1Char(']'))
                ++i;
            if (i < n)
                ++i;
            out.push_back({Kind::Quoted, s.mid(start, i - start)});
        } else if (c == QLatin1Char('"')) {
            ++i;
            while (i < n && s[i] != QLatin1Char('"'))
                ++i;
            if (i < n)
                ++i;
            out.push_back({Kind::Quoted, s.mid(start, i - start)});
        } else if (c == QLatin1Char('-') && i + 1 < n && s[i + 1] == QLatin1Char('-')) {
            while (i < n && s[i] != QLatin1Char('\n'))
                ++i;
            out.push_back({Kind::Comment, s.mid(start, i - start)});
        } else if (c == QLatin1Char('/') && i + 1 < n && s[i + 1] == QLatin1Char('*')) {
            i += 2;
            while (i + 1 < n && !(s[i] == QLatin1Char('*') && s[i + 1] == QLatin1Char('/')))
                ++i;
            i = qMin(n, i + 2);
            out.push_back({Kind::Comment, s.mid(start, i - start)});
        } else if (c.isDigit()) {
            while (i < n && (s[i].isDigit() || s[i] == QLatin1Char('.')))
                ++i;
            out.push_back({Kind::Number, s.mid(start, i - start)});
        } else if ((c == QLatin1Char('N') || c == QLatin1Char('n')) && i + 1 < n && s[i + 1] == QLatin1Char('\'')) {
            ++i; // N'text': the prefix only marks a national text
        } else if (isWordStart(c)) {
            while (i < n && isWordChar(s[i]))
                ++i;
            out.push_back({Kind::Word, s.mid(start, i - start)});
        } else {
            static const QStringList twoChar = {QStringLiteral("<="), QStringLiteral(">="), QStringLiteral("<>"),
                                                QStringLiteral("!="), QStringLiteral("||")};
            const QString pair = s.mid(i, 2);
            if (twoChar.contains(pair)) {
                i += 2;
                out.push_back({Kind::Punct, pair});
            } else {
                ++i;
                out.push_back({Kind::Punct, QString(c)});
            }
        }
    }
    return out;
}

bool is(const Token &t, const char *word)
{
    return (t.kind == Kind::Word || t.kind == Kind::Punct) && t.text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
}

bool isName(const Token &t)
{
    return t.kind == Kind::Word || t.kind == Kind::Quoted;
}

QString unquoted(const Token &t)
{
    if (t.kind == Kind::Quoted)
        return t.text.mid(1, t.text.size() - 2);
    if (t.kind == Kind::String)
        ++t_literalReads;
    return t.text;
}

QString quotedName(const QString &name)
{
    QString n = name;
    n.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + n + QLatin1Char('"');
}

bool isTypeName(const QString &name)
{
    static const QStringList types = {
        QStringLiteral("bigint"),   QStringLiteral("int"),       QStringLiteral("integer"), QStringLiteral("smallint"),
        QStringLiteral("tinyint"),  QStringLiteral("bit"),       QStringLiteral("float"),   QStringLiteral("real"),
        QStringLiteral("decimal"),  QStringLiteral("numeric"),   QStringLiteral("money"),   QStringLiteral("varchar"),
        QStringLiteral("nvarchar"), QStringLiteral("char"),      QStringLiteral("nchar"),   QStringLiteral("text"),
        QStringLiteral("ntext"),    QStringLiteral("datetime"),  QStringLiteral("date"),    QStringLiteral("smalldatetime"),
        QStringLiteral("datetime2"), QStringLiteral("time"),     QStringLiteral("uniqueidentifier"),
        QStringLiteral("image"),    QStringLiteral("varbinary")};
    return types.contains(name, Qt::CaseInsensitive);
}

bool isTextTypeName(const QString &name)
{
    static const QStringList types = {QStringLiteral("varchar"), QStringLiteral("nvarchar"), QStringLiteral("char"),
                                      QStringLiteral("nchar"), QStringLiteral("text"), QStringLiteral("ntext")};
    return types.contains(name, Qt::CaseInsensitive);
}

// Index of the next token that is not blank or a comment, or -1 (also
// when `from` is -1, the "not found" of a search before).
qsizetype nextSignificant(const std::vector<Token> &t, qsizetype from)
{
    if (from < 0)
        return -1;
    for (qsizetype i = from; i < qsizetype(t.size()); ++i)
        if (t[i].kind != Kind::Space && t[i].kind != Kind::Comment)
            return i;
    return -1;
}

qsizetype prevSignificant(const std::vector<Token> &t, qsizetype from)
{
    for (qsizetype i = from; i >= 0; --i)
        if (t[i].kind != Kind::Space && t[i].kind != Kind::Comment)
            return i;
    return -1;
}

// Position of the parenthesis closing the one at `open`, or -1.
qsizetype matchingParen(const std::vector<Token> &t, qsizetype open)
{
    int depth = 0;
    for (qsizetype i = open; i < qsizetype(t.size()); ++i) {
        if (is(t[i], "("))
            ++depth;
        else if (is(t[i], ")") && --depth == 0)
            return i;
    }
    return -1;
}

QString join(const std::vector<Token> &t, qsizetype from, qsizetype to)
{
    QString s;
    for (qsizetype i = from; i < to && i < qsizetype(t.size()); ++i)
        s += t[i].text;
    return s;
}


// The last part of a name at `at` (Patient_Data.tbMaster -> tbMaster), in lower
// case; `at` moves past the name. Empty when no name stands there.
QString lastNamePart(const std::vector<Token> &t, qsizetype &at)
{
    if (at < 0 || !isName(t[at]))
        return QString();
    QString name = unquoted(t[at]);
    while (at + 2 < qsizetype(t.size()) && is(t[at + 1], ".") && isName(t[at + 2])) {
        at += 2;
        name = unquoted(t[at]);
    }
    ++at;
    return name.toLower();
}

// The significant tokens of each comma-separated item from `from` up to, not
// including, `to`, commas inside parentheses left alone.
std::vector<std::vector<qsizetype>> listItems(const std::vector<Token> &t, qsizetype from, qsizetype to)
{
    std::vector<std::vector<qsizetype>> items(1);
    int depth = 0;
    for (qsizetype i = from; i < to; ++i) {
        if (t[i].kind == Kind::Space || t[i].kind == Kind::Comment)
            continue;
        if (is(t[i], "("))
            ++depth;
        else if (is(t[i], ")"))
            --depth;
        else if (depth == 0 && is(t[i], ",")) {
            items.emplace_back();
            continue;
        }
        items.back().push_back(i);
    }
    return items;
}

// A date or time text in the form dates are stored in; SQL Server takes the
// empty text (and blanks) as its base date. Empty when the text is no date.
QString storedDate(const QString &text)
{
    if (text.trimmed().isEmpty())
        return QStringLiteral("1900-01-01 00:00:00");
    return TsqlTranslator::isoDateTime(text);
}

// The one text a LIKE pattern matches when it holds no wildcard; nothing when
// it holds one, or when the escape is no single plain character.
std::optional<QString> exactLikeText(const QString &pattern, const std::optional<QString> &escape)
{
    if (escape && (escape->size() != 1 || escape->at(0).isLetter() || escape->at(0).isSurrogate()))
        return std::nullopt;
    QString text;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (escape && c == escape->at(0)) {
            if (++i == pattern.size())
                return std::nullopt;
            text += pattern[i];
        } else if (c == QLatin1Char('%') || c == QLatin1Char('_')) {
            return std::nullopt;
        } else {
            text += c;
        }
    }
    return text;
}

// The NOCASE range every text a LIKE pattern matches lies in, when the
// pattern starts with plain ASCII characters: a text matching 'abc%' folds to
// "abc..." and so sorts at or after 'abc' and before 'abd'. Only ASCII,
// because there the folded form of the next character is known: it is the
// character itself, except after '@', where the next folded one is '['
// ('A'..'Z' fold away). Nothing when the pattern starts with a wildcard, holds
// none, or its escape is no single plain character.
std::optional<std::pair<QString, QString>> likePrefixRange(const QString &pattern, const std::optional<QString> &escape)
{
    if (escape && (escape->size() != 1 || escape->at(0).isLetter() || escape->at(0).isSurrogate()))
        return std::nullopt;
    QString prefix;
    bool wildcard = false;
    for (qsizetype i = 0; i < pattern.size() && !wildcard; ++i) {
        QChar c = pattern[i];
        if (escape && c == escape->at(0)) {
            if (++i == pattern.size())
                return std::nullopt;
            c = pattern[i];
        } else if (c == QLatin1Char('%') || c == QLatin1Char('_')) {
            wildcard = true;
            break;
        }
        if (c.unicode() >= 0x80 || c.unicode() == 0)
            return std::nullopt;
        prefix += c;
    }
    if (!wildcard || prefix.isEmpty())
        return std::nullopt;
    const char16_t last = prefix.back().toLower().unicode();
    if (last == 0x7F)
        return std::nullopt;
    QString upper = prefix.left(prefix.size() - 1);
    upper += QChar(last == u'@' ? u'[' : char16_t(last + 1));
    return std::make_pair(prefix, upper);
}

// A LIKE pattern as a GLOB pattern, which compares letters exactly; nothing
// when the escape is no single plain character.
std::optional<QString> likeAsGlob(const QString &pattern, const std::optional<QString> &escape)
{
    if (escape && (escape->size() != 1 || escape->at(0).isLetter() || escape->at(0).isSurrogate()))
        return std::nullopt;
    QString glob;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        QChar c = pattern[i];
        bool literal = false;
        if (escape && c == escape->at(0)) {
            if (++i == pattern.size())
                return std::nullopt;
            c = pattern[i];
            literal = true;
        }
        if (!literal && c == QLatin1Char('%'))
            glob += QLatin1Char('*');
        else if (!literal && c == QLatin1Char('_'))
            glob += QLatin1Char('?');
        else if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('['))
            glob += QLatin1Char('[') + QString(c) + QLatin1Char(']');
        else
            glob += c;
    }
    return glob;
}

// SQL Server's binary collations ("Latin1_General_BIN2") and SQLite's own.
bool isBinaryCollation(const QString &name)
{
    return name.compare(QLatin1String("BINARY"), Qt::CaseInsensitive) == 0
           || name.endsWith(QLatin1String("_BIN"), Qt::CaseInsensitive)
           || name.endsWith(QLatin1String("_BIN2"), Qt::CaseInsensitive);
}

// The text of a literal token, quotes removed and doubled apostrophes undone.
QString literalText(const Token &t)
{
    ++t_literalReads;
    return t.text.mid(1, t.text.size() - 2).replace(QLatin1String("''"), QLatin1String("'"));
}

QString literalToken(const QString &text)
{
    return QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QLatin1String("''")) + QLatin1Char('\'');
}

// In a single SELECT over joined tables, a bare column name that several of
// the tables hold is taken from the first of them.
void qualifyAmbiguousColumns(std::vector<Token> &t, const QHash<QString, QSet<QString>> &tableColumns)
{
    const qsizetype first = nextSignificant(t, 0);
    if (first < 0 || !is(t[first], "SELECT"))
        return;
    int clauses = 0;
    for (const Token &token : t)
        if (is(token, "SELECT") || is(token, "FROM"))
            ++clauses;
    if (clauses != 2) // one SELECT, one FROM: no subqueries to scope
        return;
    struct Source
    {
        QString qualifier; // alias, or the table's own name
        const QSet<QString> *columns;
    };
    std::vector<Source> sources;
    std::set<qsizetype> sourceTokens;
    QSet<QString> qualifiers;
    for (qsizetype i = 0; i < qsizetype(t.size()); ++i) {
        if (!is(t[i], "FROM") && !is(t[i], "JOIN"))
            continue;
        qsizetype at = nextSignificant(t, i + 1);
        if (at < 0 || !isName(t[at]))
            continue;
        while (at + 2 < qsizetype(t.size()) && is(t[at + 1], ".") && isName(t[at + 2]))
            at += 2; // schema.table: the table
        const QString table = unquoted(t[at]).toLower();
        sourceTokens.insert(at);
        QString qualifier = unquoted(t[at]);
        qsizetype alias = nextSignificant(t, at + 1);
        if (alias >= 0 && is(t[alias], "AS"))
            alias = nextSignificant(t, alias + 1);
        static const QStringList keywords = {"WHERE", "LEFT", "RIGHT", "INNER", "OUTER", "FULL", "CROSS", "JOIN", "ON",
                                             "ORDER", "GROUP", "HAVING", "UNION", "WITH"};
        if (alias >= 0 && t[alias].kind == Kind::Word && !keywords.contains(t[alias].text, Qt::CaseInsensitive)) {
            qualifier = t[alias].text;
            sourceTokens.insert(alias);
        }
        qualifiers.insert(qualifier.toLower());
        const auto columns = tableColumns.constFind(table);
        sources.push_back({qualifier, columns == tableColumns.cend() ? nullptr : &columns.value()});
    }
    if (sources.size() < 2)
        return;
    for (qsizetype i = 0; i < qsizetype(t.size()); ++i) {
        if (t[i].kind != Kind::Word || sourceTokens.count(i))
            continue;
        const QString name = t[i].text.toLower();
        if (qualifiers.contains(name))
            continue;
        const qsizetype prev = prevSignificant(t, i - 1);
        const qsizetype next = nextSignificant(t, i + 1);
        if ((prev >= 0 && (is(t[prev], ".") || is(t[prev], "AS"))) || (next >= 0 && (is(t[next], ".") || is(t[next], "("))))
            continue;
        const Source *owner = nullptr;
        int holders = 0;
        for (const Source &source : sources)
            if (source.columns && source.columns->contains(name) && holders++ == 0)
                owner = &source;
        if (holders < 2)
            continue;
        const Token column = t[i];
        t[i] = Token{Kind::Word, owner->qualifier};
        t.insert(t.begin() + i + 1, {Token{Kind::Punct, QStringLiteral(".")}, column});
        i += 2;
    }
}

} // namespace

namespace {

// The function that stands for convert(type, x[, style]) on PostgreSQL.
QString postgresConvertFunction(const QString &type)
{
    if (type.startsWith(QLatin1String("date")) || type == QLatin1String("smalldatetime"))
        return QStringLiteral("tsql_datetime");
    if (type.contains(QLatin1String("int")) || type == QLatin1String("bit"))
        return QStringLiteral("tsql_int");
    if (type == QLatin1String("float") || type == QLatin1String("real") || type.startsWith(QLatin1String("decimal"))
        || type.startsWith(QLatin1String("numeric")) || type == QLatin1String("money"))
        return QStringLiteral("tsql_real");
    return QStringLiteral("tsql_text");
}

// A T-SQL column type as a PostgreSQL table declares it; empty: the same.
// Texts become citext, which compares without regard to case.
QString postgresColumnType(const QString &tsqlType)
{
    const QString type = tsqlType.toLower();
    if (isTextTypeName(type) || type == QLatin1String("uniqueidentifier"))
        return QStringLiteral("citext");
    if (type == QLatin1String("datetime") || type == QLatin1String("smalldatetime") || type == QLatin1String("datetime2"))
        return QStringLiteral("timestamp");
    if (type == QLatin1String("bit") || type == QLatin1String("tinyint"))
        return QStringLiteral("smallint");
    if (type == QLatin1String("float"))
        return QStringLiteral("double precision");
    if (type == QLatin1String("money"))
        return QStringLiteral("numeric(19,4)");
    if (type == QLatin1String("image") || type == QLatin1String("varbinary"))
        return QStringLiteral("bytea");
    return QString();
}

} // namespace

TsqlTranslator::TsqlTranslator(SqlDialect dialect, const QString &ownDatabase)
    : m_dialect(dialect), m_ownDatabase(ownDatabase)
{
    setColumnTypes(archiveDateColumns());
}

ColumnTypes TsqlTranslator::archiveDateColumns()
{
    const QString date = QStringLiteral("datetime");
    return {{QStringLiteral("patienttable"), {{QStringLiteral("dateofbirth"), date}}},
            {QStringLiteral("studytable"), {{QStringLiteral("studydate"), date}, {QStringLiteral("studytime"), date}}},
            {QStringLiteral("events"), {{QStringLiteral("datetime"), date}}},
            {QStringLiteral("tbmaster"), {{QStringLiteral("birthdate"), date}}},
            {QStringLiteral("patientview"), {{QStringLiteral("patientbirthdate"), date}}},
            {QStringLiteral("studystudyview"),
             {{QStringLiteral("studydate"), date}, {QStringLiteral("studytime"), date}, {QStringLiteral("patientbirthdate"), date}}},
            {QStringLiteral("studypatientview"),
             {{QStringLiteral("studydate"), date}, {QStringLiteral("studytime"), date}, {QStringLiteral("patientbirthdate"), date}}},
            {QStringLiteral("imageretrievalview"), {{QStringLiteral("studydate"), date}}}};
}

void TsqlTranslator::setColumnTypes(const ColumnTypes &columns)
{
    m_dateColumns.clear();
    m_dateColumnNames.clear();
    m_numberColumns.clear();
    m_numberColumnNames.clear();
    m_textColumnNames.clear();
    m_tableColumns.clear();
    m_exactTextColumnNames.clear();
    QSet<QString> otherNames;
    QSet<QString> foldedNames;
    for (auto table = columns.cbegin(); table != columns.cend(); ++table)
        for (auto column = table->cbegin(); column != table->cend(); ++column) {
            m_tableColumns[table.key()].insert(column.key());
            // The declared type gives the column its affinity as SQLite reads it.
            const QString &type = column.value();
            const bool text = !type.contains(QLatin1String("int"))
                              && (type.contains(QLatin1String("char")) || type.contains(QLatin1String("text"))
                                  || type.contains(QLatin1String("clob")));
            if (type.contains(QLatin1String("date")) || type.contains(QLatin1String("time"))) {
                m_dateColumns[table.key()].insert(column.key());
                m_dateColumnNames.insert(column.key());
            } else if (!text && (type.contains(QLatin1String("int")) || type == QLatin1String("bit"))) {
                m_numberColumns[table.key()].insert(column.key());
                m_numberColumnNames.insert(column.key());
            }
            (text ? m_textColumnNames : otherNames).insert(column.key());
            if (text)
                (type.contains(QLatin1String(ExactCollation)) ? m_exactTextColumnNames : foldedNames).insert(column.key());
        }
    m_textColumnNames.subtract(otherNames);
    m_exactTextColumnNames.subtract(otherNames);
    m_exactTextColumnNames.subtract(foldedNames);
}

QString TsqlTranslator::isoDateTime(const QString &input)
{
    const QString text = input.trimmed();
    static const QRegularExpression us(QStringLiteral(
        R"(^(\d{1,2})[/\-.](\d{1,2})[/\-.](\d{4})(?:\s+(\d{1,2}):(\d{2})(?::(\d{2})(?:\.\d+)?)?\s*([AaPp][Mm])?)?$)"));
    static const QRegularExpression iso(QStringLiteral(
        R"(^(\d{4})-?(\d{2})-?(\d{2})(?:[ T](\d{1,2}):(\d{2})(?::(\d{2})(?:\.\d+)?)?)?$)"));
    static const QRegularExpression timeOnly(
        QStringLiteral(R"(^(\d{1,2}):(\d{2})(?::(\d{2})(?:\.\d+)?)?\s*([AaPp][Mm])?$)"));
    static const QRegularExpression named(QStringLiteral(
        R"(^([A-Za-z]{3})[a-z]*\s+(\d{1,2}),?\s+(\d{4})(?:\s+(\d{1,2}):(\d{2})(?::(\d{2}))?\s*([AaPp][Mm])?)?$)"));

    int y = 1900, mo = 1, d = 1, h = 0, mi = 0, s = 0;
    QString ampm;
    QRegularExpressionMatch m;
    // Hour, minute, second (and AM/PM where the form has it) from capture `first` on.
    auto readTime = [&](int first) {
        h = m.captured(first).toInt();
        mi = m.captured(first + 1).toInt();
        s = m.captured(first + 2).toInt();
        ampm = m.captured(first + 3);
    };
    if ((m = us.match(text)).hasMatch()) {
        mo = m.captured(1).toInt();
        d = m.captured(2).toInt();
        y = m.captured(3).toInt();
        readTime(4);
    } else if ((m = iso.match(text)).hasMatch()) {
        y = m.captured(1).toInt();
        mo = m.captured(2).toInt();
        d = m.captured(3).toInt();
        readTime(4); // the ISO form has no AM/PM capture: empty
    } else if ((m = timeOnly.match(text)).hasMatch()) {
        readTime(1);
    } else if ((m = named.match(text)).hasMatch()) {
        static const QStringList months = {QStringLiteral("jan"), QStringLiteral("feb"), QStringLiteral("mar"),
                                           QStringLiteral("apr"), QStringLiteral("may"), QStringLiteral("jun"),
                                           QStringLiteral("jul"), QStringLiteral("aug"), QStringLiteral("sep"),
                                           QStringLiteral("oct"), QStringLiteral("nov"), QStringLiteral("dec")};
        mo = int(months.indexOf(m.captured(1).toLower())) + 1;
        if (mo == 0)
            return QString();
        d = m.captured(2).toInt();
        y = m.captured(3).toInt();
        readTime(4);
    } else {
        return QString();
    }
    if (!ampm.isEmpty()) {
        if (h < 1 || h > 12)
            return QString();
        const bool pm = ampm.startsWith(QLatin1Char('p'), Qt::CaseInsensitive);
        h = (h % 12) + (pm ? 12 : 0);
    }
    const QDate date(y, mo, d);
    const QTime time(h, mi, s);
    if (!date.isValid() || !time.isValid())
        return QString();
    return date.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char(' ') + time.toString(QStringLiteral("HH:mm:ss"));
}

qsizetype TsqlTranslator::textLiteralEnd(const QString &s, qsizetype quote)
{
    const qsizetype n = s.size();
    qsizetype i = quote + 1;
    while (i < n) {
        if (s[i] == QLatin1Char('\'')) {
            if (i + 1 < n && s[i + 1] == QLatin1Char('\'')) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return n;
}

TranslatedStatement TsqlTranslator::translate(const QString &tsql) const
{
    const int readsBefore = t_literalReads;
    TranslatedStatement result = translateStatement(tsql);
    result.readLiterals = t_literalReads != readsBefore;
    return result;
}

TranslatedStatement TsqlTranslator::translateStatement(const QString &tsql) const
{
    TranslatedStatement result;
    std::vector<Token> t = tokenize(tsql);
    const qsizetype first = nextSignificant(t, 0);
    if (first < 0)
        return result;

    // USE <database>: the connection is already in the right database.
    if (is(t[first], "USE")) {
        const qsizetype db = nextSignificant(t, first + 1);
        const qsizetype after = db < 0 ? -1 : nextSignificant(t, db + 1);
        if (db >= 0 && isName(t[db]) && (after < 0 || is(t[after], ";")))
            return result;
    }

    // IF [NOT] EXISTS ( query ) BEGIN statement END
    if (is(t[first], "IF")) {
        qsizetype k = nextSignificant(t, first + 1);
        bool negated = false;
        if (k >= 0 && is(t[k], "NOT")) {
            negated = true;
            k = nextSignificant(t, k + 1);
        }
        if (k >= 0 && is(t[k], "EXISTS")) {
            const qsizetype open = nextSignificant(t, k + 1);
            const qsizetype close = open < 0 ? -1 : matchingParen(t, open);
            const qsizetype begin = close < 0 ? -1 : nextSignificant(t, close + 1);
            if (begin >= 0 && is(t[begin], "BEGIN")) {
                qsizetype end = -1;
                for (qsizetype i = qsizetype(t.size()) - 1; i > begin; --i)
                    if (t[i].kind != Kind::Space && t[i].kind != Kind::Comment) {
                        if (is(t[i], ";"))
                            continue;
                        if (is(t[i], "END"))
                            end = i;
                        break;
                    }
                if (end > 0) {
                    result.guardQuery = translateBody(join(t, open + 1, close));
                    result.guardNegated = negated;
                    result.sql = translateBody(join(t, begin + 1, end)).trimmed();
                    return result;
                }
            }
        }
    }
    result.sql = translateBody(tsql);
    return result;
}

namespace {

// Positions of the text literals that INSERT ... (columns) VALUES (...) and
// UPDATE ... SET column = ... write into date columns of their table. A table
// the catalog does not know is taken to have the date columns of any table.
std::set<qsizetype> dateWrites(const std::vector<Token> &t, const QHash<QString, QSet<QString>> &catalog,
                               const QSet<QString> &anyTable)
{
    std::set<qsizetype> found;
    qsizetype k = nextSignificant(t, 0);
    if (k < 0)
        return found;
    auto dateColumnsOf = [&](const QString &table) -> const QSet<QString> & {
        const auto it = catalog.constFind(table);
        return it == catalog.constEnd() ? anyTable : *it;
    };
    auto singleLiteral = [&](const std::vector<qsizetype> &item) {
        return item.size() == 1 && t[item.front()].kind == Kind::String;
    };

    if (is(t[k], "INSERT")) {
        k = nextSignificant(t, k + 1);
        if (k >= 0 && is(t[k], "INTO"))
            k = nextSignificant(t, k + 1);
        const QString table = lastNamePart(t, k);
        k = nextSignificant(t, k);
        if (table.isEmpty() || k < 0 || !is(t[k], "("))
            return found;
        const qsizetype close = matchingParen(t, k);
        if (close < 0)
            return found;
        QStringList columns;
        for (const auto &item : listItems(t, k + 1, close)) {
            qsizetype at = item.empty() ? -1 : item.front();
            const QString name = item.size() == 1 || (item.size() > 1 && is(t[item[1]], ".")) ? lastNamePart(t, at) : QString();
            columns << name;
        }
        const QSet<QString> &dates = dateColumnsOf(table);
        k = nextSignificant(t, close + 1);
        if (k < 0 || !is(t[k], "VALUES"))
            return found;
        for (k = nextSignificant(t, k + 1); k >= 0 && is(t[k], "("); k = nextSignificant(t, k + 1)) {
            const qsizetype rowClose = matchingParen(t, k);
            if (rowClose < 0)
                break;
            const auto values = listItems(t, k + 1, rowClose);
            for (size_t v = 0; v < values.size() && v < size_t(columns.size()); ++v)
                if (singleLiteral(values[v]) && dates.contains(columns[qsizetype(v)]))
                    found.insert(values[v].front());
            k = nextSignificant(t, rowClose + 1);
            if (k < 0 || !is(t[k], ","))
                break;
        }
        return found;
    }

    if (is(t[k], "UPDATE")) {
        k = nextSignificant(t, k + 1);
        const QString table = lastNamePart(t, k);
        k = nextSignificant(t, k);
        if (table.isEmpty() || k < 0 || !is(t[k], "SET"))
            return found;
        const QSet<QString> &dates = dateColumnsOf(table);
        // The assignments end where the clause after them begins.
        qsizetype end = k + 1;
        for (int depth = 0; end < qsizetype(t.size()); ++end) {
            if (is(t[end], "("))
                ++depth;
            else if (is(t[end], ")"))
                --depth;
            else if (depth == 0 && (is(t[end], "WHERE") || is(t[end], "FROM") || is(t[end], "OUTPUT") || is(t[end], ";")))
                break;
        }
        for (const auto &item : listItems(t, k + 1, end)) {
            // column = value, the column perhaps qualified
            qsizetype eq = 0;
            while (eq < qsizetype(item.size()) && !is(t[item[eq]], "="))
                ++eq;
            if (eq == 0 || eq + 2 != qsizetype(item.size()) || t[item[eq + 1]].kind != Kind::String)
                continue;
            const qsizetype column = item[eq - 1];
            if (isName(t[column]) && dates.contains(unquoted(t[column]).toLower()))
                found.insert(item[eq + 1]);
        }
    }
    return found;
}

} // namespace

QString TsqlTranslator::translateBody(const QString &tsql) const
{
    std::vector<Token> in = tokenize(tsql);
    const qsizetype first = nextSignificant(in, 0);
    const bool isDdl = first >= 0 && (is(in[first], "CREATE") || is(in[first], "ALTER"));
    const bool isCreateIndex = isDdl && [&] {
        qsizetype k = nextSignificant(in, first + 1);
        while (k >= 0 && (is(in[k], "UNIQUE") || is(in[k], "CLUSTERED") || is(in[k], "NONCLUSTERED")))
            k = nextSignificant(in, k + 1);
        return k >= 0 && is(in[k], "INDEX");
    }();

    // Pass 1: multi-part names. Runs of name ('.' name?)* are collected and
    // the database/owner parts dropped or mapped to an attached schema.
    std::vector<Token> t;
    t.reserve(in.size());
    for (qsizetype i = 0; i < qsizetype(in.size());) {
        if (!isName(in[i]) || (i + 1 < qsizetype(in.size()) && is(in[i + 1], "("))) {
            t.push_back(in[i++]);
            continue;
        }
        QList<Token> parts{in[i]};
        qsizetype j = i + 1;
        while (j < qsizetype(in.size()) && is(in[j], ".")) {
            if (j + 1 < qsizetype(in.size()) && isName(in[j + 1])) {
                parts.append(in[j + 1]);
                j += 2;
            } else if (j + 1 < qsizetype(in.size()) && is(in[j + 1], ".")) {
                parts.append(Token{Kind::Word, QString()}); // DICOM..T: owner omitted
                j += 1;
            } else {
                break;
            }
        }
        if (parts.size() == 3 || (parts.size() == 2 && unquoted(parts[0]).compare(QLatin1String("dbo"), Qt::CaseInsensitive) == 0)) {
            const Token object = parts.last();
            const QString database = parts.size() == 3 ? unquoted(parts[0]) : QString();
            if (!database.isEmpty() && database.compare(m_ownDatabase, Qt::CaseInsensitive) != 0) {
                t.push_back({Kind::Word, database});
                t.push_back({Kind::Punct, QStringLiteral(".")});
            }
            t.push_back(object);
        } else {
            for (qsizetype p = 0; p < parts.size(); ++p) {
                if (p > 0)
                    t.push_back({Kind::Punct, QStringLiteral(".")});
                t.push_back(parts[p]);
            }
        }
        i = j;
    }

    // [bigint], [varchar](50) in a column definition are type names.
    if (isDdl) {
        for (qsizetype i = 0; i < qsizetype(t.size()); ++i) {
            const qsizetype prev = prevSignificant(t, i - 1);
            if (t[i].kind == Kind::Quoted && isTypeName(unquoted(t[i])) && prev >= 0 && isName(t[prev]))
                t[i] = Token{Kind::Word, unquoted(t[i])};
        }
    }

    // CREATE INDEX x ON schema.table: the schema goes on the index name.
    if (isCreateIndex && m_dialect == SqlDialect::SQLite) {
        for (qsizetype i = 0; i < qsizetype(t.size()); ++i) {
            if (!is(t[i], "ON"))
                continue;
            const qsizetype schema = nextSignificant(t, i + 1);
            if (schema >= 0 && schema + 2 < qsizetype(t.size()) && isName(t[schema]) && is(t[schema + 1], ".")) {
                const qsizetype nameAt = prevSignificant(t, i - 1);
                if (nameAt >= 0 && isName(t[nameAt])) {
                    const Token s = t[schema];
                    t.erase(t.begin() + schema, t.begin() + schema + 2);
                    t.insert(t.begin() + nameAt, {s, Token{Kind::Punct, QStringLiteral(".")}});
                }
            }
            break;
        }
    }

    qualifyAmbiguousColumns(t, m_tableColumns);

    // Pass 2: the rewrites that look at neighbours.
    struct Paren
    {
        QString limit;     // TOP n waiting for the end of this level
        bool textCall = false; // a convert(varchar...) whose result is text
        bool escapePending = false; // a LIKE pattern waiting for its ESCAPE ''
    };
    std::vector<Paren> levels(1);
    std::vector<Token> out;
    out.reserve(t.size() + 8);
    auto lastSignificantOut = [&]() -> const Token * {
        for (auto it = out.rbegin(); it != out.rend(); ++it)
            if (it->kind != Kind::Space && it->kind != Kind::Comment)
                return &*it;
        return nullptr;
    };
    bool lastCloseWasText = false;
    const std::set<qsizetype> writes = dateWrites(t, m_dateColumns, m_dateColumnNames);
    // SQL Server reads '' written into a number column as 0; PostgreSQL refuses it.
    const std::set<qsizetype> numberWrites = m_dialect == SqlDialect::PostgreSQL
                                                 ? dateWrites(t, m_numberColumns, m_numberColumnNames)
                                                 : std::set<qsizetype>();
    // A text literal as the dialect writes it: PostgreSQL may read "\" in a
    // plain literal as an escape, never in an E'' literal with it doubled.
    auto pushText = [&](const QString &literal) {
        if (m_dialect == SqlDialect::PostgreSQL)
            ++t_literalReads;
        if (m_dialect == SqlDialect::PostgreSQL && literal.contains(QLatin1Char('\\')))
            out.push_back({Kind::String, QLatin1Char('E') + QString(literal).replace(QLatin1Char('\\'), QLatin1String("\\\\"))});
        else
            out.push_back({Kind::String, literal});
    };

    // text_column LIKE 'pattern without wildcards' [ESCAPE 'c'] at `like`:
    // SQLite uses no index for a LIKE it does not implement itself, so the
    // same condition is given as an equality too (NOCASE folds as LIKE does);
    // a pattern with a plain ASCII prefix as the NOCASE range of that prefix.
    // The column, the pattern and the escape are taken; `like` moves past them.
    auto likeAsEquality = [&](qsizetype &like) {
        qsizetype columnEnd = qsizetype(out.size());
        while (columnEnd > 0 && (out[columnEnd - 1].kind == Kind::Space || out[columnEnd - 1].kind == Kind::Comment))
            --columnEnd;
        if (columnEnd == 0 || !isName(out[columnEnd - 1])
            || !m_textColumnNames.contains(unquoted(out[columnEnd - 1]).toLower()))
            return false;
        qsizetype columnStart = columnEnd - 1;
        while (columnStart >= 2 && is(out[columnStart - 1], ".") && isName(out[columnStart - 2]))
            columnStart -= 2;
        // Only where nothing binds the column more tightly than LIKE does.
        const auto precedes = std::find_if(std::make_reverse_iterator(out.begin() + columnStart), out.rend(), [](const Token &x) {
            return x.kind != Kind::Space && x.kind != Kind::Comment;
        });
        if (precedes != out.rend()) {
            static const char *const openers[] = {"(", ",", "WHERE", "AND", "OR", "NOT", "ON", "HAVING", "WHEN", "THEN", "ELSE", "SELECT"};
            if (std::none_of(std::begin(openers), std::end(openers), [&](const char *w) { return is(*precedes, w); }))
                return false;
        }
        const qsizetype pattern = nextSignificant(t, like + 1);
        if (pattern < 0 || t[pattern].kind != Kind::String)
            return false;
        qsizetype last = pattern;
        std::optional<QString> escape;
        qsizetype k = nextSignificant(t, pattern + 1);
        if (k >= 0 && is(t[k], "ESCAPE")) {
            last = nextSignificant(t, k + 1);
            if (last < 0 || t[last].kind != Kind::String)
                return false;
            escape = literalText(t[last]);
            k = nextSignificant(t, last + 1);
        }
        if (k >= 0) {
            static const char *const closers[] = {")", ";", ",", "AND", "OR", "ORDER", "GROUP", "LIMIT", "UNION", "EXCEPT",
                                                  "INTERSECT", "HAVING", "WHEN", "THEN", "ELSE", "END"};
            if (std::none_of(std::begin(closers), std::end(closers), [&](const char *w) { return is(t[k], w); }))
                return false;
        }
        const std::vector<Token> column(out.begin() + columnStart, out.begin() + columnEnd);
        if (m_exactTextColumnNames.contains(unquoted(out[columnEnd - 1]).toLower())) {
            // A column that compares exactly matches its LIKE exactly too, as
            // under a binary collation: an equality (found through the index)
            // when there is no wildcard, a GLOB otherwise.
            const std::optional<QString> text = exactLikeText(literalText(t[pattern]), escape);
            const std::optional<QString> glob = text ? text : likeAsGlob(literalText(t[pattern]), escape);
            if (!glob)
                return false;
            out.erase(out.begin() + columnStart, out.end());
            out.push_back({Kind::Punct, QStringLiteral("(")});
            out.insert(out.end(), column.begin(), column.end());
            out.push_back({Kind::Word, text ? QStringLiteral(" = ") : QStringLiteral(" GLOB ")});
            out.push_back({Kind::String, literalToken(*glob)});
            out.push_back({Kind::Punct, QStringLiteral(")")});
            like = last;
            return true;
        }
        const std::optional<QString> text = exactLikeText(literalText(t[pattern]), escape);
        const auto range = text ? std::nullopt : likePrefixRange(literalText(t[pattern]), escape);
        if (!text && !range)
            return false;
        out.erase(out.begin() + columnStart, out.end());
        out.push_back({Kind::Punct, QStringLiteral("(")});
        out.insert(out.end(), column.begin(), column.end());
        if (text) {
            out.push_back({Kind::Word, QStringLiteral(" = ")});
            out.push_back({Kind::String, literalToken(*text)});
        } else { // a prefix: the range, then the LIKE for what follows it
            out.push_back({Kind::Word, QStringLiteral(" >= ")});
            out.push_back({Kind::String, literalToken(range->first)});
            out.push_back({Kind::Word, QStringLiteral(" COLLATE NOCASE AND ")});
            out.insert(out.end(), column.begin(), column.end());
            out.push_back({Kind::Word, QStringLiteral(" < ")});
            out.push_back({Kind::String, literalToken(range->second)});
        }
        out.push_back({Kind::Word, QStringLiteral(" COLLATE NOCASE AND ")});
        out.insert(out.end(), column.begin(), column.end());
        out.push_back({Kind::Word, QStringLiteral(" LIKE ")});
        out.push_back(t[pattern]);
        if (escape) {
            out.push_back({Kind::Word, QStringLiteral(" ESCAPE ")});
            out.push_back(t[last]);
        }
        out.push_back({Kind::Punct, QStringLiteral(")")});
        like = last;
        return true;
    };

    auto endsCondition = [](const Token &x) {
        static const char *const closers[] = {")", ";", ",", "AND", "OR", "ORDER", "GROUP", "UNION", "EXCEPT",
                                              "INTERSECT", "HAVING", "WHEN", "THEN", "ELSE", "END", "LIMIT", "WHERE"};
        return std::any_of(std::begin(closers), std::end(closers), [&](const char *w) { return is(x, w); });
    };
    for (qsizetype i = 0; i < qsizetype(t.size()); ++i) {
        const Token &tok = t[i];
        const bool closesText = lastCloseWasText;
        lastCloseWasText = false;
        if (levels.back().escapePending && tok.kind != Kind::Space && tok.kind != Kind::Comment) {
            if (is(tok, "ESCAPE")) {
                levels.back().escapePending = false;
            } else if (endsCondition(tok)) {
                out.push_back({Kind::Word, QStringLiteral(" ESCAPE '' ")});
                levels.back().escapePending = false;
            }
        }

        if (tok.kind == Kind::Quoted) {
            // PostgreSQL keeps the schema's unquoted names in lower case.
            out.push_back({Kind::Quoted, quotedName(m_dialect == SqlDialect::PostgreSQL ? unquoted(tok).toLower() : unquoted(tok))});
        } else if (is(tok, "TOP") && [&] {
                       const qsizetype p = prevSignificant(t, i - 1);
                       return p >= 0 && (is(t[p], "SELECT") || is(t[p], "DISTINCT"));
                   }()) {
            qsizetype k = nextSignificant(t, i + 1);
            QString count;
            if (k >= 0 && t[k].kind == Kind::Number) {
                count = t[k].text;
            } else if (k >= 0 && is(t[k], "(")) {
                const qsizetype num = nextSignificant(t, k + 1);
                const qsizetype close = num < 0 ? -1 : nextSignificant(t, num + 1);
                if (num >= 0 && t[num].kind == Kind::Number && close >= 0 && is(t[close], ")")) {
                    count = t[num].text;
                    k = close;
                }
            }
            if (count.isEmpty()) {
                out.push_back(tok);
                continue;
            }
            levels.back().limit = count;
            i = k;
            if (i + 1 < qsizetype(t.size()) && t[i + 1].kind == Kind::Space)
                ++i; // one blank stays, the one before TOP
        } else if (is(tok, "CONVERT") && nextSignificant(t, i + 1) >= 0 && is(t[nextSignificant(t, i + 1)], "(")) {
            const qsizetype open = nextSignificant(t, i + 1);
            const qsizetype type = nextSignificant(t, open + 1);
            if (type < 0 || !isName(t[type])) {
                out.push_back(tok);
                continue;
            }
            const QString typeName = unquoted(t[type]).toLower();
            qsizetype k = nextSignificant(t, type + 1);
            if (k >= 0 && is(t[k], "(")) { // varchar(20)
                const qsizetype close = matchingParen(t, k);
                k = close < 0 ? -1 : nextSignificant(t, close + 1);
            }
            if (k < 0 || !is(t[k], ",")) {
                out.push_back(tok);
                continue;
            }
            if (m_dialect == SqlDialect::PostgreSQL) {
                // A function per result type: PostgreSQL's functions return one type.
                out.push_back({Kind::Word, postgresConvertFunction(typeName)});
                out.push_back({Kind::Punct, QStringLiteral("(")});
            } else {
                out.push_back({Kind::Word, QStringLiteral("tsql_convert")});
                out.push_back({Kind::Punct, QStringLiteral("(")});
                out.push_back({Kind::String, QLatin1Char('\'') + typeName + QLatin1Char('\'')});
                out.push_back({Kind::Punct, QStringLiteral(",")});
            }
            Paren level;
            level.textCall = isTextTypeName(typeName);
            levels.push_back(level);
            i = k;
        } else if (is(tok, "(")) {
            levels.push_back(Paren{});
            out.push_back(tok);
        } else if (is(tok, ")")) {
            Paren level = levels.size() > 1 ? levels.back() : Paren{};
            if (levels.size() > 1)
                levels.pop_back();
            if (!level.limit.isEmpty()) {
                out.push_back({Kind::Space, QStringLiteral(" ")});
                out.push_back({Kind::Word, QStringLiteral("LIMIT ") + level.limit});
            }
            out.push_back(tok);
            lastCloseWasText = level.textCall;
        } else if (is(tok, "+")) {
            const Token *before = lastSignificantOut();
            const qsizetype after = nextSignificant(t, i + 1);
            const bool text = (before && before->kind == Kind::String) || closesText
                              || (after >= 0 && t[after].kind == Kind::String)
                              || (after >= 0 && is(t[after], "CONVERT") && [&] {
                                     const qsizetype open = nextSignificant(t, after + 1);
                                     const qsizetype type = open < 0 ? -1 : nextSignificant(t, open + 1);
                                     return type >= 0 && isTextTypeName(unquoted(t[type]));
                                 }());
            out.push_back({Kind::Punct, text ? QStringLiteral("||") : QStringLiteral("+")});
        } else if (tok.kind == Kind::Word && is(tok, "IDENTITY") && nextSignificant(t, i + 1) >= 0
                   && is(t[nextSignificant(t, i + 1)], "(")) {
            const qsizetype open = nextSignificant(t, i + 1);
            const qsizetype close = matchingParen(t, open);
            // Drop the type written before IDENTITY: the key must be INTEGER.
            while (!out.empty() && (out.back().kind == Kind::Space))
                out.pop_back();
            if (!out.empty() && out.back().kind == Kind::Word && isTypeName(out.back().text))
                out.pop_back();
            if (out.empty() || out.back().kind != Kind::Space)
                out.push_back({Kind::Space, QStringLiteral(" ")});
            out.push_back({Kind::Word, m_dialect == SqlDialect::SQLite
                                           ? QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT")
                                           : QStringLiteral("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY")});
            i = close < 0 ? i : close;
        } else if (is(tok, "ON") && isDdl) {
            const qsizetype k = nextSignificant(t, i + 1);
            const qsizetype before = prevSignificant(t, i - 1);
            if (k >= 0 && isName(t[k]) && unquoted(t[k]).compare(QLatin1String("PRIMARY"), Qt::CaseInsensitive) == 0
                && before >= 0 && is(t[before], ")")) {
                i = k; // ON [PRIMARY]: file groups mean nothing here
                while (!out.empty() && out.back().kind == Kind::Space)
                    out.pop_back();
                continue;
            }
            out.push_back(tok);
        } else if (tok.kind == Kind::Word && (is(tok, "GETDATE") || is(tok, "ISNULL") || is(tok, "LEN"))) {
            const qsizetype k = nextSignificant(t, i + 1);
            if (k >= 0 && is(t[k], "(")) {
                if (is(tok, "GETDATE"))
                    out.push_back({Kind::Word, QStringLiteral("tsql_getdate")});
                else if (is(tok, "ISNULL"))
                    out.push_back({Kind::Word, m_dialect == SqlDialect::SQLite ? QStringLiteral("IFNULL")
                                                                               : QStringLiteral("COALESCE")});
                else
                    out.push_back({Kind::Word, QStringLiteral("LENGTH")});
            } else {
                out.push_back(tok);
            }
        } else if (tok.kind == Kind::String && numberWrites.count(i) && literalText(tok).trimmed().isEmpty()) {
            out.push_back({Kind::Number, QStringLiteral("0")});
        } else if (tok.kind == Kind::String) {
            if (writes.count(i)) {
                // Stored as reception stores dates; a text that is no date
                // fails on SQLite as it fails on SQL Server.
                const QString stored = storedDate(literalText(tok));
                if (!stored.isEmpty()) {
                    pushText(literalToken(stored));
                } else if (m_dialect == SqlDialect::SQLite) {
                    out.push_back({Kind::Word, QStringLiteral("tsql_convert")});
                    out.push_back({Kind::Punct, QStringLiteral("(")});
                    out.push_back({Kind::String, QStringLiteral("'datetime'")});
                    out.push_back({Kind::Punct, QStringLiteral(",")});
                    pushText(tok.text);
                    out.push_back({Kind::Punct, QStringLiteral(")")});
                } else if (m_dialect == SqlDialect::PostgreSQL) {
                    out.push_back({Kind::Word, QStringLiteral("tsql_datetime")});
                    out.push_back({Kind::Punct, QStringLiteral("(")});
                    pushText(tok.text);
                    out.push_back({Kind::Punct, QStringLiteral(")")});
                } else {
                    pushText(tok.text);
                }
                continue;
            }
            // Dates compared with a range operator are compared as dates; so
            // is any text compared with a column that holds dates.
            const Token *before = lastSignificantOut();
            const bool range = before && (is(*before, "<") || is(*before, ">") || is(*before, "<=") || is(*before, ">="));
            const bool equality = before && (is(*before, "=") || is(*before, "<>") || is(*before, "!="));
            const Token *column = nullptr;
            if (range || equality) {
                int seen = 0;
                for (auto it = out.rbegin(); it != out.rend(); ++it)
                    if (it->kind != Kind::Space && it->kind != Kind::Comment && ++seen == 2) {
                        column = &*it;
                        break;
                    }
                if (column && !isName(*column))
                    column = nullptr;
            }
            if (column && m_dateColumnNames.contains(unquoted(*column).toLower())) {
                const QString stored = storedDate(literalText(tok));
                if (!stored.isEmpty()) {
                    pushText(literalToken(stored));
                    continue;
                }
            } else if (range || (column && is(*before, "=") && unquoted(*column).contains(QLatin1String("date"), Qt::CaseInsensitive))) {
                // column = '1/15/2024' compares as dates when the column holds dates
                const QString iso = isoDateTime(literalText(tok));
                if (!iso.isEmpty() && tok.text.contains(QLatin1Char('/'))) {
                    pushText(literalToken(iso));
                    continue;
                }
            }
            pushText(tok.text);
        } else if (m_dialect == SqlDialect::SQLite && tok.kind == Kind::Word && is(tok, "LIKE") && likeAsEquality(i)) {
            continue;
        } else if (m_dialect == SqlDialect::PostgreSQL && tok.kind == Kind::Word && is(tok, "LIKE")) {
            // T-SQL's LIKE has no escape character unless one is named;
            // PostgreSQL's takes "\" by default. ESCAPE '' goes after the
            // whole pattern ('SM' + '%'), where the condition ends.
            out.push_back(tok);
            levels.back().escapePending = true;
        } else if (m_dialect == SqlDialect::PostgreSQL && is(tok, "AS") && [&] {
                       // CAST(x AS char): SQL Server gives the whole text, PostgreSQL one character.
                       const qsizetype type = nextSignificant(t, i + 1);
                       const qsizetype close = type < 0 ? -1 : nextSignificant(t, type + 1);
                       return type >= 0 && isTextTypeName(unquoted(t[type])) && close >= 0 && is(t[close], ")");
                   }()) {
            out.push_back(tok);
            out.push_back({Kind::Word, QStringLiteral(" text")});
            i = nextSignificant(t, i + 1);
        } else if (isDdl && m_dialect == SqlDialect::PostgreSQL && tok.kind == Kind::Word && isTypeName(tok.text)
                   && prevSignificant(t, i - 1) >= 0 && isName(t[prevSignificant(t, i - 1)])) {
            const QString type = postgresColumnType(tok.text);
            if (type.isEmpty()) {
                out.push_back(tok);
                continue;
            }
            out.push_back({Kind::Word, type});
            const qsizetype k = nextSignificant(t, i + 1);
            if (k >= 0 && is(t[k], "(") && type != tok.text.toLower()) { // varchar(50) -> citext
                const qsizetype close = matchingParen(t, k);
                if (close >= 0)
                    i = close;
            }
        } else if (isDdl && tok.kind == Kind::Word && isTextTypeName(tok.text) && m_dialect == SqlDialect::SQLite) {
            const qsizetype prev = prevSignificant(t, i - 1);
            out.push_back(tok);
            if (prev < 0 || !isName(t[prev]))
                continue;
            qsizetype k = nextSignificant(t, i + 1);
            if (k >= 0 && is(t[k], "(")) {
                const qsizetype close = matchingParen(t, k);
                if (close < 0)
                    continue;
                for (qsizetype c = i + 1; c <= close; ++c)
                    out.push_back(t[c]);
                i = close;
            }
            // A column that names its own collation keeps it; SQL Server's
            // binary collations are the back end's exact comparison.
            k = nextSignificant(t, i + 1);
            if (k >= 0 && is(t[k], "COLLATE")) {
                const qsizetype name = nextSignificant(t, k + 1);
                if (name < 0 || !isName(t[name]))
                    continue;
                for (qsizetype c = i + 1; c < name; ++c)
                    out.push_back(t[c]);
                out.push_back(isBinaryCollation(unquoted(t[name])) ? Token{Kind::Word, QStringLiteral("BINARY")} : t[name]);
                i = name;
                continue;
            }
            out.push_back({Kind::Word, QStringLiteral(" COLLATE NOCASE")});
        } else {
            out.push_back(tok);
        }
    }
    if (levels.front().escapePending)
        out.push_back({Kind::Word, QStringLiteral(" ESCAPE ''")});
    // TOP of the outermost query: LIMIT goes last, before a closing ';'.
    if (!levels.front().limit.isEmpty()) {
        qsizetype insertAt = qsizetype(out.size());
        while (insertAt > 0 && (out[insertAt - 1].kind == Kind::Space || is(out[insertAt - 1], ";")))
            --insertAt;
        out.insert(out.begin() + insertAt, {Token{Kind::Space, QStringLiteral(" ")},
                                            Token{Kind::Word, QStringLiteral("LIMIT ") + levels.front().limit}});
    }
    return join(out, 0, qsizetype(out.size()));
}

} // namespace pacs::db
