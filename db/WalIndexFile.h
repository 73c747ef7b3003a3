#pragma once

// The write-ahead log's index beside a SQLite database (<database>-shm).
// SQLite maps it into memory and writes it directly, not through calls that
// can fail: made immutable, cut short or replaced under a running connection,
// it turns the next statement into a SIGBUS instead of an error. The backend
// asks fault() before each statement and fails that statement instead.

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace pacs::db {

class WalIndexFile
{
public:
    WalIndexFile() = default;
    explicit WalIndexFile(const QString &databasePath);

    // Notes the file as SQLite has it mapped now (after the connection's first statement).
    void remember();
    // Empty while SQLite may write through its mapping; otherwise what is wrong.
    QString fault() const;

private:
    QByteArray m_path;
    bool m_known = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

} // namespace pacs::db
