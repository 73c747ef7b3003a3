#pragma once

#include "core/Prompter.h"

#include <cstdio>

namespace pacs {

// The questions of an operator command run from a terminal: each gets the
// answer its command line gave (--yes, or No), and both are printed, as are
// the notices a window would show in a message box.
class ConsolePrompter : public Prompter
{
public:
    ConsolePrompter(bool answerYes, std::FILE *questions = stdout, std::FILE *notices = stderr);

    bool askYesNo(const QString &text) override;
    void inform(const QString &text) override;

private:
    bool m_answerYes;
    std::FILE *m_questions;
    std::FILE *m_notices;
};

} // namespace pacs
