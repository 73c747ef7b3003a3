#pragma once

#include "db/DbBackend.h"

#include <QString>
#include <memory>

namespace pacs::test {

// A database of its own on the server that PACS_TEST_SERVER names (the
// connection string of a PostgreSQL maintenance database, as
// scripts/pg-cluster.sh prints it), for one test; dropped with it. Without
// PACS_TEST_SERVER tests use the embedded archive. With PACS_TEST_ODBC (an
// ODBC driver's name, "{PostgreSQL Unicode}") the archive is reached through
// that driver instead of libpq.
class ServerDatabase
{
public:
    static bool enabled();

    // Creates an empty database; its connection string, or empty with a description.
    static QString create(QString &error);
    static void drop(const QString &connectionString);

    // PostgreSQL's own text on the server database of a home folder (a
    // trigger that makes statements fail, for example).
    static bool executeNative(const QString &homeFolder, const QString &sql, QString &error);
};

// The archive a home folder's DBServer.txt names, opened as the program opens
// it (embedded or on the server); null with a description.
std::unique_ptr<db::DbBackend> openHomeArchive(const QString &homeFolder, QString &error);

} // namespace pacs::test
