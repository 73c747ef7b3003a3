#pragma once

#include "DbValue.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace pacs::db {

// One row opened for editing: read by a "SELECT * FROM table WHERE ..."
// statement, changed field by field, written back with one save. When the
// statement found no row, the row is new and is inserted on save.
struct UpdatableRow
{
    QString table;         // as the back end names it
    QStringList columns;
    QList<DbValue> values;
    QList<bool> changed;
    DbValue rowKey;        // the back end's own row identity; null for a new row
    bool found = false;    // the statement returned a row
    bool isNew = false;    // addNew() was called
};

} // namespace pacs::db
