#pragma once

#include <QString>

namespace pacs {

// The questions and notices the program puts to the operator. The window
// build shows message boxes; the service build answers from a fixed table.
class Prompter
{
public:
    virtual ~Prompter() = default;
    // A question with Yes and No buttons; true for Yes.
    virtual bool askYesNo(const QString &text) = 0;
    // A notice with an OK button.
    virtual void inform(const QString &text) = 0;
};

} // namespace pacs
