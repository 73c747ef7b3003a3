#include "db/SqliteStatementCache.h"

#include <sqlite3.h>

namespace pacs::db {

SqliteStatementCache::SqliteStatementCache(int capacity) : m_capacity(capacity)
{
}

SqliteStatementCache::~SqliteStatementCache()
{
    for (Entry &entry : m_entries)
        sqlite3_finalize(entry.stmt);
}

sqlite3_stmt *SqliteStatementCache::take(const QByteArray &sql)
{
    const auto found = m_bySql.constFind(sql);
    if (found == m_bySql.cend() || (*found)->lent)
        return nullptr;
    auto entry = *found;
    entry->lent = true;
    m_entries.splice(m_entries.begin(), m_entries, entry);
    return entry->stmt;
}

bool SqliteStatementCache::adopt(const QByteArray &sql, sqlite3_stmt *stmt)
{
    if (m_bySql.contains(sql))
        return false;
    m_entries.push_front(Entry{sql, stmt, true});
    m_bySql.insert(sql, m_entries.begin());
    m_byStmt.insert(stmt, m_entries.begin());
    trim();
    return true;
}

void SqliteStatementCache::giveBack(sqlite3_stmt *stmt)
{
    const auto found = m_byStmt.constFind(stmt);
    if (found == m_byStmt.cend()) { // evicted or cleared while lent
        sqlite3_finalize(stmt);
        return;
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    (*found)->lent = false;
    trim();
}

void SqliteStatementCache::clear()
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        m_bySql.remove(it->sql);
        m_byStmt.remove(it->stmt);
        if (!it->lent)
            sqlite3_finalize(it->stmt);
        it = m_entries.erase(it);
    }
}

void SqliteStatementCache::trim()
{
    // From the least recently used end; a lent statement waits for its return.
    for (auto it = m_entries.end(); int(m_entries.size()) > m_capacity && it != m_entries.begin();) {
        --it;
        if (it->lent)
            continue;
        m_bySql.remove(it->sql);
        m_byStmt.remove(it->stmt);
        sqlite3_finalize(it->stmt);
        it = m_entries.erase(it);
    }
}

} // namespace pacs::db
