#pragma once

#include "db/DbValue.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace pacs::db {

// One row opened for editing: read by a "SELECT * FROM table WHERE ..."
// statement, changed field by field, written back with one save. When the
// statement found no row, the row is new and is inserted on save.
//
// The row is found again by its table's primary key (keyColumns), with the
// values it had when read; a table without one is matched on every column as
// read. So any back end can save it, and a change of the key itself (a
// corrected Patient ID) updates the row that was read.
struct UpdatableRow
{
    QString table;         // as the back end names it
    QStringList columns;
    QList<DbValue> values;
    QList<bool> changed;
    QStringList keyColumns;   // the table's primary key columns, as named in columns
    QList<DbValue> keyValues; // their values as last read or saved; empty for a new row
    bool found = false;    // the statement returned a row
    bool isNew = false;    // addNew() was called
};

} // namespace pacs::db
