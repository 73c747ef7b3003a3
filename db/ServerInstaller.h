#pragma once

#include <QString>
#include <QStringList>

namespace pacs {
class HomeFolder;
}

namespace pacs::db {

class ConnectionString;
class PostgresBackend;

// Sets up the archive on a database server: in the server database the
// connection string names, the archive's schema "dicom" (tables, views, query
// map, the functions that stand in for SQL Server's) and the hospital
// information system's demo schemas patient_data, build_file and his. A
// schema that exists already is left as it is (a HIS shared with the hospital
// keeps its own tables). Then DBServer.txt and the site-profile connection
// files of the home folder name that database, unless they exist.
class ServerInstaller
{
public:
    explicit ServerInstaller(const HomeFolder &home);

    bool install(const QString &connectionString, QString &error);
    const QStringList &actions() const { return m_actions; }

    // Only the database objects, without connection files.
    bool createObjects(const ConnectionString &connection, QString &error);

private:
    bool createSchema(PostgresBackend &db, const QString &schema, const QString &script, QString &error);

    const HomeFolder &m_home;
    QStringList m_actions;
};

} // namespace pacs::db
