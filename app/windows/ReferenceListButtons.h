#pragma once

#include <QWidget>

namespace pacs {

class ServerController;

// "Doctors", "PACS Patients" and "HIS Patients": each opens its reference
// list through the host framework over the window the buttons sit in.
class ReferenceListButtons : public QWidget
{
    Q_OBJECT
public:
    explicit ReferenceListButtons(ServerController &controller, QWidget *parent = nullptr);
};

} // namespace pacs
