#pragma once

#include <QString>
#include <QStringList>

namespace pacs {
class HomeFolder;
}

namespace pacs::db {

// Moves an embedded archive onto a database server: every table of the
// archive and of the attached hospital information system databases is
// copied into an empty server database (installed first where its schemas
// are missing), the row counts of both sides are compared, and only when all
// match does DBServer.txt (and each site-profile file that names the embedded
// HIS database) name the server. The embedded files stay as they were.
class ArchiveMigration
{
public:
    explicit ArchiveMigration(const HomeFolder &home);

    bool migrate(const QString &targetConnection, QString &error);
    // What was done, a line per step ("PatientTable: 12 rows", ...).
    const QStringList &report() const { return m_report; }

private:
    bool switchConnectionFiles(const QString &targetConnection, QString &error);

    const HomeFolder &m_home;
    QStringList m_report;
};

} // namespace pacs::db
