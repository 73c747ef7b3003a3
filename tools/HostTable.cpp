#include "tools/HostTable.h"

#include "db/ArchiveConnection.h"

namespace pacs::tools {

bool HostTable::fail(const QString &error)
{
    m_error = error;
    return false;
}

bool HostTable::open(db::ArchiveConnection &connection, const QString &name)
{
    m_connection = nullptr;
    m_name = name;
    // Asked quietly first: a table that is not there is the caller's to
    // report, not a statement for the error box and a reconnect.
    QString error;
    const QString select = QStringLiteral("SELECT * FROM ") + name + QStringLiteral(" WHERE 1=0");
    if (!connection.executeQuiet(select, error))
        return fail(error);
    if (!connection.openForUpdate(select, m_row))
        return fail(connection.lastError());
    m_connection = &connection;
    m_error.clear();
    return true;
}

bool HostTable::AddNew()
{
    if (!isOpen())
        return fail(QStringLiteral("The table is not open."));
    for (qsizetype i = 0; i < m_row.columns.size(); ++i) {
        m_row.values[i] = db::DbValue();
        m_row.changed[i] = false;
    }
    m_row.keyValues.clear();
    m_row.found = false;
    m_row.isNew = true;
    return true;
}

bool HostTable::setField(const QString &field, const QString &value)
{
    if (!isOpen())
        return fail(QStringLiteral("The table is not open."));
    if (!m_row.isNew)
        return fail(QStringLiteral("No new row: AddNew first."));
    for (qsizetype i = 0; i < m_row.columns.size(); ++i) {
        if (m_row.columns[i].compare(field, Qt::CaseInsensitive) == 0) {
            m_row.values[i] = value.isEmpty() ? db::DbValue() : db::DbValue::fromText(value);
            m_row.changed[i] = true;
            return true;
        }
    }
    return fail(QStringLiteral("Item cannot be found in the collection: ") + field + QStringLiteral(" (") + m_name + QLatin1Char(')'));
}

QString HostTable::field(const QString &field) const
{
    for (qsizetype i = 0; i < m_row.columns.size(); ++i)
        if (m_row.columns[i].compare(field, Qt::CaseInsensitive) == 0)
            return m_row.values[i].toText();
    return QString();
}

bool HostTable::Update()
{
    if (!isOpen())
        return fail(QStringLiteral("The table is not open."));
    if (!m_row.isNew)
        return fail(QStringLiteral("No new row: AddNew first."));
    if (!m_connection->saveRow(m_row))
        return fail(m_connection->lastError());
    m_row.isNew = false; // saved: the next row starts with AddNew again
    return true;
}

void HostTable::Close()
{
    m_connection = nullptr;
    m_row = db::UpdatableRow{};
}

} // namespace pacs::tools
