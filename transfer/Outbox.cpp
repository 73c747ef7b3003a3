#include "transfer/Outbox.h"

#include "core/ActivityLog.h"
#include "core/ServerOptions.h"
#include "core/TextValues.h"
#include "db/ArchiveConnection.h"
#include "db/SqlText.h"
#include "dicom/toolkit/ToolkitConnection.h"

#include <QCoreApplication>
#include <QDateTime>

namespace pacs {

using toolkit::ToolkitConnection;

namespace {
const QString kTabBlank = QStringLiteral("\t ");

QString rowLevel(const QString &row)
{
    return row.section(QLatin1Char('\t'), 0, 0);
}

QString rowUid(const QString &row)
{
    return row.section(QLatin1Char('\t'), 1).trimmed();
}
} // namespace

Outbox::Outbox(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options, QObject *parent)
    : QObject(parent), m_connection(connection), m_log(log), m_options(options), m_listener(this)
{
    m_timer.setInterval(TickMs);
    connect(&m_timer, &QTimer::timeout, this, &Outbox::tick);
    m_clearLogTimer.setInterval(60000);
    connect(&m_clearLogTimer, &QTimer::timeout, this, &Outbox::trimLogs);
}

Outbox::~Outbox()
{
    m_listener.setEvents(nullptr);
    if (m_outgoing)
        m_outgoing->abortConnection();
}

void Outbox::load()
{
    if (m_loaded)
        return;
    m_loaded = true;
    m_status = QStringLiteral("Initialize.");
    ClearOut();
    QCoreApplication::processEvents();
    SetDestination();
    m_timer.start();
    m_clearLogTimer.start();
    emit changed();
}

void Outbox::close()
{
    m_timer.stop();
    m_clearLogTimer.stop();
    m_rows.clear();
    m_listed.clear();
    m_held.clear();
    m_loaded = false;
    if (m_enableScheduled)
        m_enableScheduled();
    emit changed();
}

void Outbox::addEntry(const QString &level, const QString &uid)
{
    if (!m_loaded)
        load();
    if (uid.trimmed().isEmpty() || m_listed.contains(uid.trimmed()))
        return;
    m_listed.insert(uid.trimmed());
    m_rows << level + kTabBlank + uid;
    emit changed();
}

bool Outbox::contains(const QString &uid) const
{
    return m_listed.contains(uid);
}

void Outbox::cancelRow(int row)
{
    if (row < 0 || row >= m_rows.size())
        return;
    const QString uid = rowUid(m_rows[row]);
    m_held.removeAll(uid);
    m_listed.remove(uid);
    m_rows.removeAt(row);
    emit changed();
}

void Outbox::operatorReset()
{
    m_held.clear();
    ResetAll();
}

void Outbox::NewOutgoing()
{
    if (m_outgoing)
        m_outgoing->abortConnection();
    m_outgoing = m_listener.newConnection(QStringLiteral("DicomConnection"));
    m_outgoing->setConnectionSetting(0);
    emit changed();
}

void Outbox::SetDestination()
{
    if (m_destinationSet)
        return;
    m_destinationText = QStringLiteral("Setting Destination.");
    emit changed();
    // Before the first association object exists the request goes nowhere;
    // the wait counter renews the association later.
    if (!m_outgoing)
        return;
    m_outgoing->connectTo(m_address ? m_address().trimmed() : QString(), roundedValue(m_options.storagePort()),
                          m_options.aeName(), m_options.storageAE());
}

void Outbox::DestinationSetComplete()
{
    m_destinationSet = true;
    m_status = QStringLiteral("Destination Set.");
    emit changed();
}

void Outbox::SendImages()
{
    m_status = QStringLiteral("SENDING");
    emit changed();
    if (!SendStoredImages(m_level, m_uid))
        ResetAll();
}

bool Outbox::SendStoredImages(const QString &level, const QString &uid)
{
    if (uid.isEmpty())
        return false;
    QString statement;
    if (level == QLatin1String("STUDY")) {
        myAddlog(QStringLiteral("Sending Study .") + uid);
        statement = QStringLiteral("SELECT Filename,InstanceUID FROM ImageRetrievalView ") + QStringLiteral(" WHERE StudyUID='")
                    + db::Quote(uid) + QStringLiteral("'")
                    + QStringLiteral(" ORDER BY studydate,studyuid,CAST(SeriesNumber AS int), CAST(InstanceNumber AS int)");
    } else if (level == QLatin1String("IMAGE")) {
        statement = QStringLiteral("SELECT Filename,InstanceUID FROM ImageRetrievalView ") + QStringLiteral(" WHERE InstanceUID='")
                    + db::Quote(uid) + QStringLiteral("'");
    }
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(statement, failed);
    if (rows.isNone()) {
        m_log.ReportError(QStringLiteral("The images of ") + level + QLatin1Char(' ') + uid + QStringLiteral(" could not be listed."), false);
        return false;
    }
    QStringList files{QString()};
    m_images.clear();
    for (; !rows.atEnd() && files.size() <= 999; rows.moveNext()) {
        files << db::OnServerDrive(rows.text(0), m_options.storageRoot());
        m_images << rows.text(1);
    }
    rows.close();
    if (numericValue(m_options.jpegQuality()) > 0)
        m_outgoing->setCompression(QStringLiteral("1.2.840.10008.1.2.4.91"), m_options.jpegQuality());
    m_outgoing->sendFilesAsync(files);
    emit changed();
    return true;
}

void Outbox::SendDone()
{
    if (m_level == QLatin1String("STUDY"))
        m_connection.ExecuteSQL(QStringLiteral("update DICOM..StudyTABLE set SendStatus='1' where StudyUID='") + db::Quote(m_uid)
                                + QStringLiteral("'"));
    for (const QString &image : m_images)
        m_connection.ExecuteSQL(QStringLiteral("update DICOM..ImageTABLE set SyncStatus='1' where InstanceUID='") + db::Quote(image)
                                + QStringLiteral("'"));
    m_refusals.remove(m_uid);
    for (int i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].section(QLatin1Char('\t'), 1) == QLatin1Char(' ') + m_uid) {
            m_completedText.prepend(m_uid + QStringLiteral("\r\n"));
            m_rows.removeAt(i);
            m_listed.remove(m_uid);
            break;
        }
    }
    emit changed();
}

void Outbox::Completed()
{
    ClearOut();
    m_status = QStringLiteral("READY");
    emit changed();
}

void Outbox::ResetAll()
{
    ClearOut();
    if (m_outgoing) {
        m_outgoing->resetConnection(0, 0);
        m_outgoing->abortConnection();
    }
    m_destinationSet = false;
    NewOutgoing();
    m_status = QStringLiteral("Initialize.");
    emit changed();
}

void Outbox::ClearOut()
{
    m_images.clear();
    m_level.clear();
    m_uid.clear();
    m_connectionText.clear();
    m_destinationText = QStringLiteral("...");
    emit changed();
}

void Outbox::SetConnectionOK(bool ok)
{
    m_connectionText = ok ? QStringLiteral("Connection OK.") : QStringLiteral("Connection Fail.");
    m_connectionIndicator = ok ? Indicator::ConnectionOk : Indicator::ConnectionFail;
    emit changed();
}

void Outbox::myAddlog(const QString &text)
{
    const QString line = generalDateTime(QDateTime::currentDateTime()) + QLatin1Char(' ') + text;
    m_logText = line + QStringLiteral("\r\n") + m_logText.left(10000);
    m_log.WriteLog(QStringLiteral("Outbox: ") + text);
    emit changed();
    QCoreApplication::processEvents();
}

void Outbox::trimLogs()
{
    if (m_completedText.size() > 5000)
        m_completedText.truncate(3000);
    if (m_logText.size() > 5000)
        m_logText.truncate(3000);
    emit changed();
}

int Outbox::nextRow() const
{
    for (int i = 0; i < m_rows.size(); ++i)
        if (!m_held.contains(rowUid(m_rows[i])))
            return i;
    return -1;
}

void Outbox::tick()
{
    const int row = nextRow();
    if (row < 0) { // empty, or only entries the node keeps refusing
        if (m_enableScheduled)
            m_enableScheduled();
        return;
    }
    if (m_disableScheduled)
        m_disableScheduled();
    if (!m_outgoing || !m_outgoing->connectionReady()) {
        m_readyIndicator = Indicator::NotReady;
        emit changed();
        return;
    }
    m_readyIndicator = Indicator::Ready;
    if (m_sendingNow)
        return;
    if (m_destinationText == QLatin1String("..."))
        SetDestination();
    if (m_destinationSet) {
        m_waitCounter = 0;
        m_sendingNow = true;
        // The entry to send goes first, so that row 0 is the one in flight.
        if (row > 0)
            m_rows.move(row, 0);
        m_level = rowLevel(m_rows[0]);
        m_uid = rowUid(m_rows[0]);
        SendImages();
        m_sendingNow = false;
        m_destinationSet = false;
        m_connectionText.clear();
        m_destinationText = QStringLiteral("...");
    } else if (++m_waitCounter > WaitTicks) {
        NewOutgoing();
        ClearOut();
        m_waitCounter = 0;
    }
    emit changed();
}

// The node refused images of the entry: nothing is marked sent and the entry
// is sent again; one refused over and over is held and reported instead of
// looping silently for ever.
void Outbox::sendRefused(int failed)
{
    const int times = ++m_refusals[m_uid];
    if (times < MaxRefusals)
        return;
    m_refusals.remove(m_uid);
    m_held << m_uid;
    m_log.ReportError(QStringLiteral("The storage node refused %1 image(s) of %2 %3 in %4 attempts; the entry is held in the outbox.")
                          .arg(failed)
                          .arg(m_level, m_uid)
                          .arg(MaxRefusals),
                      true);
}

void Outbox::outgoingActionComplete(ToolkitConnection &connection, const QString &action, const QString &, bool success,
                                    const QString &errorMessage)
{
    if (!isCurrent(connection))
        return; // a connection the outbox has already given up
    myAddlog(QStringLiteral("Outging1 Action Complete:") + action);
    if (!success) {
        myAddlog(QStringLiteral("Err. on ") + action + QStringLiteral(": ") + errorMessage);
        ResetAll();
        if (action == QLatin1String("SetDestination"))
            m_destinationSet = false;
        if (action == QLatin1String("Sendverify"))
            SetConnectionOK(false);
        connection.closeAssociation();
        return;
    }
    if (action == QLatin1String("SetDestination")) {
        DestinationSetComplete();
    } else if (action == QLatin1String("SendImages")) {
        const int failed = connection.actionResultCode();
        if (failed == 0)
            SendDone();
        else
            sendRefused(failed);
        Completed();
        myAddlog(QStringLiteral("Send Completed: ") + QString::number(connection.completedCount()));
        // The next entry gets an association of its own; this one is not
        // left open to hold one of the node's association slots.
        connection.closeAssociation();
    } else if (action == QLatin1String("Sendverify")) {
        SetConnectionOK(true);
    } else if (action == QLatin1String("Close")) {
        ClearOut();
    }
}

void Outbox::outgoingActionUpdate(ToolkitConnection &connection, const QString &action, const QString &, int, int)
{
    if (isCurrent(connection))
        myAddlog(QStringLiteral("Outging1 Action Update:") + action);
}

void Outbox::outgoingAssociationClosed(ToolkitConnection &connection)
{
    if (isCurrent(connection))
        myAddlog(QStringLiteral("Asso. Closed:"));
}

void Outbox::connectionError(ToolkitConnection &, const QString &errorMessage)
{
    myAddlog(errorMessage); // also for a connection already given up: the reason still counts
}

} // namespace pacs
