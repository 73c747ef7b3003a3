#pragma once

#include "browser/StudyFilter.h"

#include <QWidget>

class QCheckBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QHBoxLayout;
class QTableView;

namespace pacs {

namespace browser {
class StudyListSearch;
}
class GridBackgroundProxy;

// "Browse &Data": the filter panel, the status legend and the study grid over
// the study list logic. The page only shows what the logic says and hands
// the operator's clicks to it.
class StudyListPage : public QWidget
{
    Q_OBJECT
public:
    explicit StudyListPage(browser::StudyListSearch &search, QWidget *parent = nullptr);
    ~StudyListPage() override;

    // The panel's values as the search reads them.
    browser::StudyFilter readFilter() const;

    QTableView *grid() const { return m_grid; }
    // The row of the search buttons, for the commands over the listed studies.
    QHBoxLayout *commandRow() const { return m_commandRow; }

private:
    void searchClicked();
    void applyState();
    void applyWidths();
    void syncSelectionToGrid();
    void syncGridToSelection(int row);

    browser::StudyListSearch &m_search;
    QLineEdit *m_hospNum;
    QLineEdit *m_lastName;
    QLineEdit *m_firstName;
    QLineEdit *m_accessionNumber;
    QLineEdit *m_fileNum;
    QCheckBox *m_modality[7];
    QLineEdit *m_otherModality;
    QRadioButton *m_all;
    QRadioButton *m_specified;
    QDateEdit *m_start;
    QCheckBox *m_range;
    QDateEdit *m_end;
    QCheckBox *m_pendingResult;
    QCheckBox *m_noResult;
    QPushButton *m_filter;
    QPushButton *m_cancel;
    QPushButton *m_stop;
    QLabel *m_count;
    QProgressBar *m_progress;
    QTableView *m_grid;
    QHBoxLayout *m_commandRow = nullptr;
    GridBackgroundProxy *m_proxy;
    bool m_cursorSet = false;
    bool m_syncing = false;
};

} // namespace pacs
