#pragma once

#include "db/DbCursor.h"
#include "db/DbValue.h"

#include <QString>
#include <memory>

namespace pacs::db {

// What a statement returns: rows read forward from the first, with at-end
// and at-start tests, fields by position or by name, and close. A default
// constructed result set is "none": the statement did not run.
class ResultSet
{
public:
    ResultSet() = default;
    explicit ResultSet(std::shared_ptr<DbCursor> cursor);

    bool isNone() const { return !m_cursor; }
    explicit operator bool() const { return !isNone(); }

    bool atEnd() const;   // no current row (EOF)
    // At end because reading the rows failed, not because all were read: a
    // caller that answers from the rows must not report success.
    bool endedWithError() const { return !error().isEmpty(); }
    QString error() const;
    bool atStart() const; // before any row: true only for a set without rows (BOF)
    void moveNext();
    void close();

    int fieldCount() const;
    QString fieldName(int index) const;
    int fieldIndex(const QString &name) const; // -1 when absent; case-insensitive
    bool hasField(const QString &name) const { return fieldIndex(name) >= 0; }
    DbValue field(int index) const;
    DbValue field(const QString &name) const;
    // Text of a field; null gives an empty text.
    QString text(int index) const { return field(index).toText(); }
    QString text(const QString &name) const { return field(name).toText(); }

private:
    std::shared_ptr<DbCursor> m_cursor;
    int m_rowsRead = 0;
};

} // namespace pacs::db
