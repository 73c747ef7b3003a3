#pragma once

#include <optional>
#include <string_view>

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

// The comparison behind NOCASE, on UTF-8 bytes (invalid bytes sort apart
// from every character): <0, 0, >0. ASCII runs take a byte-wise path;
// nocaseCompareByCodePoints is the plain code point walk it must agree with.
int nocaseCompare(std::string_view left, std::string_view right);
int nocaseCompareByCodePoints(std::string_view left, std::string_view right);

// "text LIKE pattern [ESCAPE escape]" without regard to case; as above, a
// byte-wise path for ASCII and the code point walk it must agree with.
bool nocaseLike(std::string_view pattern, std::string_view text, std::optional<char32_t> escape);
bool nocaseLikeByCodePoints(std::string_view pattern, std::string_view text, std::optional<char32_t> escape);

} // namespace pacs::db
