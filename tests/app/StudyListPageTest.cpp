#include "app/windows/StudyListPage.h"
#include "browser/GridModel.h"
#include "browser/StudyInfoFields.h"
#include "browser/StudyListSearch.h"
#include "core/ActivityLog.h"
#include "core/HomeFolder.h"
#include "db/ArchiveConnection.h"
#include "db/ArchiveInstaller.h"
#include "tests/support/TestSupport.h"

#include <QBrush>
#include <QCheckBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTimer>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;

TEST(StudyListPage, SearchesThroughItsControlsAndShowsTheGrid)
{
    ScratchHome scratch;
    HomeFolder home(scratch.home());
    ActivityLog log;
    QString error;
    db::ArchiveInstaller installer(home);
    ASSERT_TRUE(installer.install(error)) << error.toStdString();
    db::ArchiveConnection connection(home, log);
    connection.ConnectDB();
    ASSERT_TRUE(connection.DBConnected());
    bool failed = false;
    connection.ExecuteSQL("INSERT INTO PatientTable (PatientID, Name_Last, Name_First) VALUES "
                          "('P1', 'SMITH', 'JOHN'), ('P2', 'JONES', 'BOB')", failed);
    ASSERT_FALSE(failed);
    connection.ExecuteSQL("INSERT INTO StudyTable (StudyUID, PatientID_FKey, StudyDate, StudyTime) VALUES "
                          "('1.1', 'P1', '1/15/2024', '10:30:00'), ('1.2', 'P1', '1/16/2024', '10:30:00'), "
                          "('1.3', 'P2', '1/17/2024', '10:30:00')", failed);
    ASSERT_FALSE(failed);
    connection.ExecuteSQL("INSERT INTO SeriesTable (SeriesUID, StudyUID_FKey, Modality) VALUES "
                          "('1.1.1', '1.1', 'CT'), ('1.2.1', '1.2', 'CR'), ('1.3.1', '1.3', 'CT')", failed);
    ASSERT_FALSE(failed);

    browser::StudyInfoFields fields;
    bool searching = false;
    QTimer timer1;
    browser::StudyListSearch search(connection, log, fields, searching, timer1);
    StudyListPage page(search);
    page.resize(1200, 700);
    page.show();

    auto text = [&](const char *name) { return page.findChild<QLineEdit *>(name); };
    auto check = [&](const char *name) { return page.findChild<QCheckBox *>(name); };
    for (const char *name : {"txtHospNum", "txtLastname", "txtFirstName", "txtAccessionNumber", "txtFileNum", "txtOtherModality"})
        EXPECT_NE(text(name), nullptr) << name;
    QStringList captions;
    for (const char *name : {"chkCR", "chkCT", "chkMR", "chkUS", "chkNM", "chkXC", "chkMG", "chkRange", "chkPendingResult", "chkNoResult"}) {
        ASSERT_NE(check(name), nullptr) << name;
        captions << check(name)->text();
    }
    EXPECT_EQ(captions, (QStringList{"&CR", "C&T", "&MR", "&US", "&NM", "&XC", "M&G", "Range to:", "Pending Result",
                                     "Pending Interpretation"}));
    QStringList labels;
    for (QLabel *label : page.findChildren<QLabel *>())
        if (label->buddy())
            labels << label->text() + "=" + label->buddy()->objectName();
    EXPECT_TRUE(labels.contains("&Patient ID:=txtHospNum"));
    EXPECT_TRUE(labels.contains("Accession / &Req #:=txtAccessionNumber"));
    EXPECT_EQ(page.findChild<QRadioButton *>("optAll")->text(), "&All Dates");
    EXPECT_TRUE(page.findChild<QRadioButton *>("optAll")->isChecked());
    EXPECT_EQ(page.findChild<QRadioButton *>("optSpecified")->text(), "Sp&ecified Date:");
    EXPECT_EQ(page.findChild<QDateEdit *>("dtPickerStart")->date(), QDate::currentDate());
    auto *end = page.findChild<QDateEdit *>("dtPicker");
    EXPECT_FALSE(end->isEnabled());
    check("chkRange")->click();
    EXPECT_TRUE(end->isEnabled());
    check("chkRange")->click();
    EXPECT_FALSE(end->isEnabled());
    auto *legend = page.findChild<QGroupBox *>("fraLegend");
    ASSERT_NE(legend, nullptr);
    EXPECT_EQ(legend->title(), "Status Legend");
    QStringList legendLines;
    for (QLabel *line : legend->findChildren<QLabel *>())
        legendLines << line->text();
    EXPECT_EQ(legendLines, (QStringList{"P=Printed", "X=VOID", "Q=QA Passed", "O=Reported", "R=Read"}));
    auto *filter = page.findChild<QPushButton *>("btnFilter");
    auto *stop = page.findChild<QPushButton *>("cmdStop");
    EXPECT_EQ(filter->text(), "&Search");
    EXPECT_EQ(page.findChild<QPushButton *>("btnCancel")->text(), "Cancel");
    EXPECT_EQ(stop->text(), "Stop");
    EXPECT_FALSE(stop->isVisible());
    auto *progress = page.findChild<QProgressBar *>("ProgressBar1");
    EXPECT_FALSE(progress->isVisible());

    // During the fill Stop and the progress bar show, the grid does not.
    QList<bool> duringFill;
    QObject::connect(&search.grid(), &QAbstractItemModel::rowsInserted, &page, [&] {
        duringFill = {stop->isVisible(), progress->isVisible(), page.grid()->isVisible(), filter->isEnabled()};
    });
    text("txtLastname")->setText("SM");
    check("chkCT")->setChecked(true);
    filter->click();
    EXPECT_EQ(duringFill, (QList<bool>{true, true, false, false}));
    QTableView *grid = page.findChild<QTableView *>("fgridPacs");
    ASSERT_EQ(grid, page.grid());
    EXPECT_EQ(grid->model()->rowCount(), 1);
    EXPECT_EQ(grid->model()->index(0, 3).data().toString(), "1.1");
    EXPECT_EQ(page.findChild<QLabel *>("lblCount")->text(), "1");
    EXPECT_TRUE(grid->isVisible() && grid->isEnabled());
    EXPECT_FALSE(stop->isVisible() || progress->isVisible());
    EXPECT_TRUE(grid->isColumnHidden(3));
    EXPECT_FALSE(grid->isColumnHidden(6));
    EXPECT_EQ(grid->columnWidth(6), 1500 / browser::GridModel::TwipsPerPixel);

    check("chkCT")->setChecked(false);
    filter->click();
    ASSERT_EQ(grid->model()->rowCount(), 2);

    // The view's selection is the grid's current row; a header click sorts.
    grid->selectRow(1);
    EXPECT_EQ(search.grid().row(), 2);
    EXPECT_EQ(search.grid().rowSel(), 2);
    emit grid->horizontalHeader()->sectionClicked(3);
    EXPECT_EQ(grid->model()->headerData(3, Qt::Horizontal).toString(), "<Study UID");
    EXPECT_EQ(grid->model()->index(0, 3).data().toString(), "1.2");
    emit grid->doubleClicked(grid->model()->index(1, 0));
    EXPECT_EQ(fields.value(browser::StudyInfoFields::StudyUid), "1.1");

    search.grid().setCellBackground(1, 6, 0x00ff00);
    EXPECT_EQ(grid->model()->index(0, 6).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(0, 255, 0));
    EXPECT_FALSE(grid->model()->index(0, 5).data(Qt::BackgroundRole).isValid());
}
