#pragma once

#include <QIdentityProxyModel>

namespace pacs {

// Shows a browser grid's cell colours: the grid model keeps them as 0xRRGGBB
// (it has no Qt Gui), the view wants a brush.
class GridBackgroundProxy : public QIdentityProxyModel
{
    Q_OBJECT
public:
    explicit GridBackgroundProxy(QObject *parent = nullptr) : QIdentityProxyModel(parent) {}

    QVariant data(const QModelIndex &index, int role) const override;
};

} // namespace pacs
