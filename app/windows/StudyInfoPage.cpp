#include "app/windows/StudyInfoPage.h"

#include "app/windows/DicomViewerWidget.h"
#include "browser/GridModel.h"
#include "browser/StudyInfo.h"

#include <QDesktopServices>
#include <QDir>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QSplitter>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

namespace pacs {

using browser::GridModel;
using browser::StudyInfoFields;

namespace {
QLineEdit *uidEdit(StudyInfoFields::Field field)
{
    auto *edit = new QLineEdit;
    edit->setObjectName(StudyInfoFields::controlName(field));
    return edit;
}
} // namespace

StudyInfoPage::StudyInfoPage(browser::StudyInfo &logic, QWidget *parent) : QWidget(parent), m_logic(logic)
{
    setObjectName(QStringLiteral("StudyInfoPage"));
    StudyInfoFields &fields = m_logic.fields();
    for (int f = 0; f < StudyInfoFields::FieldCount; ++f) {
        const auto field = StudyInfoFields::Field(f);
        QLineEdit *edit = uidEdit(field);
        edit->setText(fields.value(field));
        connect(edit, &QLineEdit::textEdited, this, [&fields, field](const QString &text) { fields.setValue(field, text); });
        m_fieldEdits[f] = edit;
    }
    connect(&fields, &StudyInfoFields::fieldChanged, this, [this](StudyInfoFields::Field field, const QString &text) {
        if (field >= 0 && field < StudyInfoFields::FieldCount && m_fieldEdits[field]->text() != text)
            m_fieldEdits[field]->setText(text);
    });

    auto *searchSeries = new QPushButton(QStringLiteral("Search"));
    searchSeries->setObjectName(QStringLiteral("cmdSearchSeries"));
    connect(searchSeries, &QPushButton::clicked, this, [this] { m_logic.LoadSeriesList(); });
    auto *loadImages = new QPushButton(QStringLiteral("Search"));
    loadImages->setObjectName(QStringLiteral("cmdLoadImages"));
    connect(loadImages, &QPushButton::clicked, this, [this] { m_logic.LoadImageList(); });

    auto *studyRow = new QHBoxLayout;
    studyRow->addWidget(new QLabel(QStringLiteral("Study UID")));
    studyRow->addWidget(m_fieldEdits[StudyInfoFields::StudyUid], 1);
    studyRow->addWidget(searchSeries);
    auto *seriesRow = new QHBoxLayout;
    seriesRow->addWidget(new QLabel(QStringLiteral("Series UID")));
    seriesRow->addWidget(m_fieldEdits[StudyInfoFields::SeriesUid], 1);
    seriesRow->addWidget(loadImages);

    m_seriesView = makeGrid(QStringLiteral("GridSeries"), m_logic.seriesGrid(), &StudyInfoPage::seriesClicked);
    m_imageView = makeGrid(QStringLiteral("GridImages"), m_logic.imageGrid(), &StudyInfoPage::imagesClicked);

    auto *identifiers = new QFormLayout;
    const std::pair<StudyInfoFields::Field, const char *> labelled[] = {
        {StudyInfoFields::InstanceUid, "Instance UID"},
        {StudyInfoFields::ImageSeriesUid, "Image Series UID"},
        {StudyInfoFields::SeriesStudyUid, "Series Study UID"},
        {StudyInfoFields::SeriesUidToUpdate, "Series UID to update"},
        {StudyInfoFields::UpdatesSeriesUid, "Updates Series UID"},
        {StudyInfoFields::UpdateStudyUid, "Update Study UID"},
        {StudyInfoFields::NewPatientIdForStudy, "New Patient ID for Study"},
    };
    for (const auto &[field, label] : labelled)
        identifiers->addRow(QString::fromLatin1(label), m_fieldEdits[field]);

    auto *left = new QWidget;
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->addLayout(studyRow);
    leftLayout->addWidget(m_seriesView, 1);
    leftLayout->addLayout(seriesRow);
    leftLayout->addWidget(m_imageView, 2);
    leftLayout->addLayout(identifiers);

    m_viewer = new DicomViewerWidget(m_logic.viewerImages());
    m_viewer->setObjectName(QStringLiteral("DicomViewer1"));
    connect(&m_logic, &browser::StudyInfo::viewerImagesChanged, m_viewer, &DicomViewerWidget::refresh);

    m_attributes = new QPlainTextEdit;
    m_attributes->setObjectName(QStringLiteral("AttributeList"));
    m_attributes->setReadOnly(true);
    m_attributes->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_attributes->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto showAttributes = [this](const QString &text) {
        QString shown = text;
        m_attributes->setPlainText(shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    };
    showAttributes(m_logic.attributeList());
    connect(&m_logic, &browser::StudyInfo::attributeListChanged, this, showAttributes);

    auto *openFolder = new QPushButton(QStringLiteral("Open Containing Folder"));
    openFolder->setObjectName(QStringLiteral("cmdOpenContainingFolder"));
    connect(openFolder, &QPushButton::clicked, this, &StudyInfoPage::openContainingFolder);
    m_commandRow = new QHBoxLayout;
    m_commandRow->addWidget(openFolder);
    m_commandRow->addStretch(1);

    auto *right = new QSplitter(Qt::Vertical);
    right->addWidget(m_viewer);
    right->addWidget(m_attributes);
    auto *rightBox = new QWidget;
    auto *rightLayout = new QVBoxLayout(rightBox);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->addWidget(right, 1);
    rightLayout->addLayout(m_commandRow);

    auto *split = new QSplitter(Qt::Horizontal);
    split->addWidget(left);
    split->addWidget(rightBox);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(split);
}

QTableView *StudyInfoPage::makeGrid(const QString &name, GridModel &grid, void (StudyInfoPage::*clicked)())
{
    auto *view = new QTableView;
    view->setObjectName(name);
    view->setModel(&grid);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    auto applyWidths = [view, &grid] {
        for (int c = 0; c < grid.cols(); ++c) {
            const int twips = grid.columnWidth(c);
            if (twips == 0)
                view->setColumnHidden(c, true);
            else if (twips > 0)
                view->setColumnWidth(c, twips / GridModel::TwipsPerPixel);
        }
    };
    applyWidths();
    connect(&grid, &GridModel::widthsChanged, view, applyWidths);
    // The logic reads the grid's row; the view shows it.
    connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this, &grid](const QModelIndex &current) {
                if (m_syncingRow || !current.isValid())
                    return;
                QScopedValueRollback guard(m_syncingRow, true);
                grid.setRow(current.row() + 1);
            });
    connect(&grid, &GridModel::currentRowChanged, view, [this, view, &grid](int row) {
        if (m_syncingRow)
            return;
        QScopedValueRollback guard(m_syncingRow, true);
        if (row > 0)
            view->setCurrentIndex(grid.index(row - 1, 0));
        else
            view->clearSelection();
    });
    connect(view, &QTableView::clicked, this, [this, &grid, clicked](const QModelIndex &index) {
        if (!index.isValid())
            return;
        grid.setRow(index.row() + 1);
        (this->*clicked)();
    });
    return view;
}

void StudyInfoPage::seriesClicked() { m_logic.ShowSeriesRow(); }

void StudyInfoPage::imagesClicked() { m_logic.ShowImageRow(); }

void StudyInfoPage::openContainingFolder()
{
    if (!m_logic.imageChosen())
        return;
    // A name without a folder opens the file manager where it starts by itself.
    const QString folder = m_logic.containingFolder();
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder.isEmpty() ? QDir::homePath() : folder));
}

} // namespace pacs
