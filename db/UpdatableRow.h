#pragma once

#include "db/DbCursor.h"
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

// The parts of opening and saving a row that every back end shares.
// "SELECT * FROM table rest": the table (as written, quoted or with a schema)
// and the rest; false for any other statement.
bool splitSelectStar(const QString &sql, QString &table, QString &rest);
// Takes the cursor's columns and first row (if any) into the row, whose
// keyColumns may already name the table's primary key (in any case); without
// one the whole row as read identifies it.
void takeOpenedRow(DbCursor &cursor, UpdatableRow &row);
// After a save: nothing changed, the row found by the key it has now.
void markRowSaved(UpdatableRow &row);

} // namespace pacs::db
