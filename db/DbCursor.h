#pragma once

#include "DbValue.h"

#include <QString>

namespace pacs::db {

// Rows of one statement, read forward from the first. A cursor whose
// connection has been closed reads as having reached its end.
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
};

} // namespace pacs::db
