#include "app/windows/HostWindows.h"

#include "app/shell/ServerController.h"
#include "app/windows/BrowseWindow.h"
#include "core/Prompter.h"
#include "tools/HostFramework.h"
#include "tools/HostProgram.h"
#include "tools/RemoteAets.h"

#include <QApplication>
#include <QBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

namespace pacs {

HostWindows::HostWindows(ServerController &controller, QWidget *mainWindow)
    : QObject(mainWindow), m_controller(controller), m_mainWindow(mainWindow)
{
    tools::HostFramework &host = controller.host();
    connect(&host, &tools::HostFramework::browseRequested, this, &HostWindows::openBrowseWindow);
    host.module().setWindowCloser([this] { closeAllWindows(); });
}

HostWindows::~HostWindows()
{
    m_controller.host().module().setWindowCloser({});
}

void HostWindows::openBrowseWindow(const tools::BrowseSettings &settings)
{
    tools::HostFramework &host = m_controller.host();
    auto *parent = qobject_cast<QWidget *>(settings.parentWindow.data());
    const int size = host.program() ? host.program()->db().windowSize(settings.table + QStringLiteral(" List")) : 0;
    auto *window = new BrowseWindow(host.createModel(settings), m_controller.prompter(), size, parent ? parent : m_mainWindow);
    m_windows << window;
    window->show();
    window->load();
}

QList<BrowseWindow *> HostWindows::browseWindows() const
{
    QList<BrowseWindow *> open;
    for (const QPointer<BrowseWindow> &w : m_windows)
        if (w)
            open << w.data();
    return open;
}

// Last loaded first: the list windows, then the other windows, then the
// main window, whose closing ends the program.
void HostWindows::closeAllWindows()
{
    const QList<BrowseWindow *> lists = browseWindows();
    for (auto it = lists.crbegin(); it != lists.crend(); ++it)
        (*it)->close();
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w != m_mainWindow && w->isVisible())
            w->close();
    if (m_mainWindow)
        m_mainWindow->close();
}

void HostWindows::tell(ServerController &controller, QWidget *parent, const QString &text)
{
    if (controller.prompter())
        controller.prompter()->inform(text);
    else
        QMessageBox::information(parent, QString(), text, QMessageBox::Ok);
}

bool HostWindows::showRemoteAets(ServerController &controller, QWidget *dialog)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QString error;
    const bool shown = tools::RemoteAets(controller.host()).cmdRemoteAET(dialog, error);
    QApplication::restoreOverrideCursor();
    if (!shown)
        tell(controller, dialog, error);
    return shown;
}

} // namespace pacs

namespace pacs {

void HostWindows::addMaintenanceButtons(ServerController &controller, QBoxLayout *layout, QWidget *page)
{
    const struct
    {
        const char *caption, *name;
        bool (*command)(ServerController &, QString &);
    } buttons[] = {
        {"INIT VORN", "cmdInitVorn", [](ServerController &c, QString &e) { return c.host().cmdInitVorn(e); }},
        {"Default List Views", "cmdDefaultListViews",
         [](ServerController &c, QString &e) { return c.host().cmdDefaultListViews(QString(), e); }},
    };
    for (const auto &b : buttons) {
        auto *button = new QPushButton(QLatin1String(b.caption), page);
        button->setObjectName(QLatin1String(b.name));
        layout->addWidget(button, 0, Qt::AlignLeft);
        QObject::connect(button, &QPushButton::clicked, page, [&controller, page, command = b.command] {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            QString error;
            const bool done = command(controller, error);
            QApplication::restoreOverrideCursor();
            if (!done)
                tell(controller, page, error);
        });
    }
}

} // namespace pacs
