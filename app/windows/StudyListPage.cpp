#include "app/windows/StudyListPage.h"

#include "app/windows/GridBackgroundProxy.h"
#include "browser/GridModel.h"
#include "browser/StudyListSearch.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QVBoxLayout>

namespace pacs {

using browser::GridModel;
using browser::StudyListSearch;

namespace {

QLineEdit *textBox(const char *name, const QString &caption, QGridLayout *layout, int row, int column, QWidget *parent)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    auto *label = new QLabel(caption, parent);
    label->setBuddy(edit);
    layout->addWidget(label, row, column);
    layout->addWidget(edit, row, column + 1);
    return edit;
}

template<typename T> T *named(T *widget, const char *name)
{
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

} // namespace

StudyListPage::StudyListPage(StudyListSearch &search, QWidget *parent) : QWidget(parent), m_search(search)
{
    auto *filters = new QGridLayout;
    m_hospNum = textBox("txtHospNum", tr("&Patient ID:"), filters, 0, 0, this);
    m_lastName = textBox("txtLastname", tr("&Last Name:"), filters, 1, 0, this);
    m_firstName = textBox("txtFirstName", tr("&First Name:"), filters, 2, 0, this);
    m_accessionNumber = textBox("txtAccessionNumber", tr("Accession / &Req #:"), filters, 0, 2, this);
    m_fileNum = textBox("txtFileNum", tr("&File / Study Num:"), filters, 1, 2, this);

    auto *modalities = new QHBoxLayout;
    static const char *const names[7] = {"chkCR", "chkCT", "chkMR", "chkUS", "chkNM", "chkXC", "chkMG"};
    static const char *const captions[7] = {"&CR", "C&T", "&MR", "&US", "&NM", "&XC", "M&G"};
    for (int i = 0; i < 7; ++i) {
        m_modality[i] = named(new QCheckBox(QString::fromLatin1(captions[i]), this), names[i]);
        modalities->addWidget(m_modality[i]);
    }
    auto *otherLabel = new QLabel(tr("Other:"), this);
    m_otherModality = named(new QLineEdit(this), "txtOtherModality");
    m_otherModality->setMaximumWidth(60);
    otherLabel->setBuddy(m_otherModality);
    modalities->addWidget(otherLabel);
    modalities->addWidget(m_otherModality);
    modalities->addStretch();
    filters->addLayout(modalities, 3, 0, 1, 4);

    auto *dates = new QHBoxLayout;
    m_all = named(new QRadioButton(tr("&All Dates"), this), "optAll");
    m_specified = named(new QRadioButton(tr("Sp&ecified Date:"), this), "optSpecified");
    m_all->setChecked(true);
    m_start = named(new QDateEdit(QDate::currentDate(), this), "dtPickerStart");
    m_range = named(new QCheckBox(tr("Range to:"), this), "chkRange");
    m_end = named(new QDateEdit(QDate::currentDate(), this), "dtPicker");
    for (QDateEdit *picker : {m_start, m_end}) {
        picker->setCalendarPopup(true);
        picker->setDisplayFormat(QStringLiteral("M/d/yyyy"));
    }
    m_end->setEnabled(false);
    connect(m_range, &QCheckBox::toggled, m_end, &QWidget::setEnabled);
    m_pendingResult = named(new QCheckBox(tr("Pending Result"), this), "chkPendingResult");
    m_noResult = named(new QCheckBox(tr("Pending Interpretation"), this), "chkNoResult");
    for (QWidget *w : std::initializer_list<QWidget *>{m_all, m_specified, m_start, m_range, m_end, m_pendingResult, m_noResult})
        dates->addWidget(w);
    dates->addStretch();
    filters->addLayout(dates, 4, 0, 1, 4);

    auto *buttons = m_commandRow = new QHBoxLayout;
    m_filter = named(new QPushButton(tr("&Search"), this), "btnFilter");
    m_cancel = named(new QPushButton(tr("Cancel"), this), "btnCancel");
    m_stop = named(new QPushButton(tr("Stop"), this), "cmdStop");
    m_stop->setProperty("index", 0); // the first of the two Stop buttons
    m_stop->setVisible(false);
    m_count = named(new QLabel(this), "lblCount");
    m_progress = named(new QProgressBar(this), "ProgressBar1");
    m_progress->setRange(0, 1000); // the list holds at most a thousand rows
    m_progress->setVisible(false);
    buttons->addWidget(m_filter);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_stop);
    buttons->addWidget(m_count);
    buttons->addWidget(m_progress, 1);
    filters->addLayout(buttons, 5, 0, 1, 4);

    auto *legend = named(new QGroupBox(tr("Status Legend"), this), "fraLegend");
    auto *legendLines = new QVBoxLayout(legend);
    for (const char *line : {"P=Printed", "X=VOID", "Q=QA Passed", "O=Reported", "R=Read"})
        legendLines->addWidget(new QLabel(QString::fromLatin1(line), legend));

    m_proxy = new GridBackgroundProxy(this);
    m_proxy->setSourceModel(&m_search.grid());
    m_grid = named(new QTableView(this), "fgridPacs");
    m_grid->setModel(m_proxy);
    m_grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_grid->setSelectionMode(QAbstractItemView::ContiguousSelection);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setSortingEnabled(false); // the header click sorts through the logic
    m_grid->horizontalHeader()->setSectionsClickable(true);
    m_grid->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_grid->verticalHeader()->setVisible(false);

    auto *top = new QHBoxLayout;
    top->addLayout(filters, 1);
    top->addWidget(legend, 0, Qt::AlignTop);
    auto *page = new QVBoxLayout(this);
    page->addLayout(top);
    page->addWidget(m_grid, 1);

    connect(m_filter, &QPushButton::clicked, this, &StudyListPage::searchClicked);
    connect(m_stop, &QPushButton::clicked, this, [this] { m_search.stop(); });
    connect(m_grid->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { m_search.SortStudyGridByHeader(column); });
    connect(m_grid, &QTableView::doubleClicked, this,
            [this](const QModelIndex &index) { m_search.openStudy(index.row() + 1); });
    connect(m_grid->selectionModel(), &QItemSelectionModel::selectionChanged, this, &StudyListPage::syncSelectionToGrid);
    connect(m_grid->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &StudyListPage::syncSelectionToGrid);
    connect(&m_search.grid(), &GridModel::currentRowChanged, this, &StudyListPage::syncGridToSelection);
    connect(&m_search.grid(), &GridModel::widthsChanged, this, &StudyListPage::applyWidths);
    connect(&m_search.grid(), &QAbstractItemModel::rowsInserted, this,
            [this] { m_progress->setValue(std::min(m_search.grid().rows() - 1, m_progress->maximum())); });
    connect(&m_search, &StudyListSearch::stateChanged, this, &StudyListPage::applyState);
    connect(&m_search, &StudyListSearch::topRowRequested, this, [this](int row) {
        m_grid->scrollTo(m_proxy->index(row - 1, 0), QAbstractItemView::PositionAtTop);
    });
    applyWidths();
    applyState();
}

StudyListPage::~StudyListPage()
{
    if (m_cursorSet)
        QApplication::restoreOverrideCursor();
}

browser::StudyFilter StudyListPage::readFilter() const
{
    browser::StudyFilter f;
    f.hospNum = m_hospNum->text();
    f.lastName = m_lastName->text();
    f.firstName = m_firstName->text();
    f.accessionNumber = m_accessionNumber->text();
    f.fileNum = m_fileNum->text();
    bool *checks[7] = {&f.cr, &f.ct, &f.mr, &f.us, &f.nm, &f.xc, &f.mg};
    for (int i = 0; i < 7; ++i)
        *checks[i] = m_modality[i]->isChecked();
    f.otherModality = m_otherModality->text();
    f.allDates = m_all->isChecked();
    f.startDate = m_start->date();
    f.range = m_range->isChecked();
    f.endDate = m_end->date();
    f.pendingResult = m_pendingResult->isChecked();
    f.noResult = m_noResult->isChecked();
    return f;
}

void StudyListPage::searchClicked()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_search.stop();
    m_search.setFilter(readFilter());
    m_search.Search_Exam(false);
    QApplication::restoreOverrideCursor();
}

void StudyListPage::applyState()
{
    m_stop->setVisible(m_search.stopVisible());
    m_filter->setEnabled(m_search.searchEnabled());
    m_cancel->setEnabled(m_search.searchEnabled());
    m_grid->setVisible(m_search.gridVisible());
    m_grid->setEnabled(m_search.gridEnabled());
    if (m_search.progressVisible() && !m_progress->isVisibleTo(this))
        m_progress->setValue(0);
    m_progress->setVisible(m_search.progressVisible());
    m_count->setText(m_search.countText());
    if (m_search.busy() != m_cursorSet) {
        m_cursorSet = m_search.busy();
        if (m_cursorSet)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    }
}

void StudyListPage::applyWidths()
{
    const GridModel &grid = m_search.grid();
    for (int c = 0; c < grid.cols(); ++c) {
        const int twips = grid.columnWidth(c);
        m_grid->setColumnHidden(c, twips == 0);
        if (twips > 0)
            m_grid->setColumnWidth(c, twips / GridModel::TwipsPerPixel);
        else if (twips == GridModel::DefaultWidth)
            m_grid->setColumnWidth(c, m_grid->horizontalHeader()->defaultSectionSize());
    }
}

// The view's current row and selection into the grid's row and rowSel.
void StudyListPage::syncSelectionToGrid()
{
    if (m_syncing)
        return;
    m_syncing = true;
    GridModel &grid = m_search.grid();
    const QModelIndex current = m_grid->selectionModel()->currentIndex();
    const int row = current.isValid() ? current.row() + 1 : 0;
    grid.setRow(row);
    int far = row;
    for (const QModelIndex &selected : m_grid->selectionModel()->selectedRows()) {
        const int r = selected.row() + 1;
        if (std::abs(r - row) > std::abs(far - row))
            far = r;
    }
    grid.setRowSel(far);
    m_syncing = false;
}

// The grid's current row (set by the logic) into the view.
void StudyListPage::syncGridToSelection(int row)
{
    if (m_syncing)
        return;
    m_syncing = true;
    if (row > 0) {
        const QModelIndex at = m_proxy->index(row - 1, 0);
        m_grid->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    } else {
        m_grid->selectionModel()->clearSelection();
    }
    m_syncing = false;
}

} // namespace pacs
