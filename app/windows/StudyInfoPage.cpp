#include "app/windows/StudyInfoPage.h"

#include "app/windows/DicomViewerWidget.h"
#include "app/windows/FieldEdits.h"
#include "browser/ArchiveDeletion.h"
#include "browser/GridModel.h"
#include "browser/PatientStudyCorrections.h"
#include "browser/SeriesImageCorrections.h"
#include "browser/StudyInfo.h"

#include <QDesktopServices>
#include <QDir>
#include <QFontDatabase>
#include <QGridLayout>
#include <QFormLayout>
#include <QGroupBox>
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

StudyInfoPage::StudyInfoPage(browser::StudyInfo &logic, QWidget *parent) : QWidget(parent), m_logic(logic)
{
    setObjectName(QStringLiteral("StudyInfoPage"));
    StudyInfoFields &fields = m_logic.fields();
    for (int f = 0; f < StudyInfoFields::FieldCount; ++f)
        if (f != StudyInfoFields::UpdateStudyUid) // its box sits on "Add/Update Data"
            m_fieldEdits[f] = makeFieldEdit(fields, StudyInfoFields::Field(f));

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

    // The boxes the correction commands read, each row with room for its command.
    m_identifiers = new QGridLayout;
    const std::pair<StudyInfoFields::Field, const char *> labelled[] = {
        {StudyInfoFields::SeriesUidToUpdate, "Series UID: (edit below to change)"},
        {StudyInfoFields::UpdatesSeriesUid, "Update Series UID:"},
        {StudyInfoFields::SeriesStudyUid, "StudyUID_fkey:"},
        {StudyInfoFields::InstanceUid, "Instance UID:"},
        {StudyInfoFields::ImageSeriesUid, "Series UID:"},
        {StudyInfoFields::NewPatientIdForStudy, "New pat ID:"},
    };
    for (const auto &[field, label] : labelled) {
        const int row = m_identifiers->rowCount();
        m_identifiers->addWidget(new QLabel(QString::fromLatin1(label)), row, 0);
        m_identifiers->addWidget(m_fieldEdits[field], row, 1);
        m_identifierRows[field] = row;
    }
    m_identifiers->setColumnStretch(1, 1);

    auto *left = new QWidget;
    auto *leftLayout = m_leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->addLayout(studyRow);
    leftLayout->addWidget(m_seriesView, 1);
    leftLayout->addLayout(seriesRow);
    leftLayout->addWidget(m_imageView, 2);
    leftLayout->addLayout(m_identifiers);

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

void StudyInfoPage::addMaintenanceCommands(browser::SeriesImageCorrections &series,
                                           browser::PatientStudyCorrections &patients, browser::ArchiveDeletion &deletion)
{
    auto button = [this](const QString &caption, const QString &name) {
        auto *b = new QPushButton(caption, this);
        b->setObjectName(name);
        return b;
    };
    auto beside = [this](StudyInfoFields::Field field, QPushButton *b) {
        m_identifiers->addWidget(b, m_identifierRows[field], 2);
    };
    QPushButton *updateSeries = button(QStringLiteral("Update Series"), QStringLiteral("cmdUpdateSeries"));
    beside(StudyInfoFields::UpdatesSeriesUid, updateSeries);
    connect(updateSeries, &QPushButton::clicked, this, [&series] { series.cmdUpdateSeries(); });
    QPushButton *moveSeries = button(QStringLiteral("Update Series"), QStringLiteral("cmdUpdateSeriesStudyUID"));
    beside(StudyInfoFields::SeriesStudyUid, moveSeries);
    connect(moveSeries, &QPushButton::clicked, this, [&series] { series.cmdUpdateSeriesStudyUID(); });
    QPushButton *moveImage = button(QStringLiteral("Update Image"), QStringLiteral("cmdUpdateImageSeriesUID"));
    beside(StudyInfoFields::ImageSeriesUid, moveImage);
    connect(moveImage, &QPushButton::clicked, this, [&series] { series.cmdUpdateImageSeriesUID(); });
    QPushButton *moveStudy = button(QStringLiteral("Update Study"), QStringLiteral("cmdUpdateStudy"));
    beside(StudyInfoFields::NewPatientIdForStudy, moveStudy);
    connect(moveStudy, &QPushButton::clicked, this, [&patients] { patients.cmdUpdateStudy(); });

    QPushButton *editDetails = button(QStringLiteral("Update Image Details"), QStringLiteral("cmdUpdateImgDetails"));
    QPushButton *deleteImage = button(QStringLiteral("Delete Image"), QStringLiteral("cmdDeleteImage"));
    QPushButton *deleteStudy = button(QStringLiteral("Delete Study"), QStringLiteral("cmdDeleteStudy"));
    for (QPushButton *b : {editDetails, deleteImage, deleteStudy})
        m_commandRow->insertWidget(m_commandRow->count() - 1, b); // before the stretch
    connect(editDetails, &QPushButton::clicked, this, [&series] { series.cmdUpdateImgDetails(); });
    connect(deleteImage, &QPushButton::clicked, this, [&deletion] { deletion.cmdDeleteImage(); });
    connect(deleteStudy, &QPushButton::clicked, this, [&deletion] { deletion.cmdDeleteStudy(); });

    // The header edit: six boxes written into the file, a seventh only shown.
    m_imageDetails = new QGroupBox(QStringLiteral("Edit Image Details"), this);
    m_imageDetails->setObjectName(QStringLiteral("fraImgDetails"));
    auto *edits = new FormEdits(m_imageDetails);
    browser::ImageDetailsFields &d = series.imageDetails();
    auto *form = new QFormLayout(m_imageDetails);
    form->addRow(QStringLiteral("Patient Name:"), edits->add(QStringLiteral("txtPatName"), d.patientName));
    form->addRow(QStringLiteral("Patient ID:"), edits->add(QStringLiteral("txtPatID"), d.patientId));
    form->addRow(QStringLiteral("Birth Date:"), edits->add(QStringLiteral("txtPatBdate"), d.birthDate));
    form->addRow(QStringLiteral("Sex:"), edits->add(QStringLiteral("txtSexUpdate"), d.sex));
    form->addRow(QStringLiteral("Study Description:"), edits->add(QStringLiteral("txtStudyDesc"), d.studyDescription));
    form->addRow(QStringLiteral("Accession #:"), edits->add(QStringLiteral("txtAccessionNum"), d.accessionNumber));
    auto *studyDate = new QLineEdit(m_imageDetails);
    studyDate->setObjectName(QStringLiteral("txtStudyDateUpdate"));
    form->addRow(QStringLiteral("Study Date:"), studyDate);
    auto *buttons = new QHBoxLayout;
    QPushButton *update = button(QStringLiteral("Update"), QStringLiteral("cmdUpdateDetails"));
    QPushButton *cancel = button(QStringLiteral("Cancel"), QStringLiteral("cmdCancelUpdate"));
    buttons->addWidget(update);
    buttons->addWidget(cancel);
    form->addRow(buttons);
    m_imageDetails->setVisible(series.imageDetailsVisible());
    m_leftLayout->addWidget(m_imageDetails);
    connect(&series, &browser::SeriesImageCorrections::imageDetailsChanged, edits, &FormEdits::refresh);
    connect(&series, &browser::SeriesImageCorrections::imageDetailsVisibleChanged, m_imageDetails, &QWidget::setVisible);
    connect(update, &QPushButton::clicked, this, [&series] { series.cmdUpdateDetails(); });
    connect(cancel, &QPushButton::clicked, this, [&series] { series.cmdCancelUpdate(); });
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
