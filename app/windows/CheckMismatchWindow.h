#pragma once

#include "tools/NameConsistencyCheck.h"

#include <QWidget>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace pacs {

class ServerController;

// "Check Mismatched names": the folder to check (the storage root at first),
// "Read Names", "Stop", "Transmit not found" and the report. Not modal;
// closing it only hides it, so a check that runs goes on to its end.
class CheckMismatchWindow : public QWidget
{
    Q_OBJECT
public:
    explicit CheckMismatchWindow(ServerController &controller, QWidget *parent = nullptr);

    tools::NameConsistencyCheck &check() { return m_check; }

private:
    tools::NameConsistencyCheck m_check;
    QLineEdit *m_checkDir;
    QPushButton *m_read;
    QPushButton *m_stop;
    QCheckBox *m_transmitNotFound;
    QPlainTextEdit *m_report;
};

} // namespace pacs
