#include "app/windows/ReferenceListButtons.h"

#include "app/shell/ServerController.h"
#include "app/windows/HostWindows.h"
#include "tools/ReferenceLists.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPushButton>

namespace pacs {

ReferenceListButtons::ReferenceListButtons(ServerController &controller, QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("fraReferenceLists"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    using List = tools::ReferenceLists::List;
    const struct
    {
        const char *caption, *name;
        List list;
    } buttons[] = {
        {"Doctors", "cmdDoctors", List::Doctors},
        {"PACS Patients", "cmdPatients", List::PacsPatients},
        {"HIS Patients", "cmdHISPatients", List::HisPatients},
    };
    for (const auto &b : buttons) {
        auto *button = new QPushButton(QLatin1String(b.caption), this);
        button->setObjectName(QLatin1String(b.name));
        layout->addWidget(button);
        connect(button, &QPushButton::clicked, this, [this, &controller, list = b.list] {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            QString error;
            const bool opened = tools::ReferenceLists(controller.host()).open(list, window(), error);
            QApplication::restoreOverrideCursor();
            if (!opened)
                HostWindows::tell(controller, this, error);
        });
    }
    layout->addStretch();
}

} // namespace pacs
