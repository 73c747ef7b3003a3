#pragma once

#include "core/Prompter.h"

#include <QHash>

namespace pacs {

class ActivityLog;

// Answers the program's questions without a window, as a service must: each
// question gets its documented answer and both go to the activity log.
//   "Database needs to be updated, do you wish to update?"      -> Yes
//   "Your database will be updated. ... Continue?"              -> Yes
//   "Load Configuration"                                        -> Yes once in a row, then No
//   anything else                                               -> No
class HeadlessPrompter : public Prompter
{
public:
    explicit HeadlessPrompter(ActivityLog &log);

    bool askYesNo(const QString &text) override;
    void inform(const QString &text) override;

private:
    ActivityLog &m_log;
    QString m_lastQuestion;
};

} // namespace pacs
