#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QStringList>

namespace pacs::browser {

// The rows of one of the browser's grids, as a table model.
//
// The grids are addressed the way the program's routines read them: row 0 is
// the header row, data rows count from 1, and rows() counts the header too.
// The Qt side sees only the data rows (index row r is grid row r + 1) and the
// header captions as horizontal header data. Widths are kept in twips as the
// routines set them; a width of 0 hides the column.
class GridModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    static constexpr int TwipsPerPixel = 15; // on a 96 dpi screen
    static constexpr int DefaultWidth = -1;   // the view's own default width
    // A cell's background as 0xRRGGBB (colours are Qt Gui's; the windows map this role to a brush).
    static constexpr int BackgroundRgbRole = Qt::UserRole + 1;

    explicit GridModel(int columns = 0, QObject *parent = nullptr);

    // Grid addressing (row 0 = header row).
    int rows() const { return int(m_rows.size()) + 1; }
    int cols() const { return m_columns; }
    // Keeps the header row only, with this many columns (captions and widths kept when the count stays).
    void reset(int columns);
    // Adds a data row from tab-separated text; cells beyond the columns are dropped.
    void addRow(const QString &tabText);
    void addRowCells(const QStringList &cells);
    QString cell(int row, int column) const; // row 0 gives the caption
    void setCell(int row, int column, const QString &text);
    QString caption(int column) const { return cell(0, column); }
    void setCaption(int column, const QString &caption) { setCell(0, column, caption); }
    int columnWidth(int column) const;
    void setColumnWidth(int column, int twips);
    // 0xRRGGBB or -1 (none).
    int cellBackground(int row, int column) const;
    void setCellBackground(int row, int column, int rgb);

    // The current row and the far end of the selection (grid rows; 0 = none).
    int row() const { return m_row; }
    int rowSel() const { return m_rowSel; }
    void setRow(int row);          // also collapses the selection onto it
    void setRowSel(int rowSel);
    int col() const { return m_col; }
    void setCol(int column) { m_col = column; }

    // Generic sort of the data rows on the current column: numbers as
    // numbers, other text without regard to case.
    enum SortMode { SortGenericAscending = 1, SortGenericDescending = 2 };
    void sortRows(SortMode mode);

    // QAbstractTableModel
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    void currentRowChanged(int row);
    void widthsChanged();

private:
    int m_columns = 0;
    QStringList m_captions;
    QList<int> m_widths;
    struct Row
    {
        QStringList cells;
        QHash<int, int> backgrounds; // column -> rgb; travels with the row when sorted
    };
    QList<Row> m_rows;
    int m_row = 0;
    int m_rowSel = 0;
    int m_col = 0;
};

} // namespace pacs::browser
