#pragma once

namespace pacs::db {

class ArchiveConnection;

// For one scope, commits on the archive connection do not wait for the disk:
// the caller flushes the connection's commitFlushFiles() itself, together
// with files of its own, before it tells anyone that the change is stored.
// A received image's row and its file then share one flush instead of one
// each. Commits outside the scope are durable when they return.
class CommitsFlushedByCaller
{
public:
    explicit CommitsFlushedByCaller(ArchiveConnection &connection);
    ~CommitsFlushedByCaller();
    CommitsFlushedByCaller(const CommitsFlushedByCaller &) = delete;
    CommitsFlushedByCaller &operator=(const CommitsFlushedByCaller &) = delete;

private:
    ArchiveConnection &m_connection;
};

} // namespace pacs::db
