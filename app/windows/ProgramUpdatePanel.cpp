#include "app/windows/ProgramUpdatePanel.h"

#include "app/shell/ServerController.h"
#include "app/windows/MessageBoxPrompter.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace pacs {

ProgramUpdatePanel::ProgramUpdatePanel(ServerController &controller, QWidget *parent)
    : QWidget(parent), m_controller(controller), m_update(controller.settings(), controller.log())
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_button = new QPushButton(QStringLiteral("Program Update"), this);
    m_button->setObjectName(QStringLiteral("cmdDLLUpdate"));
    m_wait = new QFrame(this);
    m_wait->setObjectName(QStringLiteral("fraPlsWait"));
    m_wait->setFrameShape(QFrame::Box);
    auto *waitLayout = new QHBoxLayout(m_wait);
    waitLayout->addWidget(new QLabel(QStringLiteral("Please wait..."), m_wait));
    m_wait->setVisible(false);
    layout->addWidget(m_button);
    layout->addWidget(m_wait);
    layout->addStretch();

    connect(m_button, &QPushButton::clicked, this, &ProgramUpdatePanel::runUpdate);
    connect(&m_update, &tools::ProgramUpdate::busyChanged, this, &ProgramUpdatePanel::setBusy);
}

ProgramUpdatePanel::~ProgramUpdatePanel()
{
    setBusy(false);
}

void ProgramUpdatePanel::setBusy(bool busy)
{
    m_wait->setVisible(busy);
    if (busy && !m_cursorShown)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else if (!busy && m_cursorShown)
        QApplication::restoreOverrideCursor();
    m_cursorShown = busy;
}

void ProgramUpdatePanel::runUpdate()
{
    if (m_update.isRunning())
        return;
    MessageBoxPrompter boxes(window());
    Prompter &prompter = m_controller.prompter() ? *m_controller.prompter() : boxes;
    // The new program starts as this one was started.
    m_update.setRestartArguments(QCoreApplication::arguments().mid(1));
    m_button->setEnabled(false);
    const tools::ProgramUpdate::Outcome outcome = m_update.run(prompter);
    m_button->setEnabled(true);
    if (outcome == tools::ProgramUpdate::Outcome::Restarted)
        QCoreApplication::quit();
}

} // namespace pacs
