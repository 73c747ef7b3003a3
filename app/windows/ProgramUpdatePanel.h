#pragma once

#include "tools/ProgramUpdate.h"

#include <QWidget>

class QFrame;
class QPushButton;

namespace pacs {

class ServerController;

// "Program Update" on the "Settings" page, with the "please wait" frame it
// shows while the new program downloads. The work is tools::ProgramUpdate's.
class ProgramUpdatePanel : public QWidget
{
    Q_OBJECT
public:
    explicit ProgramUpdatePanel(ServerController &controller, QWidget *parent = nullptr);
    ~ProgramUpdatePanel() override;

    tools::ProgramUpdate &update() { return m_update; }

private:
    void runUpdate();
    void setBusy(bool busy);

    ServerController &m_controller;
    tools::ProgramUpdate m_update;
    QPushButton *m_button = nullptr;
    QFrame *m_wait = nullptr;
    bool m_cursorShown = false;
};

} // namespace pacs
