#pragma once

class QWidget;

namespace pacs {

class ServerController;

// The main window's "Check Mismatch" and "Folder Transmit" buttons, put on a
// page of tool buttons. Each opens its window (not modal), made on the first
// click and shown again after it was closed.
void addFolderToolButtons(QWidget *page, ServerController &controller);

} // namespace pacs
