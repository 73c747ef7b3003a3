#include "app/windows/GridBackgroundProxy.h"

#include "browser/GridModel.h"

#include <QBrush>
#include <QColor>

namespace pacs {

QVariant GridBackgroundProxy::data(const QModelIndex &index, int role) const
{
    if (role == Qt::BackgroundRole) {
        const QVariant rgb = QIdentityProxyModel::data(index, browser::GridModel::BackgroundRgbRole);
        if (!rgb.isValid())
            return QVariant();
        return QBrush(QColor(QRgb(rgb.toUInt())));
    }
    return QIdentityProxyModel::data(index, role);
}

} // namespace pacs
