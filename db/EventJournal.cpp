#include "db/EventJournal.h"

#include "core/EventYield.h"
#include "core/TextValues.h"
#include "db/ArchiveConnection.h"
#include "db/SqlText.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>

namespace pacs::db {

EventJournal::EventJournal(ArchiveConnection &connection) : m_connection(connection)
{
}

void EventJournal::LogEvent(const QString &description, const QString &patientId, int severity)
{
    // The description is made safe by SafeFileName; the patient ID is quoted
    // too, since it may come from the network.
    m_connection.ExecuteSQL(QStringLiteral("Insert into events (DateTime,Severity, PatientID, Description) values(convert(datetime,'")
                            + generalDateTime(QDateTime::currentDateTime()) + QStringLiteral("'),")
                            + QString::number(severity) + QStringLiteral(",'") + Quote(patientId) + QStringLiteral("','")
                            + SafeFileName(description) + QStringLiteral("')"));
}

bool EventJournal::refresh(const std::function<bool(const QString &line)> &addRow)
{
    bool failed = false;
    ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT  top 100 * from Events where 1=1 order by EventID Desc "), failed);
    if (rows.isNone())
        return false;
    while (!rows.atEnd()) {
        QStringList fields;
        for (int i = 0; i < 5; ++i)
            fields << rows.text(i);
        if (!addRow(fields.join(QLatin1Char('\t'))))
            break;
        yieldToEvents();
        rows.moveNext();
    }
    rows.close();
    return true;
}

void EventJournal::deleteAll()
{
    m_connection.ExecuteSQL(QStringLiteral("Delete from Events "));
}

} // namespace pacs::db
