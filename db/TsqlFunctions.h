#pragma once

struct sqlite3;

namespace pacs::db {

// SQL functions that give an embedded database SQL Server's conversions:
//   tsql_convert('datetime', text [, style])  -> "YYYY-MM-DD hh:mm:ss"
//   tsql_convert('varchar', date [, style])   -> 101 "MM/DD/YYYY", 8 "hh:mm:ss", 0 "Mon dd yyyy hh:miAM"
//   tsql_convert('int'|'float', x)
//   tsql_getdate()                            -> local date and time
// and replaces LIKE (with and without ESCAPE) and the NOCASE collation by
// ones that ignore case in every script, as SQL Server's default collation
// does; SQLite's own fold only the ASCII letters. Indexes built under
// SQLite's own NOCASE must be rebuilt once (SqliteBackend does it).
void registerTsqlFunctions(sqlite3 *db);

} // namespace pacs::db
