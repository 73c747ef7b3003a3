#include "db/UpdatableRow.h"

#include <QRegularExpression>

namespace pacs::db {

bool splitSelectStar(const QString &sql, QString &table, QString &rest)
{
    static const QRegularExpression shape(QStringLiteral(R"(^\s*SELECT\s+\*\s+FROM\s+((?:"[^"]+"|\[[^\]]+\]|[\w$]+)(?:\.{1,2}(?:"[^"]+"|\[[^\]]+\]|[\w$]+))*)(.*)$)"),
                                          QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = shape.match(sql);
    if (!m.hasMatch())
        return false;
    table = m.captured(1);
    rest = m.captured(2);
    return true;
}

void takeOpenedRow(DbCursor &cursor, UpdatableRow &row)
{
    for (int i = 0; i < cursor.columnCount(); ++i) {
        row.columns << cursor.columnName(i);
        row.changed << false;
        row.values << (cursor.atEnd() ? DbValue() : cursor.value(i));
    }
    row.found = !cursor.atEnd();
    QStringList keys;
    for (const QString &k : row.keyColumns)
        for (const QString &c : row.columns)
            if (c.compare(k, Qt::CaseInsensitive) == 0)
                keys << c;
    row.keyColumns = keys.isEmpty() ? row.columns : keys;
    row.keyValues.clear();
    if (row.found)
        for (const QString &k : row.keyColumns)
            row.keyValues << row.values.value(row.columns.indexOf(k));
}

void markRowSaved(UpdatableRow &row)
{
    row.found = true;
    row.isNew = false;
    for (auto &c : row.changed)
        c = false;
}

} // namespace pacs::db
