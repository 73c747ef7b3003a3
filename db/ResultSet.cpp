#include "db/ResultSet.h"

namespace pacs::db {

ResultSet::ResultSet(std::shared_ptr<DbCursor> cursor) : m_cursor(std::move(cursor))
{
}

bool ResultSet::atEnd() const
{
    return !m_cursor || m_cursor->atEnd();
}

QString ResultSet::error() const
{
    return m_cursor ? m_cursor->error() : QString();
}

bool ResultSet::atStart() const
{
    return m_rowsRead == 0 && atEnd();
}

void ResultSet::moveNext()
{
    if (!m_cursor || m_cursor->atEnd())
        return;
    ++m_rowsRead;
    m_cursor->moveNext();
}

void ResultSet::close()
{
    if (m_cursor)
        m_cursor->close();
}

int ResultSet::fieldCount() const
{
    return m_cursor ? m_cursor->columnCount() : 0;
}

QString ResultSet::fieldName(int index) const
{
    return m_cursor ? m_cursor->columnName(index) : QString();
}

int ResultSet::fieldIndex(const QString &name) const
{
    const int n = fieldCount();
    for (int i = 0; i < n; ++i)
        if (m_cursor->columnName(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

DbValue ResultSet::field(int index) const
{
    return m_cursor ? m_cursor->value(index) : DbValue();
}

DbValue ResultSet::field(const QString &name) const
{
    return field(fieldIndex(name));
}

} // namespace pacs::db
