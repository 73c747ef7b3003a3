#include "app/windows/MessageBoxPrompter.h"

#include <QMessageBox>

namespace pacs {

bool MessageBoxPrompter::askYesNo(const QString &text)
{
    return QMessageBox::question(m_parent, QStringLiteral("TALMIR PACS"), text, QMessageBox::Yes | QMessageBox::No)
           == QMessageBox::Yes;
}

void MessageBoxPrompter::inform(const QString &text)
{
    QMessageBox::information(m_parent, QStringLiteral("TALMIR PACS"), text, QMessageBox::Ok);
}

} // namespace pacs
