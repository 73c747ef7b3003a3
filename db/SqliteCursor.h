#pragma once

#include "db/DbCursor.h"

#include <QStringList>
#include <functional>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

namespace pacs::db {

// Rows of one prepared SQLite statement, stepped as they are read. The
// cursor shares the connection handle, so the connection outlives a close()
// of its back end until the last cursor is gone.
class SqliteCursor : public DbCursor
{
public:
    // release, when given, takes the statement at the close instead of it
    // being finalized (a cached statement goes back to its cache).
    SqliteCursor(std::shared_ptr<sqlite3> db, sqlite3_stmt *stmt, std::function<void(sqlite3_stmt *)> release = {});
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
    QString error() const override { return m_error; }

private:
    std::shared_ptr<sqlite3> m_db;
    sqlite3_stmt *m_stmt;
    std::function<void(sqlite3_stmt *)> m_release;
    QStringList m_names;
    QList<bool> m_dateColumns;
    bool m_atEnd = true;
    QString m_error;
};

} // namespace pacs::db
