#include "db/SqliteBackend.h"

#include "db/SqliteCursor.h"
#include "db/SqliteStatementCache.h"
#include "db/SqliteStatementShape.h"
#include "db/TsqlFunctions.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <sqlite3.h>
#include <sys/stat.h>

namespace pacs::db {

namespace {

QString lastError(sqlite3 *db)
{
    return QString::fromUtf8(sqlite3_errmsg(db));
}

bool bindValue(sqlite3_stmt *stmt, int index, const DbValue &v)
{
    switch (v.type()) {
    case DbValue::Type::Null:
        return sqlite3_bind_null(stmt, index) == SQLITE_OK;
    case DbValue::Type::Integer:
        return sqlite3_bind_int64(stmt, index, v.toInteger()) == SQLITE_OK;
    case DbValue::Type::Real:
        return sqlite3_bind_double(stmt, index, v.toReal()) == SQLITE_OK;
    case DbValue::Type::DateTime: {
        const QByteArray text = DbValue::isoText(v.toDateTime()).toUtf8();
        return sqlite3_bind_text(stmt, index, text.constData(), int(text.size()), SQLITE_TRANSIENT) == SQLITE_OK;
    }
    case DbValue::Type::Text: {
        const QByteArray text = v.toText().toUtf8();
        return sqlite3_bind_text(stmt, index, text.constData(), int(text.size()), SQLITE_TRANSIENT) == SQLITE_OK;
    }
    }
    return false;
}

// PRAGMA user_version from which on a file's NOCASE indexes are in the order
// of the NOCASE registered with the T-SQL functions (case folded in every
// script). Files written before hold them in SQLite's ASCII-only order.
constexpr int kCaseFoldedIndexes = 1;

constexpr qsizetype kTranslationsKept = 512;
constexpr qsizetype kUnshapedKept = 256;
// Shapes are kept beside exact texts; the mark keeps the two apart.
constexpr char kShapeMark = '\x01';

bool onlyBlanksFrom(const char *from, const char *end)
{
    return QByteArray::fromRawData(from, int(end - from)).trimmed().isEmpty();
}

QString identifier(const QString &name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

// Statements that may change which columns a table has.
bool changesSchema(const QString &sql)
{
    static const QRegularExpression ddl(QStringLiteral(R"(^\s*(CREATE|ALTER|DROP)\b)"), QRegularExpression::CaseInsensitiveOption);
    return ddl.match(sql).hasMatch();
}

} // namespace

SqliteBackend::SqliteBackend() = default;

SqliteBackend::~SqliteBackend()
{
    close();
}

QStringList SqliteBackend::attachedFiles(const ConnectionString &connection)
{
    QStringList files;
    const QStringList items = connection.value(QStringLiteral("Attach")).split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
    for (const QString &item : items)
        files << item.trimmed();
    return files;
}

bool SqliteBackend::openFile(const QString &path, bool create, QString &error)
{
    close();
    if (!create && !QFileInfo(path).isFile()) {
        error = QStringLiteral("Database file not found: ") + path;
        return false;
    }
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, flags, nullptr) != SQLITE_OK) {
        error = QStringLiteral("Cannot open database ") + path + QStringLiteral(": ") + (db ? lastError(db) : QString());
        sqlite3_close(db);
        return false;
    }
    m_db = db;
    m_handle = std::shared_ptr<sqlite3>(db, [](sqlite3 *handle) { sqlite3_close_v2(handle); });
    m_path = path;
    m_statements = std::make_shared<SqliteStatementCache>();
    sqlite3_busy_timeout(m_db, 10000);
    sqlite3_extended_result_codes(m_db, 1);
    registerFunctions();
    // Write-ahead logging lets readers (a second process, a backup) run beside
    // the server; full sync makes every acknowledged row survive a power cut.
    QString pragmaError;
    if (!executeScript(QStringLiteral("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"), pragmaError)
        && pragmaError.contains(QLatin1String("not a database"))) {
        error = QStringLiteral("Cannot open database ") + path + QStringLiteral(": ") + pragmaError;
        close();
        return false;
    }
    m_writeAheadLog = false;
    m_commitsFlushedByCaller = false;
    QString modeError;
    if (auto mode = prepareAndRun(QStringLiteral("PRAGMA journal_mode"), modeError); mode && !mode->atEnd())
        m_writeAheadLog = mode->value(0).toText().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
    m_walIndex = WalIndexFile(path);
    m_walIndex.remember();
    if (const QString fault = m_walIndex.fault(); !fault.isEmpty()) {
        error = QStringLiteral("Cannot open database ") + path + QStringLiteral(": ") + fault;
        close();
        return false;
    }
    rebuildCaseIndexes();
    readColumnTypes();
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        m_device = st.st_dev;
        m_inode = st.st_ino;
    }
    return true;
}

bool SqliteBackend::open(const ConnectionString &connection, const QString &homeFolder, QString &error)
{
    const QString database = connection.value(QStringLiteral("Database"));
    if (database.isEmpty()) {
        error = QStringLiteral("The connection string names no Database: ") + connection.text();
        return false;
    }
    const QDir home(homeFolder);
    if (!openFile(home.absoluteFilePath(database), false, error))
        return false;
    // Statements name this database by its catalog name (DICOM for the archive).
    QString catalog = connection.value(QStringLiteral("Catalog"));
    if (catalog.isEmpty())
        catalog = connection.value(QStringLiteral("Initial Catalog"));
    m_translator = TsqlTranslator(SqlDialect::SQLite, catalog.isEmpty() ? QStringLiteral("DICOM") : catalog);
    m_translated.clear();
    m_translatedShapes.clear();
    for (const QString &file : attachedFiles(connection)) {
        const QString path = home.absoluteFilePath(file);
        const QString schema = QFileInfo(file).completeBaseName();
        if (!QFileInfo(path).isFile()) {
            error = QStringLiteral("Database file not found: ") + path;
            close();
            return false;
        }
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, "ATTACH DATABASE ?1 AS ?2", -1, &stmt, nullptr) == SQLITE_OK) {
            const QByteArray p = QFile::encodeName(path);
            const QByteArray s = schema.toUtf8();
            sqlite3_bind_text(stmt, 1, p.constData(), int(p.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(stmt, 2, s.constData(), int(s.size()), SQLITE_TRANSIENT);
            const int rc = sqlite3_step(stmt);
            sqlite3_finalize(stmt);
            if (rc == SQLITE_DONE)
                continue;
        }
        error = QStringLiteral("Cannot attach ") + path + QStringLiteral(": ") + lastError(m_db);
        close();
        return false;
    }
    rebuildCaseIndexes();
    readColumnTypes();
    return true;
}

// The archive's schema and the attached ones ("main", "Patient_Data", ...).
QStringList SqliteBackend::schemaNames()
{
    QStringList names;
    QString ignored;
    auto databases = prepareAndRun(QStringLiteral("PRAGMA database_list"), ignored);
    for (; databases && !databases->atEnd(); databases->moveNext())
        if (databases->value(1).toText() != QLatin1String("temp"))
            names << databases->value(1).toText();
    return names;
}

// Comparisons under NOCASE now fold every script, so an index built under
// SQLite's own NOCASE (only A-Z folded) is out of order wherever it holds
// other letters, and lookups through it would miss rows. Such indexes are
// rebuilt once per file, the archive's and the attached ones alike.
void SqliteBackend::rebuildCaseIndexes()
{
    QString error;
    QStringList stale;
    for (const QString &schema : schemaNames()) {
        auto version = prepareAndRun(QStringLiteral("PRAGMA ") + identifier(schema) + QStringLiteral(".user_version"), error);
        if (version && !version->atEnd() && version->value(0).toInteger() < kCaseFoldedIndexes)
            stale << schema;
    }
    if (stale.isEmpty())
        return;
    QString script = QStringLiteral("BEGIN IMMEDIATE; REINDEX NOCASE; ");
    for (const QString &schema : stale)
        script += QStringLiteral("PRAGMA ") + identifier(schema) + QStringLiteral(".user_version = ")
                  + QString::number(kCaseFoldedIndexes) + QStringLiteral("; ");
    script += QStringLiteral("COMMIT;");
    // Fails only when two keys differ in nothing but the case of non-ASCII
    // letters (which SQL Server would not hold either), or when the file is
    // busy: the indexes stay as they are and the next connection tries again.
    if (!executeScript(script, error))
        executeScript(QStringLiteral("ROLLBACK;"), error);
}

// The declared types of the columns of each table and view: the translator
// writes a date literal into a date column in the stored form, and lets text
// columns be found through their indexes.
void SqliteBackend::readColumnTypes()
{
    ColumnTypes columns;
    QString ignored;
    QList<QPair<QString, QString>> tables;
    for (const QString &schema : schemaNames()) {
        auto names = prepareAndRun(QStringLiteral("SELECT name FROM ") + identifier(schema)
                                       + QStringLiteral(".sqlite_master WHERE type IN ('table','view')"),
                                   ignored);
        for (; names && !names->atEnd(); names->moveNext())
            tables.append({schema, names->value(0).toText()});
    }
    for (const auto &[schema, table] : tables) {
        // A view that no longer compiles has no columns to offer: skipped.
        auto info = prepareAndRun(QStringLiteral("PRAGMA ") + identifier(schema) + QStringLiteral(".table_info(")
                                      + identifier(table) + QLatin1Char(')'),
                                  ignored);
        for (; info && !info->atEnd(); info->moveNext())
            columns[table.toLower()].insert(info->value(1).toText().toLower(), info->value(2).toText().toLower());
    }
    markExactColumns(columns);
    m_translator.setColumnTypes(columns);
    m_translated.clear(); // translations depend on the columns' types
    m_translatedShapes.clear();
}

// Text columns declared COLLATE BINARY compare letters exactly (SOP
// Instance UIDs); a view's column does when it shows one of them. Only the
// declaration counts: a text column without a collation was meant to compare
// as all others do, even if a foreign tool left SQLite's default on it.
void SqliteBackend::markExactColumns(ColumnTypes &columns)
{
    QString ignored;
    QSet<QString> exact;
    QList<QPair<QString, QString>> views;
    for (const QString &schema : schemaNames()) {
        auto rows = prepareAndRun(QStringLiteral("SELECT type, name, sql FROM ") + identifier(schema)
                                      + QStringLiteral(".sqlite_master WHERE type IN ('table','view') AND sql IS NOT NULL"),
                                  ignored);
        for (; rows && !rows->atEnd(); rows->moveNext()) {
            const QString name = rows->value(1).toText().toLower();
            const QString sql = rows->value(2).toText();
            if (rows->value(0).toText() == QLatin1String("view")) {
                views.append({name, sql});
                continue;
            }
            for (auto column = columns[name].begin(); column != columns[name].end(); ++column) {
                const QRegularExpression declared(QStringLiteral("(^|[(,])\\s*[\"\\[`]?") + QRegularExpression::escape(column.key())
                                                      + QStringLiteral("[\"\\]`]?\\s[^,]*\\bCOLLATE\\s+\"?BINARY\\b"),
                                                  QRegularExpression::CaseInsensitiveOption);
                if (declared.match(sql).hasMatch()) {
                    column.value() += QLatin1String(TsqlTranslator::ExactCollation);
                    exact.insert(column.key());
                }
            }
        }
    }
    for (const auto &[name, sql] : views) {
        for (auto column = columns[name].begin(); column != columns[name].end(); ++column) {
            const QRegularExpression shown(QStringLiteral("(\\w+)\"?\\s+AS\\s+\"?") + QRegularExpression::escape(column.key()) + QStringLiteral("\\b"),
                                           QRegularExpression::CaseInsensitiveOption);
            const QRegularExpressionMatch match = shown.match(sql);
            const QString source = match.hasMatch() ? match.captured(1).toLower() : column.key();
            if (exact.contains(source))
                column.value() += QLatin1String(TsqlTranslator::ExactCollation);
        }
    }
}

void SqliteBackend::close()
{
    // Result sets still being read (a query answering while another handler
    // reconnects) keep the handle and read on; it closes with the last of them.
    // The checkpoint SQLite runs at the close writes the index file: not
    // through a mapping that would fault.
    if (m_db && !m_walIndex.fault().isEmpty())
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (m_statements)
        m_statements->clear();
    m_statements.reset();
    m_handle.reset();
    m_db = nullptr;
}

// A database file deleted or replaced under a running server would otherwise
// take every later row into an unlinked file that nobody can read again.
bool SqliteBackend::checkFileStillThere(QString &error) const
{
    if (!m_db) {
        error = QStringLiteral("Not connected to the database.");
        return false;
    }
    struct stat st {};
    if (::stat(QFile::encodeName(m_path).constData(), &st) != 0 || st.st_ino != m_inode || st.st_dev != m_device) {
        error = QStringLiteral("The database file ") + m_path + QStringLiteral(" is missing or was replaced.");
        return false;
    }
    error = m_walIndex.fault();
    return error.isEmpty();
}

void SqliteBackend::registerFunctions()
{
    registerTsqlFunctions(m_db);
}

std::shared_ptr<SqliteCursor> SqliteBackend::prepareAndRun(const QString &sql, QString &error)
{
    const QByteArray text = sql.toUtf8();
    // SQLite ends a statement at a NUL byte: run nothing rather than a cut statement.
    if (text.contains('\0')) {
        error = QStringLiteral("The statement holds a NUL character and was not run");
        return nullptr;
    }
    auto cache = m_statements;
    auto giveBack = [cache](sqlite3_stmt *stmt) { cache->giveBack(stmt); };
    if (sqlite3_stmt *cached = cache ? cache->take(text) : nullptr) {
        auto cursor = std::make_shared<SqliteCursor>(m_handle, cached, giveBack);
        return cursor->start(error) ? cursor : nullptr;
    }
    bool ran = false;
    auto shaped = runShaped(text, error, ran);
    if (ran)
        return shaped;
    const char *tail = text.constData();
    const char *end = text.constData() + text.size();
    std::shared_ptr<SqliteCursor> last;
    while (tail && tail < end) {
        sqlite3_stmt *stmt = nullptr;
        const char *next = nullptr;
        if (sqlite3_prepare_v2(m_db, tail, int(end - tail), &stmt, &next) != SQLITE_OK) {
            error = lastError(m_db);
            return nullptr;
        }
        // A text of one statement is kept prepared for its next run.
        const bool whole = tail == text.constData() && onlyBlanksFrom(next, end);
        tail = next;
        if (!stmt) // only blanks or comments left
            continue;
        if (last)
            last->runToEnd();
        if (whole && cache && cache->adopt(text, stmt))
            last = std::make_shared<SqliteCursor>(m_handle, stmt, giveBack);
        else
            last = std::make_shared<SqliteCursor>(m_handle, stmt);
        if (!last->start(error))
            return nullptr;
    }
    if (!last)
        last = std::make_shared<SqliteCursor>(m_handle, nullptr);
    return last;
}

// The statement as its shape, literals bound; `ran` false when it has none
// that may stand for it, and the text is to run as written.
std::shared_ptr<SqliteCursor> SqliteBackend::runShaped(const QByteArray &text, QString &error, bool &ran)
{
    ran = false;
    auto cache = m_statements;
    SqliteStatementShape shape;
    if (!cache || !SqliteStatementShape::of(text, shape) || m_unshaped.contains(shape.text))
        return nullptr;
    const QByteArray key = kShapeMark + shape.text;
    bool cached = true;
    sqlite3_stmt *stmt = cache->take(key);
    if (!stmt) {
        stmt = prepareShape(text, shape.text, int(shape.values.size()));
        if (!stmt) {
            if (m_unshaped.size() >= kUnshapedKept)
                m_unshaped.clear();
            m_unshaped.insert(shape.text);
            return nullptr;
        }
        cached = cache->adopt(key, stmt); // false: the kept one is lent to an open cursor
    }
    ran = true;
    auto cursor = cached ? std::make_shared<SqliteCursor>(m_handle, stmt,
                                                          [cache](sqlite3_stmt *s) { cache->giveBack(s); })
                         : std::make_shared<SqliteCursor>(m_handle, stmt);
    for (size_t i = 0; i < shape.values.size(); ++i) {
        const QByteArray &value = shape.values[i];
        if (sqlite3_bind_text(stmt, int(i) + 1, value.constData(), int(value.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
            error = lastError(m_db);
            return nullptr;
        }
    }
    return cursor->start(error) ? cursor : nullptr;
}

// The shape compiled, when it is one statement that answers as the text
// itself would: the same parameters as literals taken out, the same result
// columns by name. nullptr otherwise (the text then runs as written).
sqlite3_stmt *SqliteBackend::prepareShape(const QByteArray &text, const QByteArray &shape, int literals)
{
    sqlite3_stmt *shaped = nullptr;
    const char *tail = nullptr;
    if (sqlite3_prepare_v2(m_db, shape.constData(), int(shape.size()), &shaped, &tail) != SQLITE_OK || !shaped
        || !onlyBlanksFrom(tail, shape.constData() + shape.size()) || sqlite3_bind_parameter_count(shaped) != literals) {
        sqlite3_finalize(shaped);
        return nullptr;
    }
    sqlite3_stmt *plain = nullptr;
    bool same = sqlite3_prepare_v2(m_db, text.constData(), int(text.size()), &plain, nullptr) == SQLITE_OK && plain
                && sqlite3_column_count(plain) == sqlite3_column_count(shaped);
    for (int i = 0; same && i < sqlite3_column_count(plain); ++i)
        same = qstrcmp(sqlite3_column_name(plain, i), sqlite3_column_name(shaped, i)) == 0;
    sqlite3_finalize(plain);
    if (!same) {
        sqlite3_finalize(shaped);
        return nullptr;
    }
    return shaped;
}

std::shared_ptr<DbCursor> SqliteBackend::execute(const QString &statement, QString &error)
{
    if (!checkFileStillThere(error))
        return nullptr;
    // Translated once per text: the same lookups and queries come again and again.
    // A text met once (an image's UIDs) translates by its shape.
    TranslatedStatement translated;
    auto known = m_translated.constFind(statement);
    if (known != m_translated.cend()) {
        translated = *known;
    } else if (!m_translatedShapes.translate(statement, m_translator, translated)) {
        if (m_translated.size() >= kTranslationsKept)
            m_translated.clear();
        translated = *m_translated.insert(statement, m_translator.translate(statement));
    }
    if (!translated.guardQuery.isEmpty()) {
        auto guard = prepareAndRun(translated.guardQuery, error);
        if (!guard)
            return nullptr;
        const bool exists = !guard->atEnd();
        guard->close();
        if (exists == translated.guardNegated)
            return prepareAndRun(QString(), error);
    }
    auto cursor = prepareAndRun(translated.sql, error);
    if (cursor && changesSchema(translated.sql)) {
        if (m_statements)
            m_statements->clear();
        m_unshaped.clear();
        readColumnTypes();
    }
    return cursor;
}

bool SqliteBackend::executeScript(const QString &sql, QString &error)
{
    if (!m_db) {
        error = QStringLiteral("Not connected to the database.");
        return false;
    }
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &message) != SQLITE_OK) {
        error = message ? QString::fromUtf8(message) : lastError(m_db);
        sqlite3_free(message);
        return false;
    }
    return true;
}

void SqliteBackend::setCommitsFlushedByCaller(bool on)
{
    // In write-ahead mode a commit under NORMAL is complete in the log and
    // survives a crash of the process; only its flush is left, and a
    // checkpoint still flushes the log before it copies anything. Without the
    // log, NORMAL could damage the file on a power cut: FULL stays.
    if (!m_db || !m_writeAheadLog || on == m_commitsFlushedByCaller)
        return;
    QString error;
    if (executeScript(on ? QStringLiteral("PRAGMA synchronous=NORMAL") : QStringLiteral("PRAGMA synchronous=FULL"), error))
        m_commitsFlushedByCaller = on;
}

QStringList SqliteBackend::commitFlushFiles() const
{
    if (!m_db || !m_writeAheadLog)
        return {};
    return {m_path + QStringLiteral("-wal")};
}

bool SqliteBackend::fetchForUpdate(const QString &selectStatement, UpdatableRow &row, QString &error)
{
    if (!checkFileStillThere(error))
        return false;
    QString table, rest;
    if (!splitSelectStar(m_translator.translateBody(selectStatement), table, rest)) {
        error = QStringLiteral("Only SELECT * FROM <table> can be opened for update: ") + selectStatement;
        return false;
    }
    row = UpdatableRow{};
    row.table = table;
    if (!primaryKey(row.table, row.keyColumns, error))
        return false;
    auto cursor = prepareAndRun(QStringLiteral("SELECT * FROM ") + row.table + rest, error);
    if (!cursor)
        return false;
    takeOpenedRow(*cursor, row);
    cursor->close();
    return true;
}

// The primary key columns of a table ("T", "schema.T", quoted or not), in key order.
bool SqliteBackend::primaryKey(const QString &table, QStringList &columns, QString &error)
{
    auto unquote = [](QString name) {
        if (name.startsWith(QLatin1Char('"')) && name.endsWith(QLatin1Char('"')) && name.size() >= 2)
            name = name.mid(1, name.size() - 2).replace(QLatin1String("\"\""), QLatin1String("\""));
        return name;
    };
    static const QRegularExpression parts(QStringLiteral(R"(^("[^"]+"|[\w$]+)(?:\.("[^"]+"|[\w$]+))?$)"));
    const QRegularExpressionMatch m = parts.match(table);
    const QString schema = m.captured(2).isEmpty() ? QStringLiteral("main") : unquote(m.captured(1));
    const QString name = unquote(m.captured(2).isEmpty() ? m.captured(1) : m.captured(2));
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT name FROM pragma_table_info(?1, ?2) WHERE pk > 0 ORDER BY pk", -1, &stmt, nullptr) != SQLITE_OK) {
        error = lastError(m_db);
        return false;
    }
    bindValue(stmt, 1, DbValue::fromText(name));
    bindValue(stmt, 2, DbValue::fromText(schema));
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        columns << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) {
        error = lastError(m_db);
        return false;
    }
    return true;
}

bool SqliteBackend::saveRow(UpdatableRow &row, QString &error)
{
    if (!checkFileStillThere(error))
        return false;
    auto quoted = [](const QString &name) {
        return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
    };
    QStringList names;
    QList<DbValue> values;
    for (qsizetype i = 0; i < row.columns.size(); ++i)
        if (row.changed.value(i)) {
            names << quoted(row.columns[i]);
            values << row.values[i];
        }
    if (names.isEmpty())
        return true;
    QString sql;
    const bool insert = row.isNew || !row.found;
    if (insert) {
        QStringList marks;
        for (qsizetype i = 0; i < names.size(); ++i)
            marks << QStringLiteral("?");
        sql = QStringLiteral("INSERT INTO ") + row.table + QStringLiteral(" (") + names.join(QLatin1Char(',')) +
              QStringLiteral(") VALUES (") + marks.join(QLatin1Char(',')) + QLatin1Char(')');
    } else {
        QStringList sets;
        for (const QString &n : names)
            sets << n + QStringLiteral("=?");
        QStringList match;
        for (qsizetype i = 0; i < row.keyColumns.size(); ++i) {
            const DbValue key = row.keyValues.value(i);
            if (key.isNull()) {
                match << quoted(row.keyColumns[i]) + QStringLiteral(" IS NULL");
            } else {
                match << quoted(row.keyColumns[i]) + QStringLiteral("=?");
                values << key;
            }
        }
        if (match.isEmpty()) {
            error = QStringLiteral("The row of ") + row.table + QStringLiteral(" has no key to be found again by.");
            return false;
        }
        sql = QStringLiteral("UPDATE ") + row.table + QStringLiteral(" SET ") + sets.join(QLatin1Char(',')) +
              QStringLiteral(" WHERE ") + match.join(QStringLiteral(" AND "));
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK) {
        error = lastError(m_db);
        return false;
    }
    for (qsizetype i = 0; i < values.size(); ++i)
        bindValue(stmt, int(i + 1), values[i]);
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) {
        error = lastError(m_db);
        return false;
    }
    if (!insert && sqlite3_changes(m_db) == 0) {
        error = QStringLiteral("The row of ") + row.table + QStringLiteral(" was changed or removed meanwhile.");
        return false;
    }
    // The key as it now stands; an integer key the insert left out is the new rowid.
    row.keyValues.clear();
    for (const QString &key : row.keyColumns) {
        const qsizetype i = row.columns.indexOf(key);
        DbValue value = row.values.value(i);
        if (insert && value.isNull() && row.keyColumns.size() == 1 && !row.changed.value(i)) {
            value = DbValue::fromInteger(sqlite3_last_insert_rowid(m_db));
            if (i >= 0)
                row.values[i] = value;
        }
        row.keyValues << value;
    }
    if (insert) {
        row.found = true;
        row.isNew = false;
    }
    for (auto &&c : row.changed)
        c = false;
    return true;
}

bool SqliteBackend::beginTransaction(QString &error)
{
    if (!checkFileStillThere(error))
        return false;
    // IMMEDIATE takes the write lock now, so a second process cannot make the
    // transaction fail half-way.
    return executeScript(QStringLiteral("BEGIN IMMEDIATE"), error);
}

bool SqliteBackend::commitTransaction(QString &error)
{
    if (!checkFileStillThere(error))
        return false;
    return executeScript(QStringLiteral("COMMIT"), error);
}

bool SqliteBackend::rollbackTransaction(QString &error)
{
    if (!m_db) {
        error = QStringLiteral("Not connected to the database.");
        return false;
    }
    if (sqlite3_get_autocommit(m_db)) // nothing open (SQLite may have rolled back on its own)
        return true;
    return executeScript(QStringLiteral("ROLLBACK"), error);
}

} // namespace pacs::db
