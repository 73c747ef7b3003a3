#pragma once

#include "tools/FolderTransmit.h"

#include <QWidget>

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace pacs {

class ServerController;

// "Folder Transmit": the folder, the extension and "Transmit", with the
// progress below. A failed run says why in a message box. Not modal;
// closing it only hides it.
class FolderTransmitWindow : public QWidget
{
    Q_OBJECT
public:
    explicit FolderTransmitWindow(ServerController &controller, QWidget *parent = nullptr);

    tools::FolderTransmit &transmit() { return m_transmit; }

private:
    ServerController &m_controller;
    tools::FolderTransmit m_transmit;
    QLineEdit *m_dir;
    QLineEdit *m_ext;
    QPushButton *m_import;
    QPlainTextEdit *m_progress;
};

} // namespace pacs
