#include "db/ArchiveTransaction.h"

#include "db/ArchiveConnection.h"

namespace pacs::db {

ArchiveTransaction::ArchiveTransaction(ArchiveConnection &connection)
    : m_connection(connection), m_open(connection.BeginTrans())
{
}

ArchiveTransaction::~ArchiveTransaction()
{
    rollback();
}

bool ArchiveTransaction::commit()
{
    if (!m_open)
        return false;
    m_open = false;
    return m_connection.CommitTrans();
}

void ArchiveTransaction::rollback()
{
    if (!m_open)
        return;
    m_open = false;
    m_connection.RollbackTrans();
}

} // namespace pacs::db
