#pragma once

#include "db/ColumnNameCase.h"
#include "db/DbCursor.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <memory>

struct pg_result;

namespace pacs::db {

// The rows of one statement on a PostgreSQL server. The server sends the
// whole result at once, so the rows stay readable after the connection is
// gone. Column names come back as the statement (or the schema) wrote them:
// PostgreSQL keeps unquoted names in lower case.
class PostgresCursor : public DbCursor
{
public:
    using Names = ColumnNameCase;

    PostgresCursor() = default; // a statement without rows
    PostgresCursor(pg_result *result, const Names &names);
    ~PostgresCursor() override;

    int columnCount() const override { return int(m_names.size()); }
    QString columnName(int index) const override { return m_names.value(index); }
    bool atEnd() const override { return m_row >= m_rows; }
    DbValue value(int index) const override;
    void moveNext() override;
    void close() override;

    // Rows changed by an INSERT, UPDATE or DELETE.
    int affected() const { return m_affected; }

private:
    std::shared_ptr<pg_result> m_result;
    QStringList m_names;
    QList<unsigned> m_types;
    int m_rows = 0;
    int m_row = 0;
    int m_affected = 0;
};

} // namespace pacs::db
