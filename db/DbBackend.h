#pragma once

#include "db/ConnectionString.h"
#include "db/DbCursor.h"
#include "db/UpdatableRow.h"

#include <QString>
#include <QStringList>
#include <memory>

namespace pacs::db {

// One open connection to a database server or file. Statements arrive as the
// program writes them (T-SQL) and each back end runs them its own way.
// Failures come back as a description, never as exceptions.
class DbBackend
{
public:
    virtual ~DbBackend() = default;

    // homeFolder resolves relative file names in the connection string.
    virtual bool open(const ConnectionString &connection, const QString &homeFolder, QString &error) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Runs the statement; a statement without rows gives a cursor without
    // columns. Null with a description on failure.
    virtual std::shared_ptr<DbCursor> execute(const QString &statement, QString &error) = 0;

    // Editing one row of a table (see UpdatableRow).
    virtual bool fetchForUpdate(const QString &selectStatement, UpdatableRow &row, QString &error) = 0;
    virtual bool saveRow(UpdatableRow &row, QString &error) = 0;

    // One transaction at a time: begun, then committed or rolled back.
    virtual bool beginTransaction(QString &error) = 0;
    virtual bool commitTransaction(QString &error) = 0;
    virtual bool rollbackTransaction(QString &error) = 0;

    // Commits that need not wait for the disk, because the caller makes the
    // files named by commitFlushFiles() durable itself before it tells anyone
    // that the change is stored (a received image's row, flushed together
    // with the image's file). Back ends whose commits are durable by
    // themselves (a database server) ignore it and name no file.
    virtual void setCommitsFlushedByCaller(bool) {}
    virtual QStringList commitFlushFiles() const { return {}; }

    // A back end for the driver a connection string names; null with a
    // description when this build has none (DbBackend.cpp: the one place that
    // knows the drivers).
    static std::unique_ptr<DbBackend> create(const ConnectionString &connection, QString &error);
};

} // namespace pacs::db
