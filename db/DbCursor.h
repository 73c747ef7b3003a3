#pragma once

#include "db/DbValue.h"

#include <QString>

namespace pacs::db {

// Rows of one statement, read forward from the first. A cursor keeps the
// connection it came from alive: a reconnect does not end rows still being
// read. Rows can end early when the database fails while they are read;
// error() then describes why (and is empty for a set read to its end).
class DbCursor
{
public:
    virtual ~DbCursor() = default;
    virtual int columnCount() const = 0;
    virtual QString columnName(int index) const = 0;
    virtual bool atEnd() const = 0;
    virtual DbValue value(int index) const = 0;
    virtual void moveNext() = 0;
    virtual void close() = 0;
    virtual QString error() const { return QString(); }
};

} // namespace pacs::db
