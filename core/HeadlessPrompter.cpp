#include "core/HeadlessPrompter.h"

#include "core/ActivityLog.h"

namespace pacs {

HeadlessPrompter::HeadlessPrompter(ActivityLog &log) : m_log(log)
{
}

bool HeadlessPrompter::askYesNo(const QString &text)
{
    bool yes = false;
    if (text.startsWith(QLatin1String("Database needs to be updated"))
        || text.startsWith(QLatin1String("Your database will be updated")))
        yes = true;
    else if (text == QLatin1String("Load Configuration"))
        // Yes re-runs the schema check; a second Yes in a row would only loop
        // on a database that cannot be read.
        yes = m_lastQuestion != text;
    m_lastQuestion = text;
    m_log.writeLogDirect(QStringLiteral("Question: ") + text + QStringLiteral(" Answer: ")
                         + (yes ? QStringLiteral("Yes") : QStringLiteral("No")));
    return yes;
}

void HeadlessPrompter::inform(const QString &text)
{
    m_lastQuestion.clear();
    m_log.writeLogDirect(QStringLiteral("Message: ") + text);
}

} // namespace pacs
