#pragma once

#include <QByteArray>
#include <QHash>
#include <list>
#include <memory>

struct sqlite3_stmt;

namespace pacs::db {

// Prepared statements kept per statement text, so that a text run again
// (the lookups of each image of a series, the query mapping of each C-FIND)
// is stepped again instead of compiled again. A statement is lent to one
// cursor at a time and comes back reset; the least recently used ones are
// finalized beyond the capacity. Shared with the cursors it lends to, so a
// statement given back after the connection closed is finalized then.
class SqliteStatementCache : public std::enable_shared_from_this<SqliteStatementCache>
{
public:
    explicit SqliteStatementCache(int capacity = 64);
    ~SqliteStatementCache();

    // A free statement of exactly this text, now lent out; nullptr when none.
    sqlite3_stmt *take(const QByteArray &sql);
    // Keeps a statement just prepared for this text, lent out from now on.
    // False (the statement stays the caller's) when the text is cached already.
    bool adopt(const QByteArray &sql, sqlite3_stmt *stmt);
    // A lent statement back: reset, and free for the next take.
    void giveBack(sqlite3_stmt *stmt);
    // Finalizes every free statement; lent ones are finalized when given back.
    void clear();

private:
    struct Entry
    {
        QByteArray sql;
        sqlite3_stmt *stmt = nullptr;
        bool lent = false;
    };
    void trim();

    int m_capacity;
    std::list<Entry> m_entries; // most recently used first
    QHash<QByteArray, std::list<Entry>::iterator> m_bySql;
    QHash<sqlite3_stmt *, std::list<Entry>::iterator> m_byStmt;
};

} // namespace pacs::db
