#include "app/shell/ConsolePrompter.h"

#include <QString>

namespace pacs {

ConsolePrompter::ConsolePrompter(bool answerYes, std::FILE *questions, std::FILE *notices)
    : m_answerYes(answerYes), m_questions(questions), m_notices(notices)
{
}

bool ConsolePrompter::askYesNo(const QString &text)
{
    const QString line = text + (m_answerYes ? QStringLiteral(" Yes\n") : QStringLiteral(" No (give --yes to answer Yes)\n"));
    std::fputs(line.toLocal8Bit().constData(), m_questions);
    std::fflush(m_questions);
    return m_answerYes;
}

void ConsolePrompter::inform(const QString &text)
{
    std::fputs((text + QLatin1Char('\n')).toLocal8Bit().constData(), m_notices);
    std::fflush(m_notices);
}

} // namespace pacs
