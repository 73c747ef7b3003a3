#include "browser/GridModel.h"

#include <algorithm>

namespace pacs::browser {

GridModel::GridModel(int columns, QObject *parent) : QAbstractTableModel(parent)
{
    reset(columns);
}

void GridModel::reset(int columns)
{
    beginResetModel();
    if (columns != m_columns) {
        m_columns = std::max(0, columns);
        m_captions = QStringList(QList<QString>(m_columns));
        m_widths = QList<int>(m_columns, DefaultWidth);
    }
    m_rows.clear();
    m_row = 0;
    m_rowSel = 0;
    endResetModel();
    emit widthsChanged();
    emit currentRowChanged(0);
}

void GridModel::addRow(const QString &tabText)
{
    addRowCells(tabText.split(QLatin1Char('\t')));
}

void GridModel::addRowCells(const QStringList &cells)
{
    Row row;
    row.cells = cells.mid(0, m_columns);
    while (row.cells.size() < m_columns)
        row.cells.append(QString());
    const int at = int(m_rows.size());
    beginInsertRows(QModelIndex(), at, at);
    m_rows.append(std::move(row));
    endInsertRows();
}

QString GridModel::cell(int row, int column) const
{
    if (column < 0 || column >= m_columns)
        return QString();
    if (row == 0)
        return m_captions[column];
    if (row < 1 || row > m_rows.size())
        return QString();
    return m_rows[row - 1].cells[column];
}

void GridModel::setCell(int row, int column, const QString &text)
{
    if (column < 0 || column >= m_columns)
        return;
    if (row == 0) {
        m_captions[column] = text;
        emit headerDataChanged(Qt::Horizontal, column, column);
        return;
    }
    if (row < 1 || row > m_rows.size())
        return;
    m_rows[row - 1].cells[column] = text;
    const QModelIndex at = index(row - 1, column);
    emit dataChanged(at, at, {Qt::DisplayRole});
}

int GridModel::columnWidth(int column) const
{
    return column >= 0 && column < m_columns ? m_widths[column] : DefaultWidth;
}

void GridModel::setColumnWidth(int column, int twips)
{
    if (column < 0 || column >= m_columns)
        return;
    m_widths[column] = twips;
    emit widthsChanged();
}

int GridModel::cellBackground(int row, int column) const
{
    if (row < 1 || row > m_rows.size())
        return -1;
    return m_rows[row - 1].backgrounds.value(column, -1);
}

void GridModel::setCellBackground(int row, int column, int rgb)
{
    if (row < 1 || row > m_rows.size() || column < 0 || column >= m_columns)
        return;
    m_rows[row - 1].backgrounds[column] = rgb;
    const QModelIndex at = index(row - 1, column);
    emit dataChanged(at, at, {BackgroundRgbRole});
}

void GridModel::setRow(int row)
{
    m_row = std::clamp(row, 0, rows() - 1);
    m_rowSel = m_row;
    emit currentRowChanged(m_row);
}

void GridModel::setRowSel(int rowSel)
{
    m_rowSel = std::clamp(rowSel, 0, rows() - 1);
}

namespace {
// Numbers before text, numbers by value, text without regard to case.
int compareGeneric(const QString &a, const QString &b)
{
    bool aNumber = false;
    bool bNumber = false;
    const double x = a.trimmed().toDouble(&aNumber);
    const double y = b.trimmed().toDouble(&bNumber);
    if (aNumber && bNumber)
        return x < y ? -1 : (x > y ? 1 : 0);
    if (aNumber != bNumber)
        return aNumber ? -1 : 1;
    return a.compare(b, Qt::CaseInsensitive);
}
} // namespace

void GridModel::sortRows(SortMode mode)
{
    if (m_col < 0 || m_col >= m_columns)
        return;
    const int column = m_col;
    emit layoutAboutToBeChanged();
    std::stable_sort(m_rows.begin(), m_rows.end(), [&](const Row &l, const Row &r) {
        const int c = compareGeneric(l.cells[column], r.cells[column]);
        return mode == SortGenericDescending ? c > 0 : c < 0;
    });
    emit layoutChanged();
}

int GridModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int GridModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_columns;
}

QVariant GridModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size() || index.column() >= m_columns)
        return QVariant();
    const Row &row = m_rows[index.row()];
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return row.cells[index.column()];
    if (role == BackgroundRgbRole) {
        const int rgb = row.backgrounds.value(index.column(), -1);
        return rgb < 0 ? QVariant() : QVariant(rgb);
    }
    return QVariant();
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < m_columns)
        return m_captions[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

} // namespace pacs::browser
