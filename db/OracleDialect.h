#pragma once

#include <QString>

namespace pacs {
class ActivityLog;
class Prompter;
}

namespace pacs::db {

// Rewrites a statement into the Oracle dialect in driver mode 1; unchanged in
// mode 0; empty (which the statement routine rejects) in any other mode.
// The rewrite is shown in the log, and a statement with TOP also to the operator.
QString ToDialect(const QString &statement, int driverMode, ActivityLog &log, Prompter &prompter);

// The rewrite alone, without log or message.
QString oracleRewrite(const QString &statement, bool *hadTop = nullptr);

} // namespace pacs::db
