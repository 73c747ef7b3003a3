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

private:
    enum class Check { UpToDate, Asked, Failed };
    Check checkOnce();

    ArchiveConnection &m_connection;
    ActivityLog &m_log;
    Prompter &m_prompter;
};

} // namespace pacs::db
