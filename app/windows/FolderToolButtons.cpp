#include "app/windows/FolderToolButtons.h"

#include "app/windows/CheckMismatchWindow.h"
#include "app/windows/FolderTransmitWindow.h"

#include <QBoxLayout>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>

#include <memory>

namespace pacs {

namespace {
template <typename Window>
void openWindow(QPointer<Window> &window, QWidget *owner, ServerController &controller)
{
    if (!window)
        window = new Window(controller, owner);
    window->show();
    window->raise();
    window->activateWindow();
}
} // namespace

void addFolderToolButtons(QWidget *page, ServerController &controller)
{
    auto *row = new QHBoxLayout;
    auto *check = new QPushButton(QStringLiteral("Check Mismatch"), page);
    check->setObjectName(QStringLiteral("cmdCheckMismatch"));
    auto *transmit = new QPushButton(QStringLiteral("Folder Transmit"), page);
    transmit->setObjectName(QStringLiteral("cmdFolderTransmit"));
    row->addWidget(check);
    row->addWidget(transmit);
    row->addStretch();
    // Above the page's closing stretch, when it has one.
    auto *layout = qobject_cast<QBoxLayout *>(page->layout());
    if (!layout) {
        layout = new QVBoxLayout(page);
        layout->addStretch();
    }
    const int last = layout->count() - 1;
    const bool endsInStretch = last >= 0 && layout->itemAt(last)->spacerItem();
    layout->insertLayout(endsInStretch ? last : layout->count(), row);

    auto checkWindow = std::make_shared<QPointer<CheckMismatchWindow>>();
    auto transmitWindow = std::make_shared<QPointer<FolderTransmitWindow>>();
    QObject::connect(check, &QPushButton::clicked, page,
                     [checkWindow, page, &controller] { openWindow(*checkWindow, page->window(), controller); });
    QObject::connect(transmit, &QPushButton::clicked, page,
                     [transmitWindow, page, &controller] { openWindow(*transmitWindow, page->window(), controller); });
}

} // namespace pacs
