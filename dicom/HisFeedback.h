#pragma once

#include "core/ServerOptions.h"

#include <QString>
#include <memory>

namespace pacs {

class ActivityLog;
class HomeFolder;
class Prompter;
namespace db {
class DbBackend;
}
namespace toolkit {
class ToolkitImage;
}

// The site profile's link to the hospital information system: a second
// database connection, opened at start-up (and again when the operator
// chooses another profile) from the profile's connection file, over which a
// stored image marks its HIS order as done.
class HisFeedback
{
public:
    HisFeedback(const HomeFolder &home, ActivityLog &log, ServerOptions &options);
    ~HisFeedback();

    // LoadCustomDB: reads the profile's connection file and connects.
    void LoadCustomDB(Prompter *prompter);
    void ReconnectCustomDb();
    // After every stored image: the profile's feedback statement.
    void NotifyHisOrder(const toolkit::ToolkitImage &image);

    const QString &customDbName() const { return m_customDbName; }
    const QString &connectionString() const { return m_connectionString; }
    bool isConnected() const;

    // The catalog item of an ORVIK connection string (its fifth item).
    static QString catalogName(const QString &connectionString);

private:
    const HomeFolder &m_home;
    ActivityLog &m_log;
    ServerOptions &m_options;
    std::unique_ptr<db::DbBackend> m_connection;
    QString m_connectionString;
    QString m_customDbName;
};

} // namespace pacs
