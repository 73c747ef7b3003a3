#pragma once

#include <QString>

namespace pacs {
class ActivityLog;
class Prompter;
}

namespace pacs::db {

class ArchiveConnection;

// The schema version check at start-up and the "DB Update" command. Every
// upgrade statement may run any number of times: one that fails counts as
// already applied.
class SchemaUpgrade
{
public:
    static constexpr const char *SchemaVersion = "9";

    SchemaUpgrade(ArchiveConnection &connection, ActivityLog &log, Prompter &prompter);

    void CheckSchemaVersion();
    void updateDatabase(); // cmdUpdateDatabase
    void RunSchemaStatement(const QString &statement, bool &failed);
    void UpgradeSyncStatus();
    // The SOP class, frame and size keys of images and the date and body part
    // of series: their columns, the query map and views that answer them,
    // and the list of archived images whose keys are still to be read from
    // their files (ImageKeysToRead, worked off in the background).
    void UpgradeImageKeys();
    // SOP Instance UIDs are case-sensitive: 1.2.999.AB and 1.2.999.ab are two
    // instances. ImageTable and ImageKeysToRead of archives that compare them
    // without regard to case are rebuilt, rows and indexes kept, in one
    // transaction each (SQLite cannot change a column's collation). Quiet
    // when they compare exactly already.
    void UpgradeExactInstanceUids();
    // The host framework's ListView table, for archives installed before it
    // was part of the installation. Quiet when it exists; true when it does
    // (or now does).
    static bool ensureListViewTable(ArchiveConnection &connection, ActivityLog &log);

private:
    enum class Check { UpToDate, Asked, Failed };
    Check checkOnce();
    bool hasImageKeyColumns();
    QString instanceUidTableSql(const QString &table);
    bool rebuildWithExactInstanceUid(const QString &table, const QString &createSql);
    void addStudyResultStatus();

    ArchiveConnection &m_connection;
    ActivityLog &m_log;
    Prompter &m_prompter;
};

} // namespace pacs::db
