#pragma once

#include <QByteArray>
#include <vector>

namespace pacs::db {

// A SQLite statement with its text literals taken out as parameters: the
// image inserts and lookups differ from image to image only in their UIDs
// and paths, and as one shape they are compiled once and bound each time.
// Only data statements (SELECT, INSERT, UPDATE, DELETE, WITH) are taken
// apart, and only literals standing on their own; a text that already
// holds parameters, or whose quotes do not close, has no shape.
struct SqliteStatementShape
{
    QByteArray text;                // the statement with a "?" for each literal
    std::vector<QByteArray> values; // each literal's text, quotes undone, in order

    // False when the statement is left as it is (no literal, or not a data statement).
    static bool of(const QByteArray &sql, SqliteStatementShape &shape);
};

} // namespace pacs::db
