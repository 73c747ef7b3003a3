#pragma once

#include <QString>
#include <functional>

namespace pacs::db {

class ArchiveConnection;

// The event journal in the archive's Events table: one row per call, the
// newest hundred listed on demand, emptied only by "Delete Events".
class EventJournal
{
public:
    explicit EventJournal(ArchiveConnection &connection);

    void LogEvent(const QString &description, const QString &patientId, int severity);

    // Calls addRow with each of the newest 100 rows (EventID, DateTime,
    // Severity, PatientID, Description joined by TAB) until it returns false.
    // Returns false when the statement failed.
    bool refresh(const std::function<bool(const QString &line)> &addRow);
    void deleteAll();

private:
    ArchiveConnection &m_connection;
};

} // namespace pacs::db
