#pragma once

#include <QString>
#include <QStringList>

namespace pacs {

class ActivityLog;
class ServerOptions;
namespace db {
class ArchiveConnection;
}
namespace toolkit {
class ToolkitConnection;
}

// Sends archived images to a station that asks for them: on C-MOVE to a
// destination known in RemoteAETs, on C-GET back over the requesting
// association. The sends finish in the action completions of the server.
class RetrieveService
{
public:
    static constexpr int MaxFiles = 999;

    RetrieveService(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options);

    // C-MOVE: resolve the destination and connect; C-GET: send at once.
    void retrieveRequest(toolkit::ToolkitConnection &connection);
    // The files the request names, in study, series and instance order.
    void SendRequestedImages(toolkit::ToolkitConnection &connection);
    // The statement and files of the last send (for the log and tests).
    const QStringList &lastFiles() const { return m_lastFiles; }

private:
    void resolveDestination(toolkit::ToolkitConnection &connection);

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    ServerOptions &m_options;
    QStringList m_lastFiles;
};

} // namespace pacs
