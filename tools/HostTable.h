#pragma once

#include "db/UpdatableRow.h"

#include <QString>

namespace pacs::db {
class ArchiveConnection;
}

namespace pacs::tools {

// A table the framework's database service opened for adding rows: AddNew,
// set fields by name, Update to save, Close. Each failing step keeps its
// description in error().
class HostTable
{
public:
    HostTable() = default;

    bool isOpen() const { return m_connection != nullptr; }
    const QString &name() const { return m_name; }
    const QString &error() const { return m_error; }

    bool AddNew();
    // Fields(name) = value; an empty text stores NULL.
    bool setField(const QString &field, const QString &value);
    QString field(const QString &field) const;
    bool Update();
    void Close();

private:
    friend class HostDatabase;
    bool open(db::ArchiveConnection &connection, const QString &name);
    bool fail(const QString &error);

    db::ArchiveConnection *m_connection = nullptr;
    QString m_name;
    db::UpdatableRow m_row;
    QString m_error;
};

} // namespace pacs::tools
