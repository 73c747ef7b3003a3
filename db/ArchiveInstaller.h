#pragma once

#include <QString>
#include <QStringList>

namespace pacs {
class HomeFolder;
}

namespace pacs::db {

// Sets up the embedded archive in a home folder: the archive database
// (tables, views, query map, schema version 9), the hospital information
// system's demo databases, DBServer.txt pointing at them and sample
// site-profile connection files. Existing files are never overwritten, so
// running it on an installed home folder changes nothing.
class ArchiveInstaller
{
public:
    static constexpr const char *ArchiveFile = "archive.db";
    static constexpr const char *DefaultConnectionString =
        "Driver=SQLite;Database=archive.db;Attach=Patient_Data.db,Build_File.db,HIS.db";

    explicit ArchiveInstaller(const HomeFolder &home);

    // True when DBServer.txt exists already (nothing to do).
    bool isInstalled() const;
    // Creates whatever is missing. On failure a description.
    bool install(QString &error);
    // What install() did, for the log ("Created ...").
    const QStringList &actions() const { return m_actions; }

private:
    bool createDatabase(const QString &file, const QString &script, QString &error);

    const HomeFolder &m_home;
    QStringList m_actions;
};

} // namespace pacs::db
