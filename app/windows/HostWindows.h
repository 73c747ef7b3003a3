#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QBoxLayout;
class QWidget;

namespace pacs {

class BrowseWindow;
class ServerController;
namespace tools {
struct BrowseSettings;
}

// The window side of the host framework: opens a list window whenever the
// framework's newbrowse asks for one, closes the program's windows when the
// module is told to, and shows "Remote AETs" for the settings dialog.
class HostWindows : public QObject
{
    Q_OBJECT
public:
    // Lives as long as the main window (its child).
    HostWindows(ServerController &controller, QWidget *mainWindow);
    ~HostWindows() override;

    // "Remote AETs" over a dialog: the wait cursor meanwhile; a failure in
    // a message box. False when it failed.
    static bool showRemoteAets(ServerController &controller, QWidget *dialog);

    // "INIT VORN" and "Default List Views" of the "Maintenance" page.
    static void addMaintenanceButtons(ServerController &controller, QBoxLayout *layout, QWidget *page);

    // A failure of a command: through the program's prompter, else in a message box.
    static void tell(ServerController &controller, QWidget *parent, const QString &text);

    // The list windows opened so far and still open, oldest first.
    QList<BrowseWindow *> browseWindows() const;

private:
    void openBrowseWindow(const tools::BrowseSettings &settings);
    void closeAllWindows();

    ServerController &m_controller;
    QWidget *m_mainWindow;
    QList<QPointer<BrowseWindow>> m_windows;
};

} // namespace pacs
