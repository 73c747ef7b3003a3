#pragma once

#include "db/DbCursor.h"

#include <QList>
#include <QStringList>

namespace pacs::db {

// Rows read over ODBC, held in memory: the statement is done with as soon as
// its rows are read, so a reconnect cannot take them away.
class OdbcCursor : public DbCursor
{
public:
    OdbcCursor() = default;
    OdbcCursor(QStringList names, QList<QList<DbValue>> rows) : m_names(std::move(names)), m_rows(std::move(rows)) {}

    int columnCount() const override { return int(m_names.size()); }
    QString columnName(int index) const override { return m_names.value(index); }
    bool atEnd() const override { return m_row >= m_rows.size(); }
    DbValue value(int index) const override { return atEnd() ? DbValue() : m_rows[m_row].value(index); }
    void moveNext() override
    {
        if (!atEnd())
            ++m_row;
    }
    void close() override { m_row = m_rows.size(); }

private:
    QStringList m_names;
    QList<QList<DbValue>> m_rows;
    qsizetype m_row = 0;
};

} // namespace pacs::db
