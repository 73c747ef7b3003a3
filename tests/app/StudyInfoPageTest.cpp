#include "app/windows/DicomViewerWidget.h"
#include "app/windows/StudyInfoPage.h"
#include "browser/StudyInfo.h"
#include "dicom/toolkit/ToolkitImageList.h"
#include "tests/db/ArchiveFixture.h"
#include "tests/support/SampleImages.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::browser;
using namespace pacs::test;

TEST_F(ArchiveFixture, StudyInfoPageShowsTheChosenSeriesAndImageInItsControls)
{
    const QString root = scratch.path("store/");
    const QString file = root + "IMAGES/2024/CT/1_15_2024/P001/a.dcm";
    QDir().mkpath(QFileInfo(file).path());
    SampleSpec spec;
    const QString shown = writeSample(file, spec);
    ASSERT_FALSE(shown.isEmpty());
    for (const QString &sql : {QString("INSERT INTO SeriesTable (SeriesUID, StudyUID_FKey) VALUES ('9.1', '9.0')"),
                               QString("INSERT INTO ImageTable (InstanceUID, SeriesUID_FKey, Filename) VALUES ('" + shown
                                       + "', '9.1', '" + file + "')"),
                               QString("INSERT INTO ImageTable (InstanceUID, SeriesUID_FKey, Filename) VALUES ('9.3', '9.1', 'gone.dcm')")})
        connection.ExecuteSQL(sql);

    StudyInfoFields fields;
    toolkit::ToolkitImageList images;
    bool searching = false;
    StudyInfo info(connection, log, fields, images, [&] { return root; }, searching);
    StudyInfoPage page(info);
    page.resize(1200, 800);
    page.show();

    // Every identifier box but the study lookup's, which is on "Add/Update Data".
    for (int f = 0; f < StudyInfoFields::FieldCount; ++f)
        EXPECT_EQ(page.findChild<QLineEdit *>(StudyInfoFields::controlName(StudyInfoFields::Field(f))) != nullptr,
                  f != StudyInfoFields::UpdateStudyUid)
            << f;
    auto *studyUid = page.findChild<QLineEdit *>("txtStudyUID");
    auto *search = page.findChild<QPushButton *>("cmdSearchSeries");
    auto *seriesView = page.findChild<QTableView *>("GridSeries");
    auto *imageView = page.findChild<QTableView *>("GridImages");
    auto *viewer = page.findChild<DicomViewerWidget *>("DicomViewer1");
    auto *attributes = page.findChild<QPlainTextEdit *>("AttributeList");
    ASSERT_TRUE(studyUid && search && seriesView && imageView && viewer && attributes);
    EXPECT_NE(page.findChild<QPushButton *>("cmdLoadImages"), nullptr);
    EXPECT_EQ(page.findChild<QPushButton *>("cmdOpenContainingFolder")->text(), "Open Containing Folder");
    EXPECT_NE(page.commandRow(), nullptr);

    // Typing goes to the fields; the search fills the grids and the boxes.
    studyUid->setText("9.0");
    emit studyUid->textEdited("9.0");
    EXPECT_EQ(fields.value(StudyInfoFields::StudyUid), "9.0");
    search->click();
    EXPECT_EQ(seriesView->model()->rowCount(), 1);
    EXPECT_EQ(seriesView->model()->headerData(0, Qt::Horizontal).toString(), "SeriesUID");
    EXPECT_EQ(seriesView->columnWidth(0), 2500 / GridModel::TwipsPerPixel);
    EXPECT_EQ(seriesView->currentIndex().row(), 0);
    EXPECT_EQ(page.findChild<QLineEdit *>("txtSeriesUID")->text(), "9.1");
    ASSERT_EQ(imageView->model()->rowCount(), 2);
    EXPECT_EQ(page.findChild<QLineEdit *>("txtInstanceUID")->text(), shown);
    EXPECT_FALSE(viewer->frame().isNull());
    EXPECT_TRUE(attributes->toPlainText().contains("(0008,0018) : SOPInstanceUID                : " + shown + "\n"));

    // Choosing the second image, whose file is missing: the viewer and the listing empty.
    const QModelIndex second = imageView->model()->index(1, 0);
    imageView->setCurrentIndex(second);
    EXPECT_EQ(info.imageGrid().row(), 2);
    emit imageView->clicked(second);
    EXPECT_EQ(page.findChild<QLineEdit *>("txtInstanceUID")->text(), "9.3");
    EXPECT_EQ(page.findChild<QLineEdit *>("txtImageSeriesUID")->text(), "9.1");
    EXPECT_TRUE(viewer->frame().isNull());
    EXPECT_EQ(attributes->toPlainText(), "");

    // A series click loads its images again and shows the first.
    emit seriesView->clicked(seriesView->model()->index(0, 0));
    EXPECT_EQ(imageView->currentIndex().row(), 0);
    EXPECT_FALSE(viewer->frame().isNull());
}
