#pragma once

#include "db/DbBackend.h"
#include "db/ResultSet.h"
#include "db/UpdatableRow.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

namespace pacs {
class ActivityLog;
class HomeFolder;
class NoYieldScope;
}

namespace pacs::db {

// The program-wide connection to the archive database and the one statement
// routine every statement goes through. A failing statement is reported, the
// connection is reopened and the statement is tried once more. The
// connection string is the first line of DBServer.txt (DBServer1.txt in
// driver mode 1), read again at every attempt so an edited file takes effect.
class ArchiveConnection : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultRetryIntervalMs = 60000;

    ArchiveConnection(const HomeFolder &home, ActivityLog &log, QObject *parent = nullptr);
    ~ArchiveConnection() override;

    int driverMode() const { return m_driverMode; }
    void setDriverMode(int mode) { m_driverMode = mode; }

    bool DBConnected() const { return m_connected; }
    const QString &connectionString() const { return m_connectionString; }

    bool ReadConnectionString(QString &error);
    void ConnectDB();
    // Returns once connected, retrying on tmrConnectDB meanwhile.
    void ConnectAndWait();
    void reconnect();
    // The start-up retry interval; shortened only by tests.
    void setRetryIntervalMs(int ms) { m_retryTimer.setInterval(ms); }
    QTimer &retryTimer() { return m_retryTimer; }

    // The statement routine: on failure one report, a reconnect and one retry.
    ResultSet ExecuteSQL(const QString &statement, bool &failed);
    ResultSet ExecuteSQL(const QString &statement);
    // One attempt; failure reported and flagged.
    ResultSet ExecuteOnce(const QString &statement, bool &failed);
    // One attempt, nothing reported: the caller decides what a failure means.
    bool executeQuiet(const QString &statement, QString &error);

    // A row of a table opened for editing; failures reported like statements.
    bool openForUpdate(const QString &selectStatement, UpdatableRow &row);
    bool saveRow(UpdatableRow &row);

    // Several statements that must all happen or none. Inside a transaction a
    // failing statement is reported but not retried (a reconnect would drop
    // what the transaction already did and run the rest on its own), and no
    // other handler runs in between. Prefer ArchiveTransaction, which rolls
    // back whatever is left open.
    bool BeginTrans();
    // False, with everything undone, when a statement inside failed or the commit did.
    bool CommitTrans();
    void RollbackTrans();
    bool inTransaction() const { return m_inTransaction; }

    // While on, commits leave their flush to the caller, who makes the files
    // of commitFlushFiles() durable before calling the change stored (see
    // CommitsFlushedByCaller). A reconnect starts with durable commits again.
    void setCommitsFlushedByCaller(bool on);
    QStringList commitFlushFiles() const;

    // The description of the last failure of a statement or row, for callers
    // that pass it on (a message box, another log).
    const QString &lastError() const { return m_lastError; }

signals:
    void connected();

private:
    // One try on the open connection; null with a description otherwise.
    std::shared_ptr<DbCursor> attempt(const QString &statement, QString &error);

    // A statement failed inside the open transaction: it can only be rolled back.
    bool failInTransaction(const QString &error, const QString &statement, bool &failed);

    bool m_inTransaction = false;
    bool m_transactionFailed = false;
    std::unique_ptr<NoYieldScope> m_noYield;
    const HomeFolder &m_home;
    ActivityLog &m_log;
    std::unique_ptr<DbBackend> m_backend;
    QString m_connectionString;
    QString m_lastError;
    int m_driverMode = 0;
    bool m_connected = false;
    QTimer m_retryTimer;
};

} // namespace pacs::db
