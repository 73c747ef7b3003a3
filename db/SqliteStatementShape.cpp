#include "db/SqliteStatementShape.h"

namespace pacs::db {

namespace {
bool isWordByte(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
           || (static_cast<unsigned char>(c) & 0x80);
}

// The end of a quoted run that starts at `at` (an opening `open`), doubled
// closers inside; -1 when it never closes.
qsizetype quotedEnd(const QByteArray &sql, qsizetype at, char close)
{
    for (qsizetype i = at + 1; i < sql.size(); ++i) {
        if (sql[i] != close)
            continue;
        if (i + 1 < sql.size() && sql[i + 1] == close && close != ']') {
            ++i;
            continue;
        }
        return i;
    }
    return -1;
}

// Index after blanks and comments from `at`.
qsizetype skipBlanks(const QByteArray &sql, qsizetype at)
{
    while (at < sql.size()) {
        const char c = sql[at];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            ++at;
        } else if (c == '-' && at + 1 < sql.size() && sql[at + 1] == '-') {
            const qsizetype end = sql.indexOf('\n', at);
            at = end < 0 ? sql.size() : end + 1;
        } else if (c == '/' && at + 1 < sql.size() && sql[at + 1] == '*') {
            const qsizetype end = sql.indexOf("*/", at + 2);
            at = end < 0 ? sql.size() : end + 2;
        } else {
            break;
        }
    }
    return at;
}

bool isDataStatement(const QByteArray &sql)
{
    const qsizetype start = skipBlanks(sql, 0);
    qsizetype end = start;
    while (end < sql.size() && isWordByte(sql[end]))
        ++end;
    const QByteArray word = sql.mid(start, end - start).toUpper();
    return word == "SELECT" || word == "INSERT" || word == "UPDATE" || word == "DELETE" || word == "WITH";
}
} // namespace

bool SqliteStatementShape::of(const QByteArray &sql, SqliteStatementShape &shape)
{
    shape.text.clear();
    shape.values.clear();
    if (!isDataStatement(sql))
        return false;
    shape.text.reserve(sql.size());
    qsizetype copied = 0; // sql[copied, i) is still to go into the shape
    for (qsizetype i = 0; i < sql.size();) {
        const char c = sql[i];
        if (c == '-' || c == '/') {
            const qsizetype next = skipBlanks(sql, i);
            i = next > i ? next : i + 1;
        } else if (c == '"' || c == '`' || c == '[') {
            const qsizetype end = quotedEnd(sql, i, c == '[' ? ']' : c);
            if (end < 0)
                return false;
            i = end + 1;
        } else if (c == '?' || c == ':' || c == '@' || c == '$') {
            // Parameters of its own (or something this reading does not know): left alone.
            if (c == '?' || (i + 1 < sql.size() && isWordByte(sql[i + 1])))
                return false;
            ++i;
        } else if (c == '\'') {
            const qsizetype end = quotedEnd(sql, i, '\'');
            if (end < 0)
                return false;
            // X'..' is a blob; a literal glued to a word is not one standing on its own.
            if (i > 0 && isWordByte(sql[i - 1])) {
                i = end + 1;
                continue;
            }
            shape.text.append(sql.constData() + copied, i - copied);
            shape.text.append('?');
            shape.values.push_back(sql.mid(i + 1, end - i - 1).replace("''", "'"));
            copied = i = end + 1;
        } else if (isWordByte(c)) {
            while (i < sql.size() && isWordByte(sql[i]))
                ++i;
        } else {
            ++i;
        }
    }
    if (shape.values.empty())
        return false;
    shape.text.append(sql.constData() + copied, sql.size() - copied);
    return true;
}

} // namespace pacs::db
