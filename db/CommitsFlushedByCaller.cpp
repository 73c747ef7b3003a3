#include "db/CommitsFlushedByCaller.h"

#include "db/ArchiveConnection.h"

namespace pacs::db {

CommitsFlushedByCaller::CommitsFlushedByCaller(ArchiveConnection &connection) : m_connection(connection)
{
    m_connection.setCommitsFlushedByCaller(true);
}

CommitsFlushedByCaller::~CommitsFlushedByCaller()
{
    m_connection.setCommitsFlushedByCaller(false);
}

} // namespace pacs::db
