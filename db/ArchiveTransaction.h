#pragma once

namespace pacs::db {

class ArchiveConnection;

// A transaction on the archive connection for one scope: begun on
// construction, rolled back on destruction unless commit() succeeded.
//
//   ArchiveTransaction transaction(connection);
//   if (!transaction.isOpen()) return false;
//   connection.ExecuteSQL(...); connection.ExecuteSQL(...);
//   return transaction.commit(); // false: nothing of it happened
class ArchiveTransaction
{
public:
    explicit ArchiveTransaction(ArchiveConnection &connection);
    ~ArchiveTransaction();
    ArchiveTransaction(const ArchiveTransaction &) = delete;
    ArchiveTransaction &operator=(const ArchiveTransaction &) = delete;

    bool isOpen() const { return m_open; }
    bool commit();
    void rollback();

private:
    ArchiveConnection &m_connection;
    bool m_open = false;
};

} // namespace pacs::db
