#pragma once

#include <QString>
#include <QVariant>
#include <vector>

namespace pacs {

class ActivityLog;
class RetrieveService;
class ServerOptions;
namespace db {
class ArchiveConnection;
}
namespace toolkit {
class ToolkitAttribute;
class ToolkitConnection;
class ToolkitDataset;
}

// Answers C-FIND from the archive: the request's keys are mapped to the
// columns of a per-level view through the Fields table, one statement of at
// most 800 rows is run, and each row goes back as a pending response. C-MOVE
// and C-GET are handed to the retrieve service.
class QueryService
{
public:
    static constexpr int MaxResponses = 800;

    QueryService(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options, RetrieveService &retrieve);

    void Server_QueryRequest(toolkit::ToolkitConnection &connection);

    // The statement built for the last C-FIND (for the log and for tests).
    const QString &lastStatement() const { return m_lastStatement; }

private:
    struct Mapping
    {
        int group = 0;
        int element = 0;
        QString fieldName;
        QString fieldSource;
        QString fieldMatch;
        bool isName = false;
        bool isDate = false;
        bool forMatching = false;
    };
    bool readMappings(const QString &levelKey, std::vector<Mapping> &mappings);
    // Keys of every answer: the level asked for and where to retrieve from.
    void addLevelAndRetrieveTitle(toolkit::ToolkitDataset &response, const QString &level) const;
    // Requested keys the level's mapping cannot answer; they come back empty.
    static std::vector<toolkit::ToolkitAttribute> unansweredKeys(const toolkit::ToolkitDataset &identifier,
                                                                 const std::vector<Mapping> &mappings);
    static void addUnansweredKeys(toolkit::ToolkitDataset &response, const std::vector<toolkit::ToolkitAttribute> &keys);
    void refuse(toolkit::ToolkitConnection &connection, int status, const QString &comment);

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    ServerOptions &m_options;
    RetrieveService &m_retrieve;
    QString m_lastStatement;
};

} // namespace pacs
