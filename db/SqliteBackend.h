#pragma once

#include "db/DbBackend.h"
#include "db/TranslationShapes.h"
#include "db/TsqlTranslator.h"
#include "db/WalIndexFile.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <memory>
#include <sys/types.h>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace pacs::db {

class SqliteCursor;
class SqliteStatementCache;

// The embedded archive: one SQLite file for the archive database and further
// files attached under their own names for the hospital information system's
// databases, as the connection string lists them:
//   Driver=SQLite;Database=archive.db;Attach=Patient_Data.db,Build_File.db
// Paths are relative to the home folder. Files are never created here: a
// missing file is an error, so a wrong path cannot start an empty archive.
class SqliteBackend : public DbBackend
{
public:
    SqliteBackend();
    ~SqliteBackend() override;

    bool open(const ConnectionString &connection, const QString &homeFolder, QString &error) override;
    void close() override;
    bool isOpen() const override { return m_db != nullptr; }

    std::shared_ptr<DbCursor> execute(const QString &statement, QString &error) override;
    bool fetchForUpdate(const QString &selectStatement, UpdatableRow &row, QString &error) override;
    bool saveRow(UpdatableRow &row, QString &error) override;
    bool beginTransaction(QString &error) override;
    bool commitTransaction(QString &error) override;
    bool rollbackTransaction(QString &error) override;
    void setCommitsFlushedByCaller(bool on) override;
    QStringList commitFlushFiles() const override;

    // Runs native SQLite text (no translation), every statement of it in turn.
    bool executeScript(const QString &sql, QString &error);

    // Opens (and with create, makes) a database file without a connection string.
    bool openFile(const QString &path, bool create, QString &error);

    static QStringList attachedFiles(const ConnectionString &connection);

private:
    bool checkFileStillThere(QString &error) const;
    bool primaryKey(const QString &table, QStringList &columns, QString &error);
    std::shared_ptr<SqliteCursor> prepareAndRun(const QString &sql, QString &error);
    std::shared_ptr<SqliteCursor> runShaped(const QByteArray &text, QString &error, bool &ran);
    sqlite3_stmt *prepareShape(const QByteArray &text, const QByteArray &shape, int literals);
    void registerFunctions();
    QStringList schemaNames();
    void rebuildCaseIndexes();
    void readColumnTypes();
    void markExactColumns(ColumnTypes &columns);

    sqlite3 *m_db = nullptr;
    // Owns m_db together with the cursors still reading from it.
    std::shared_ptr<sqlite3> m_handle;
    QString m_path;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    TsqlTranslator m_translator;
    QHash<QString, TranslatedStatement> m_translated;
    TranslationShapes m_translatedShapes;
    std::shared_ptr<SqliteStatementCache> m_statements;
    // Shapes whose compiled form differs from their statement's (a literal
    // that names a result column, say): those run as written.
    QSet<QByteArray> m_unshaped;
    WalIndexFile m_walIndex;
    // Write-ahead logging is on (a volume may refuse it): only then may a
    // commit leave its flush to the caller without risking the file.
    bool m_writeAheadLog = false;
    bool m_commitsFlushedByCaller = false;
};

} // namespace pacs::db
