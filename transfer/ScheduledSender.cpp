#include "transfer/ScheduledSender.h"

#include "core/ActivityLog.h"
#include "db/ArchiveConnection.h"
#include "transfer/Outbox.h"

#include <QCoreApplication>

namespace pacs {

ScheduledSender::ScheduledSender(db::ArchiveConnection &connection, ActivityLog &log, Outbox &outbox, QObject *parent)
    : QObject(parent), m_connection(connection), m_log(log), m_outbox(outbox)
{
    m_timer.setInterval(TickMs);
    connect(&m_timer, &QTimer::timeout, this, &ScheduledSender::tick);
}

void ScheduledSender::EnableTimerSend()
{
    if (m_checked && m_checked()) {
        if (!m_timer.isActive()) // enabling a running timer must not restart its count
            m_timer.start();
    } else
        m_timer.stop();
}

void ScheduledSender::disableTimerSend()
{
    m_timer.stop();
}

void ScheduledSender::tick()
{
    if (!m_checked || !m_checked())
        return;
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(
        QStringLiteral("select InstanceUID from DICOM..ImageTABLE where syncStatus='0' or syncStatus is null  "), failed);
    if (rows.isNone()) {
        m_log.ReportError(QStringLiteral("The images waiting to be sent could not be listed."), false);
        return;
    }
    int queued = 0;
    for (; !rows.atEnd(); rows.moveNext()) {
        m_outbox.addEntry(QStringLiteral("IMAGE"), rows.text(0));
        ++queued;
        QCoreApplication::processEvents();
    }
    rows.close();
    if (queued > 0)
        emit showOutbox();
}

void ScheduledSender::QueueImage(const QString &uid)
{
    m_outbox.addEntry(QStringLiteral("IMAGE"), uid);
    emit showOutbox();
}

void ScheduledSender::queueStudy(const QString &studyUid)
{
    m_outbox.addEntry(QStringLiteral("STUDY"), studyUid);
    emit showOutbox();
}

} // namespace pacs
