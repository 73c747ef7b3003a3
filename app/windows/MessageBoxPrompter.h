#pragma once

#include "core/Prompter.h"

class QWidget;

namespace pacs {

// The program's questions as message boxes over the main window.
class MessageBoxPrompter : public Prompter
{
public:
    explicit MessageBoxPrompter(QWidget *parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget *parent) { m_parent = parent; }

    bool askYesNo(const QString &text) override;
    void inform(const QString &text) override;

private:
    QWidget *m_parent;
};

} // namespace pacs
