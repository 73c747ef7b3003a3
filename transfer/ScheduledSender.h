#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

namespace pacs {

class ActivityLog;
class Outbox;
namespace db {
class ArchiveConnection;
}

// The main window's scheduled forwarding: every 30 seconds, while "Echo
// Server" is checked, every image not yet sent to the storage node is queued
// in the outbox. The outbox holds this timer while it works.
class ScheduledSender : public QObject
{
    Q_OBJECT
public:
    static constexpr int TickMs = 30000;

    ScheduledSender(db::ArchiveConnection &connection, ActivityLog &log, Outbox &outbox, QObject *parent = nullptr);

    // The "Echo Server" check box.
    void setCheckBox(std::function<bool()> checked) { m_checked = std::move(checked); }
    void setTickInterval(int ms) { m_timer.setInterval(ms); }
    QTimer &timer() { return m_timer; }

    void EnableTimerSend(); // on when the box is checked, off otherwise
    void disableTimerSend();
    void tick();
    // "IMAGE" entry for one instance, then the outbox is shown.
    void QueueImage(const QString &uid);
    void queueStudy(const QString &studyUid);

signals:
    void showOutbox();

private:
    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    Outbox &m_outbox;
    std::function<bool()> m_checked;
    QTimer m_timer;
};

} // namespace pacs
