#pragma once

#include "dicom/toolkit/ToolkitEvents.h"
#include "dicom/toolkit/ToolkitListener.h"

#include <QHash>
#include <QSet>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

namespace pacs {

class ActivityLog;
class ServerOptions;
namespace db {
class ArchiveConnection;
}
namespace toolkit {
class ToolkitConnection;
}

// The queue of studies and images to send to the storage node, one entry
// after the other, each over an association of its own. A 3-second timer
// walks the queue; the outgoing association's completion events drive each
// entry from the request of a destination to the end of its send, and a
// finished entry marks its rows in the archive as sent. The outbox window
// shows this state; without a window (service mode) it runs the same and its
// log lines also reach the activity log.
class Outbox : public QObject, public toolkit::ToolkitEvents
{
    Q_OBJECT
public:
    static constexpr int TickMs = 3000;
    static constexpr int WaitTicks = 5;    // more ticks than this without a destination renew it
    static constexpr int MaxRefusals = 5;  // sends the node refuses before an entry is held

    enum class Indicator { None, Ready, NotReady, ConnectionOk, ConnectionFail };

    Outbox(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options, QObject *parent = nullptr);
    ~Outbox() override;

    // The storage node's address (the main window's "Send To" text).
    void setAddressSource(std::function<QString()> address) { m_address = std::move(address); }
    // The main window's scheduled sender: re-enabled when the list is empty,
    // held while the outbox works.
    void setScheduledSender(std::function<void()> enable, std::function<void()> disable)
    {
        m_enableScheduled = std::move(enable);
        m_disableScheduled = std::move(disable);
    }
    void setTickInterval(int ms) { m_timer.setInterval(ms); }

    // Window load: initial state, first destination request, timers running.
    void load();
    bool isLoaded() const { return m_loaded; }
    // Closing the window: the list and its timer go; the scheduled sender
    // follows its check box again.
    void close();

    // "LEVEL\t UID" rows, row 0 the next to send.
    const QStringList &outgoingList() const { return m_rows; }
    void addEntry(const QString &level, const QString &uid);
    bool contains(const QString &uid) const;
    void cancelRow(int row); // double click
    // Nothing left to send: the list is empty or holds only refused entries.
    bool isIdle() const { return nextRow() < 0 && m_uid.isEmpty(); }
    int heldCount() const { return int(m_held.size()); }
    void operatorReset();    // "Abort / Reset ": also retries held entries

    void NewOutgoing();
    void SetDestination();
    void DestinationSetComplete();
    void SendImages();
    void SendDone();
    void Completed();
    void ResetAll();
    void ClearOut();
    void SetConnectionOK(bool ok);
    void myAddlog(const QString &text);
    bool SendStoredImages(const QString &level, const QString &uid);
    void tick();
    void trimLogs();

    // What the window shows.
    const QString &status() const { return m_status; }
    const QString &destinationText() const { return m_destinationText; }
    const QString &connectionText() const { return m_connectionText; }
    const QString &currentLevel() const { return m_level; }
    const QString &currentUid() const { return m_uid; }
    const QStringList &images() const { return m_images; }
    int waitCounter() const { return m_waitCounter; }
    bool destinationSet() const { return m_destinationSet; }
    Indicator readyIndicator() const { return m_readyIndicator; }
    Indicator connectionIndicator() const { return m_connectionIndicator; }
    const QString &logText() const { return m_logText; }
    const QString &completedText() const { return m_completedText; }
    toolkit::ToolkitListener &listener() { return m_listener; }
    toolkit::ToolkitConnection *outgoingConnection() const { return m_outgoing.get(); }

    // Events of the outgoing association.
    void outgoingActionComplete(toolkit::ToolkitConnection &connection, const QString &action, const QString &tag,
                                bool success, const QString &errorMessage) override;
    void outgoingActionUpdate(toolkit::ToolkitConnection &connection, const QString &action, const QString &tag,
                              int responseType, int lastResponse) override;
    void outgoingAssociationClosed(toolkit::ToolkitConnection &connection) override;
    void connectionError(toolkit::ToolkitConnection &connection, const QString &errorMessage) override;

signals:
    void changed();
    void wantsToBeShown();

private:
    bool isCurrent(const toolkit::ToolkitConnection &connection) const { return &connection == m_outgoing.get(); }
    int nextRow() const; // first row not held, -1 when none
    void sendRefused(int failed);

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    ServerOptions &m_options;
    toolkit::ToolkitListener m_listener; // the source of outgoing associations
    std::shared_ptr<toolkit::ToolkitConnection> m_outgoing;
    std::function<QString()> m_address;
    std::function<void()> m_enableScheduled;
    std::function<void()> m_disableScheduled;
    QTimer m_timer;
    QTimer m_clearLogTimer;
    bool m_loaded = false;

    QStringList m_rows;
    QString m_level;
    QString m_uid;
    QStringList m_images;
    bool m_destinationSet = false;
    bool m_sendingNow = false;
    int m_waitCounter = 0;
    QString m_status;
    QString m_destinationText = QStringLiteral("...");
    QString m_connectionText = QStringLiteral("Not Connected");
    Indicator m_readyIndicator = Indicator::None;
    Indicator m_connectionIndicator = Indicator::None;
    QString m_logText;
    QString m_completedText;
    QHash<QString, int> m_refusals; // UID -> sends the node refused in a row
    QStringList m_held;             // UIDs not retried until a reset
    QSet<QString> m_listed;         // UIDs in the list, so none is queued twice
};

} // namespace pacs
