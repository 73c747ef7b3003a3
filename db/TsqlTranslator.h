#pragma once

#include <QString>
#include <QStringList>

namespace pacs::db {

// A statement rewritten for a back end that does not speak T-SQL. A T-SQL
// "IF [NOT] EXISTS (query) BEGIN statement END" arrives as a guard query that
// the back end runs first, and the statement to run when the guard allows it.
struct TranslatedStatement
{
    QString sql;             // empty: nothing to run (for example "USE DICOM")
    QString guardQuery;      // empty: no guard
    bool guardNegated = false; // true for IF NOT EXISTS
};

enum class SqlDialect { SQLite, PostgreSQL };

// Rewrites the T-SQL the program issues into the dialect of an embedded or
// open-source back end. Statements are written once, as SQL Server takes
// them; this is the only place that knows how the other back ends differ:
//   TOP n                          -> LIMIT n
//   convert(datetime|varchar, x, s) -> tsql_convert('type', x, s)
//   text + text                    -> text || text
//   [name]                         -> "name"
//   DICOM..T, [DICOM].[dbo].[T]    -> T (the connection's own database)
//   Patient_Data.dbo.T             -> Patient_Data.T (an attached database)
//   IF NOT EXISTS (...) BEGIN ... END -> guard + statement
//   IDENTITY(1,1), ON [PRIMARY], USE db, GETDATE(), ISNULL(), LEN()
//   date literals compared with < > <= >= (M/D/YYYY) -> ISO text
// and gives text columns created by CREATE/ALTER TABLE a case-insensitive
// collation, as SQL Server's default collation compares texts.
class TsqlTranslator
{
public:
    explicit TsqlTranslator(SqlDialect dialect = SqlDialect::SQLite,
                            const QString &ownDatabase = QStringLiteral("DICOM"));

    TranslatedStatement translate(const QString &tsql) const;

    // The body of a statement, without the IF/BEGIN/END handling.
    QString translateBody(const QString &tsql) const;

    // "M/D/YYYY[ h:mm[:ss][ AM|PM]]", ISO and time-only texts to
    // "YYYY-MM-DD hh:mm:ss"; empty result when the text is no date.
    static QString isoDateTime(const QString &text);

private:
    SqlDialect m_dialect;
    QString m_ownDatabase;
};

} // namespace pacs::db
