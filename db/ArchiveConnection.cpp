#include "db/ArchiveConnection.h"

#include "core/EventYield.h"

#include "core/ActivityLog.h"
#include "core/HomeFolder.h"
#include "db/SqlText.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace pacs::db {

ArchiveConnection::ArchiveConnection(const HomeFolder &home, ActivityLog &log, QObject *parent)
    : QObject(parent), m_home(home), m_log(log)
{
    m_retryTimer.setInterval(DefaultRetryIntervalMs);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        if (!m_connected)
            ConnectDB();
    });
}

ArchiveConnection::~ArchiveConnection() = default;

bool ArchiveConnection::ReadConnectionString(QString &error)
{
    const QString file = HomeFolder::connectionFileName(m_driverMode);
    if (file.isEmpty()) {
        error = QStringLiteral("Driver mode %1 selects no connection file.").arg(m_driverMode);
        return false;
    }
    QString line;
    if (!m_home.readFirstLine(file, line, error))
        return false;
    m_connectionString = line;
    return true;
}

void ArchiveConnection::ConnectDB()
{
    QString error;
    if (!ReadConnectionString(error)) {
        m_log.ReportError(error, false);
        return;
    }
    m_log.writeLogDirect(QStringLiteral("Connecting to DB..."));
    QCoreApplication::processEvents();
    m_connected = false;

    // An open transaction does not survive the connection: all it did is gone,
    // so its commit must fail rather than keep the statements after this.
    m_transactionFailed = m_transactionFailed || m_inTransaction;
    if (m_backend)
        m_backend->close();
    const ConnectionString connection(m_connectionString);
    m_backend = DbBackend::create(connection, error);
    if (!m_backend || !m_backend->open(connection, m_home.path(), error)) {
        m_backend.reset();
        m_log.ReportError(error, false);
        return;
    }
    m_connected = true;

    QString rest = m_connectionString;
    NextToken(rest, QStringLiteral(";"));
    m_log.writeLogDirect(QStringLiteral("Connected to DB. ") + NextToken(rest, QStringLiteral(";")));

    if (!m_backend->execute(QStringLiteral("USE DICOM"), error)) {
        m_log.ReportError(error, false);
        return;
    }
    emit connected();
}

void ArchiveConnection::ConnectAndWait()
{
    ConnectDB();
    m_retryTimer.start();
    while (!m_connected)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    m_retryTimer.stop();
}

void ArchiveConnection::reconnect()
{
    if (m_backend)
        m_backend->close();
    ConnectDB();
}

ResultSet ArchiveConnection::ExecuteSQL(const QString &statement)
{
    bool failed = false;
    return ExecuteSQL(statement, failed);
}

ResultSet ArchiveConnection::ExecuteSQL(const QString &statement, bool &failed)
{
    if (statement.isEmpty()) {
        m_log.ReportError(QStringLiteral("No query."), false);
        return ResultSet();
    }
    QString error;
    if (auto cursor = attempt(statement, error)) {
        failed = false;
        return ResultSet(cursor);
    }
    if (m_inTransaction) {
        failInTransaction(error, statement, failed);
        return ResultSet();
    }
    m_lastError = error;
    m_log.ReportError(QStringLiteral("db execute ") + error + QLatin1Char(' ') + statement, false);
    reconnect();
    return ExecuteOnce(statement, failed);
}

std::shared_ptr<DbCursor> ArchiveConnection::attempt(const QString &statement, QString &error)
{
    if (m_inTransaction && m_transactionFailed) {
        error = QStringLiteral("Skipped: the transaction has already failed.");
        return nullptr;
    }
    if (!m_backend || !m_backend->isOpen()) {
        error = QStringLiteral("Not connected to the database.");
        return nullptr;
    }
    return m_backend->execute(statement, error);
}

ResultSet ArchiveConnection::ExecuteOnce(const QString &statement, bool &failed)
{
    QString error;
    if (auto cursor = attempt(statement, error)) {
        failed = false;
        return ResultSet(cursor);
    }
    if (m_inTransaction) {
        failInTransaction(error, statement, failed);
        return ResultSet();
    }
    m_lastError = error;
    m_log.ReportError(error + QLatin1Char(' ') + statement, false);
    failed = true;
    return ResultSet();
}

bool ArchiveConnection::executeQuiet(const QString &statement, QString &error)
{
    auto cursor = attempt(statement, error);
    if (!cursor)
        return false;
    cursor->close();
    return true;
}

bool ArchiveConnection::openForUpdate(const QString &selectStatement, UpdatableRow &row)
{
    QString error;
    if (m_inTransaction && m_transactionFailed)
        return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (m_backend && m_backend->isOpen() && m_backend->fetchForUpdate(selectStatement, row, error))
            return true;
        if (!m_backend || !m_backend->isOpen())
            error = QStringLiteral("Not connected to the database.");
        if (attempt == 0 && m_inTransaction) {
            bool failed = false;
            failInTransaction(error, selectStatement, failed);
            return false;
        }
        if (attempt == 0) {
            m_log.ReportError(QStringLiteral("db execute ") + error + QLatin1Char(' ') + selectStatement, false);
            reconnect();
        }
    }
    m_lastError = error;
    m_log.ReportError(error + QLatin1Char(' ') + selectStatement, false);
    return false;
}

bool ArchiveConnection::saveRow(UpdatableRow &row)
{
    QString error;
    if (m_inTransaction && m_transactionFailed)
        return false;
    if (m_backend && m_backend->isOpen() && m_backend->saveRow(row, error))
        return true;
    if (!m_backend || !m_backend->isOpen())
        error = QStringLiteral("Not connected to the database.");
    m_transactionFailed = m_inTransaction;
    m_lastError = error;
    m_log.ReportError(QStringLiteral("Cannot save the row of ") + row.table + QStringLiteral(": ") + error, false);
    return false;
}

bool ArchiveConnection::failInTransaction(const QString &error, const QString &statement, bool &failed)
{
    failed = true;
    m_lastError = error;
    if (!m_transactionFailed) // the first failure is the one worth reading
        m_log.ReportError(QStringLiteral("db execute ") + error + QLatin1Char(' ') + statement, false);
    m_transactionFailed = true;
    return false;
}

void ArchiveConnection::setCommitsFlushedByCaller(bool on)
{
    if (m_backend && m_backend->isOpen())
        m_backend->setCommitsFlushedByCaller(on);
}

QStringList ArchiveConnection::commitFlushFiles() const
{
    return m_backend && m_backend->isOpen() ? m_backend->commitFlushFiles() : QStringList();
}

bool ArchiveConnection::BeginTrans()
{
    QString error;
    if (m_inTransaction)
        error = QStringLiteral("A transaction is already open.");
    else if (!m_backend || !m_backend->isOpen())
        error = QStringLiteral("Not connected to the database.");
    else if (m_backend->beginTransaction(error)) {
        m_inTransaction = true;
        m_transactionFailed = false;
        m_noYield = std::make_unique<NoYieldScope>();
        return true;
    }
    m_log.ReportError(QStringLiteral("Cannot begin a transaction: ") + error, false);
    return false;
}

bool ArchiveConnection::CommitTrans()
{
    if (!m_inTransaction)
        return false;
    if (m_transactionFailed) {
        RollbackTrans();
        return false;
    }
    QString error;
    const bool committed = m_backend && m_backend->commitTransaction(error);
    if (!committed) {
        m_log.ReportError(QStringLiteral("Cannot commit the transaction: ") + error, false);
        RollbackTrans();
        return false;
    }
    m_inTransaction = false;
    m_noYield.reset();
    return true;
}

void ArchiveConnection::RollbackTrans()
{
    if (!m_inTransaction)
        return;
    QString error;
    if (m_backend && !m_backend->rollbackTransaction(error)) {
        // A connection that cannot roll back is not to be trusted with the next statement.
        m_log.ReportError(QStringLiteral("Cannot roll back the transaction: ") + error, false);
        m_backend->close();
    }
    m_inTransaction = false;
    m_transactionFailed = false;
    m_noYield.reset();
}

} // namespace pacs::db
