#pragma once

#include <QHash>
#include <QSet>
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
    // The translation looked at the value of a text literal (a date, a LIKE
    // pattern, ...). When false, every text literal went through as written
    // and decided nothing: the same statement with other texts in their
    // places translates the same way.
    bool readLiterals = false;
};

enum class SqlDialect { SQLite, PostgreSQL };

// The declared type of each column of each table and view, all in lower case:
// table -> column -> type.
using ColumnTypes = QHash<QString, QHash<QString, QString>>;

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
//   text literals written into a date column by INSERT ... VALUES and
//   UPDATE ... SET, or compared with one -> the stored form
//   ("YYYY-MM-DD hh:mm:ss", the empty text as 1900-01-01, as SQL Server)
//   a column named without its table in a single SELECT over joined
//   tables that several of them hold -> the first such table's (SQL Server's
//   installation has those names once; the embedded schema adds some to
//   further tables, and SQLite rejects the name as ambiguous)
//   text_column LIKE 'text without wildcards' on SQLite -> also
//   text_column = 'text' COLLATE NOCASE: the same condition, but one that
//   lets SQLite find the rows through an index; on a column that compares
//   exactly, text_column = 'text' alone, or a GLOB with wildcards;
//   text_column LIKE 'abc%...' (a plain ASCII prefix) on SQLite -> also
//   text_column >= 'abc' COLLATE NOCASE AND text_column < 'abd' COLLATE
//   NOCASE: every text the pattern matches lies in that range
//   COLLATE Latin1_General_BIN2 (any *_BIN, *_BIN2) in a column definition
//   -> COLLATE BINARY on SQLite
//   texts holding "\" on PostgreSQL -> E'...' (right whatever
//   standard_conforming_strings says)
// and on PostgreSQL besides: [Name] -> "name" (the schema's names are kept in
// lower case), convert(type, ...) -> tsql_datetime/_text/_int/_real(...),
// LIKE without ESCAPE -> ESCAPE '' (no escape character, as in T-SQL),
// CAST(x AS char) -> CAST(x AS text) (the whole text), '' written into a
// number column -> 0, and T-SQL column types in CREATE/ALTER TABLE -> their
// PostgreSQL kin (texts as citext, so they compare without regard to case)
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

    // Where the text literal opened by the quote at `quote` ends (past its
    // closing quote, doubled quotes inside; the text's end when unclosed).
    static qsizetype textLiteralEnd(const QString &s, qsizetype quote);

    // "M/D/YYYY[ h:mm[:ss][ AM|PM]]", ISO and time-only texts to
    // "YYYY-MM-DD hh:mm:ss"; empty result when the text is no date.
    static QString isoDateTime(const QString &text);

    // The columns the database holds: the back end reads them from its
    // schema. Until then the archive's own date columns are assumed. A text
    // column that compares exactly (letter case counts, as for SOP Instance
    // UIDs) has ExactCollation in its type; a LIKE on it, when the name
    // compares exactly in every table that has it, is an exact match.
    static constexpr const char *ExactCollation = " collate binary";
    void setColumnTypes(const ColumnTypes &columns);
    static ColumnTypes archiveDateColumns();

private:
    TranslatedStatement translateStatement(const QString &tsql) const;

    SqlDialect m_dialect;
    QString m_ownDatabase;
    QHash<QString, QSet<QString>> m_dateColumns; // per table
    QSet<QString> m_dateColumnNames;             // of any table, for comparisons
    QHash<QString, QSet<QString>> m_numberColumns; // per table
    QSet<QString> m_numberColumnNames;
    QSet<QString> m_textColumnNames;             // text in every table that has them
    QSet<QString> m_exactTextColumnNames;        // text comparing exactly in every table that has them
    QHash<QString, QSet<QString>> m_tableColumns; // table -> its columns
};

} // namespace pacs::db
