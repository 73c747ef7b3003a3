#pragma once

#include "DbCursor.h"

#include <QStringList>

struct sqlite3;
struct sqlite3_stmt;

namespace pacs::db {

// Rows of one prepared SQLite statement, stepped as they are read.
class SqliteCursor : public DbCursor
{
public:
    SqliteCursor(sqlite3 *db, sqlite3_stmt *stmt);
    ~SqliteCursor() override;

    // First step; false with the database's message when the statement fails.
    bool start(QString &error);
    void runToEnd();

    int columnCount() const override { return int(m_names.size()); }
    QString columnName(int index) const override { return m_names.value(index); }
    bool atEnd() const override { return m_atEnd; }
    DbValue value(int index) const override;
    void moveNext() override;
    void close() override;

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_stmt;
    QStringList m_names;
    QList<bool> m_dateColumns;
    bool m_atEnd = true;
};

} // namespace pacs::db
