#include "browser/StudyInfoFields.h"
#include "browser/StudyListSearch.h"
#include "tests/db/ArchiveFixture.h"

#include <QTimer>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::browser;
using namespace pacs::test;

namespace {

const QString Select = QStringLiteral(
    "SELECT  DISTINCT TOP 1000 ResultStatus as Status,ResultStatus  as ALLStatus,PL.StudyID as [Exam No.],PL.StudyUID as  [Study UID],AccessionNumber, "
    " P.PatientID as [Patient ID], P.name_last as [Last Name], P.name_first as [First Name], P.name_middle as [Middle Name], "
    "  DateofBirth as [Birth Date]  ,P.sex as [Sex], BodyPartExamined, "
    " PL.StudyDescription as [Exam Name], PL.ProtocolName as [Protocol Name], PL.studydate [Exam Date], "
    " CONVERT(datetime, CONVERT(varchar,StudyDate,101) + ' ' + convert(varchar,StudyTime,8),0) AS [StudyDateTime], "
    " SE.Modality as [Modality],PL.studydate as [Study Date2], "
    " ltrim(ReferringPhysician_Title + '  '  + ReferringPhysician_Last + ',  ' + ReferringPhysician_First + '  ' +   ReferringPhysician_Middle) as [Referring Physician], "
    " CONVERT(datetime, CONVERT(varchar,StudyDate,101) + ' ' + convert(varchar,StudyTime,8),0) AS [Exam Date Time],  "
    " SendStatus,InstitutionName  ");
const QString From = QStringLiteral(" FROM StudyTable PL  "
                                    " left outer JOIN PatientTable p ON pl.PatientID_FKey=p.PatientID"
                                    " left outer JOIN SeriesTable se ON PL.StudyUID=se.StudyUID_FKey"
                                    "  ");
const QString Order = QStringLiteral("ORDER BY   [StudyDateTime] desc ");

TEST(StudyListStatement, IsAssembledFromTheFilterPieces)
{
    StudyFilter f;
    EXPECT_EQ(StudyListSearch::studyListStatement(f), Select + From + "WHERE 1=1 and (1=1)  " + Order);

    f.ct = f.mr = true;
    EXPECT_EQ(StudyListSearch::studyListStatement(f),
              Select + From + "WHERE 1=1 and ((  1=2  or se.Modality = 'CT'  or se.Modality = 'MR' ))  " + Order);

    f = {};
    f.otherModality = "XA";
    EXPECT_EQ(StudyListSearch::studyListStatement(f),
              Select + From + "WHERE 1=1 and ((  1=2  or se.Modality = 'XA' ))  " + Order);

    f = {};
    f.allDates = false;
    f.startDate = QDate(2024, 1, 5);
    f.endDate = QDate(2024, 11, 20);
    EXPECT_EQ(StudyListSearch::studyListStatement(f),
              Select + From + "WHERE 1=1 and (1=1)   AND [studydate] = convert(datetime,'1/5/2024',101)  " + Order);
    f.range = true;
    EXPECT_EQ(StudyListSearch::studyListStatement(f),
              Select + From
                  + "WHERE 1=1 and (1=1)   AND [StudyDate] >= convert(datetime,'1/5/2024')  "
                    " AND [StudyDate] <= convert(datetime,'11/20/2024')  "
                  + Order);

    f = {};
    f.pendingResult = f.noResult = true;
    f.lastName = "SM";
    f.firstName = "J";
    EXPECT_EQ(StudyListSearch::studyListStatement(f),
              Select + From
                  + " LEFT OUTER JOIN tblExamResult AS ER ON PL.StudyUID=ER.StudyUID   WHERE 1=1 and (1=1) and "
                    "(ER.exam_result is null  ) and (ResultStatus='' or ResultStatus is null)"
                    " AND (P.name_last LIKE 'SM' + '%' ) AND (P.name_first LIKE 'J' + '%' )"
                  + Order);

    f = {};
    f.hospNum = "P1";
    f.accessionNumber = "A1";
    f.fileNum = "100";
    EXPECT_EQ(StudyListSearch::studyListStatement(f),
              Select + From
                  + "WHERE 1=1 and (1=1)   AND patientID = 'P1'  AND AccessionNumber = 'A1'  AND StudyID = '100' "
                  + Order);
}

// An installed archive with three patients, four studies and their series.
class StudyListSearchTest : public ArchiveFixture
{
protected:
    void SetUp() override
    {
        ArchiveFixture::SetUp();
        if (HasFatalFailure())
            return;
        const QStringList rows = {
            "INSERT INTO PatientTable (PatientID, Name_Last, Name_First, DateOfBirth, Sex) VALUES "
            "('P1', 'SMITH', 'JOHN', '3/4/1950', 'M'), ('P2', 'SMALL', 'ANNA', '7/8/1960', 'F'), "
            "('P3', 'JONES', 'BOB', NULL, 'M')",
            "INSERT INTO StudyTable (StudyUID, PatientID_FKey, StudyDate, StudyTime, AccessionNumber, StudyID, "
            "StudyDescription, ReferringPhysician_title, ReferringPhysician_last, ReferringPhysician_first, "
            "ReferringPhysician_middle) VALUES "
            "('1.1', 'P1', '1/15/2024', '10:30:00', 'A1', '100', 'CHEST', 'DR', 'HOUSE', 'GREG', 'M'), "
            "('1.2', 'P2', '1/16/2024', '09:00:00', 'A2', '200', 'HAND', NULL, NULL, NULL, NULL), "
            "('1.3', 'P3', '1/20/2024', '08:00:00', 'A3', '300', 'KNEE', NULL, NULL, NULL, NULL), "
            "('1.4', 'P1', '1/10/2024', '14:00:00', 'A4', '400', 'HEART', NULL, NULL, NULL, NULL)",
            "INSERT INTO SeriesTable (SeriesUID, StudyUID_FKey, Modality, SeriesNumber) VALUES "
            "('1.1.1', '1.1', 'CT', 1), ('1.1.2', '1.1', 'MR', 2), ('1.1.3', '1.1', 'CT', 3), "
            "('1.2.1', '1.2', 'CR', 1), ('1.4.1', '1.4', 'XA', 1)",
            "INSERT INTO tblExamResult (StudyUID, exam_result) VALUES ('1.2', 'No findings.')",
        };
        for (const QString &sql : rows) {
            bool failed = false;
            connection.ExecuteSQL(sql, failed);
            ASSERT_FALSE(failed) << log.errorText().toStdString();
        }
        timer1.setInterval(60000);
        timer1.start();
    }

    // The grid's column of every data row.
    QStringList column(int c) const
    {
        QStringList cells;
        for (int r = 1; r < search.grid().rows(); ++r)
            cells << search.grid().cell(r, c);
        return cells;
    }

    QStringList run(const StudyFilter &filter)
    {
        search.setFilter(filter);
        search.Search_Exam(false);
        return column(StudyListSearch::StudyUidColumn);
    }

    StudyInfoFields fields;
    bool searching = false;
    QTimer timer1;
    StudyListSearch search{connection, log, fields, searching, timer1};
};

TEST_F(StudyListSearchTest, FindsStudiesBySeriesModalityNameAndDate)
{
    int states = 0;
    QObject::connect(&search, &StudyListSearch::stateChanged, [&] { ++states; });
    QList<bool> seen; // searching, stop visible, grid visible, timer running during the fill
    QObject::connect(&search.grid(), &GridModel::rowsInserted, &search, [&] {
        seen = {searching, search.stopVisible(), search.gridVisible(), timer1.isActive()};
    });

    // Newest first; the two-modality study twice, the study without series once.
    EXPECT_EQ(run({}), (QStringList{"1.3", "1.2", "1.1", "1.1", "1.4"}));
    EXPECT_EQ(seen, (QList<bool>{true, true, false, false}));
    EXPECT_EQ(column(16), (QStringList{"", "CR", "CT", "MR", "XA"}));
    EXPECT_EQ(search.countText(), "5");
    EXPECT_FALSE(searching);
    EXPECT_TRUE(timer1.isActive());
    EXPECT_TRUE(search.gridEnabled() && search.gridVisible() && search.searchEnabled());
    EXPECT_FALSE(search.stopVisible() || search.progressVisible() || search.busy());
    EXPECT_GT(states, 0);
    const GridModel &grid = search.grid();
    EXPECT_EQ(grid.cols(), 22);
    EXPECT_EQ(grid.caption(15), " Exam Date Time");
    EXPECT_EQ(grid.columnWidth(3), 0);
    EXPECT_EQ(grid.cell(3, 5), "P1");
    EXPECT_EQ(grid.cell(3, 6), "SMITH");
    EXPECT_EQ(grid.cell(3, 9), "3/4/1950");
    EXPECT_EQ(grid.cell(3, 14), "1/15/2024 12:00 AM");
    EXPECT_EQ(grid.cell(3, 15), "1/15/2024 10:30:00");
    EXPECT_EQ(grid.cell(3, 18), "DR  HOUSE,  GREG  M");
    EXPECT_EQ(grid.cell(1, 18), "");
    EXPECT_EQ(grid.cell(1, 9), "");

    // The current row comes back when the new list still has it.
    search.grid().setRow(4);
    QList<int> top;
    QObject::connect(&search, &StudyListSearch::topRowRequested, [&](int row) { top << row; });
    StudyFilter f;
    f.ct = true;
    EXPECT_EQ(run(f), (QStringList{"1.1"}));
    EXPECT_TRUE(top.isEmpty());
    f.mr = true;
    f.otherModality = "XA";
    EXPECT_EQ(run(f), (QStringList{"1.1", "1.1", "1.4"}));
    search.grid().setRow(2);
    EXPECT_EQ(run(f).size(), 3);
    EXPECT_EQ(search.grid().row(), 2);
    EXPECT_EQ(top, QList<int>{2});

    f = {};
    f.lastName = "SM";
    EXPECT_EQ(run(f), (QStringList{"1.2", "1.1", "1.1", "1.4"}));
    f.firstName = "an";
    EXPECT_EQ(run(f), (QStringList{"1.2"}));

    f = {};
    f.allDates = false;
    f.startDate = QDate(2024, 1, 15);
    f.endDate = QDate(2024, 1, 20);
    EXPECT_EQ(run(f), (QStringList{"1.1", "1.1"}));
    f.range = true;
    EXPECT_EQ(run(f), (QStringList{"1.3", "1.2", "1.1", "1.1"}));

    f = {};
    f.accessionNumber = "a2";
    f.fileNum = "200";
    EXPECT_EQ(run(f), (QStringList{"1.2"}));
    f.hospNum = "P1";
    EXPECT_EQ(run(f), QStringList());
    EXPECT_EQ(search.grid().rows(), 1);
    EXPECT_EQ(search.countText(), "0");
    EXPECT_FALSE(search.gridEnabled());
    EXPECT_TRUE(search.gridVisible());

    // Studies with a written result drop out; none has a result status yet.
    f = {};
    f.pendingResult = true;
    EXPECT_EQ(run(f), (QStringList{"1.3", "1.1", "1.1", "1.4"}));
    f = {};
    f.noResult = true;
    EXPECT_EQ(run(f).size(), 5);
    EXPECT_EQ(log.errorText(), ActivityLog::ErrorBoxDesignText);
}

TEST_F(StudyListSearchTest, StopEndsTheFillAndKeepsTheRowsAdded)
{
    QObject::connect(&search.grid(), &GridModel::rowsInserted, &search, [&] {
        QMetaObject::invokeMethod(&search, [&] { search.stop(); }, Qt::QueuedConnection);
    });
    search.Search_Exam(false);
    EXPECT_EQ(search.grid().rows(), 2);
    EXPECT_EQ(search.countText(), "1");
    EXPECT_FALSE(searching);

    // A search does not start while another list is filling.
    searching = true;
    search.Search_Exam(false);
    EXPECT_EQ(search.grid().rows(), 2);
    EXPECT_TRUE(searching);
}

TEST_F(StudyListSearchTest, HeaderClicksSortDescendingThenAscending)
{
    run({});
    search.SortStudyGridByHeader(6);
    EXPECT_EQ(search.grid().caption(6), "<Last Name");
    EXPECT_EQ(column(6), (QStringList{"SMITH", "SMITH", "SMITH", "SMALL", "JONES"}));
    search.SortStudyGridByHeader(6);
    EXPECT_EQ(search.grid().caption(6), ">Last Name");
    EXPECT_EQ(column(6), (QStringList{"JONES", "SMALL", "SMITH", "SMITH", "SMITH"}));
    search.SortStudyGridByHeader(6);
    EXPECT_EQ(search.grid().caption(6), ">Last Name");
    EXPECT_EQ(column(6).first(), "JONES");
    search.SortStudyGridByHeader(10);
    EXPECT_EQ(search.grid().caption(6), " Last Name");
    EXPECT_EQ(search.grid().caption(10), "<Sex");
    EXPECT_EQ(column(10).first(), "M");
    search.SortStudyGridByHeader(21);
    EXPECT_EQ(search.grid().caption(21), "<");
}

TEST_F(StudyListSearchTest, AFailedSearchIsLoggedAndShowsTheLog)
{
    run({});
    QList<int> tabs;
    QObject::connect(&search, &StudyListSearch::tabRequested, [&](int index) { tabs << index; });
    QStringList messages;
    QObject::connect(&search, &StudyListSearch::errorMessage, [&](const QString &text) { messages << text; });
    // An apostrophe is part of a name, not the end of the statement's text.
    StudyFilter f;
    f.lastName = "O'BRIEN";
    EXPECT_EQ(run(f), QStringList());
    EXPECT_TRUE(StudyListSearch::studyListStatement(f).contains("LIKE 'O''BRIEN' + '%'"));
    EXPECT_TRUE(tabs.isEmpty());
    EXPECT_FALSE(log.errorText().contains("BRIEN")) << log.errorText().toStdString();

    bool failed = false;
    connection.ExecuteSQL("DROP TABLE tblExamResult", failed);
    ASSERT_FALSE(failed);
    f = {};
    f.pendingResult = true;
    EXPECT_EQ(run(f), QStringList());
    EXPECT_EQ(search.countText(), "0");
    EXPECT_EQ(tabs, QList<int>{0});
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(log.logText().contains(" " + StudyListSearch::studyListStatement(f))) << log.logText().toStdString();
    EXPECT_TRUE(log.errorText().contains("tblExamResult"));
    EXPECT_FALSE(searching);
    EXPECT_TRUE(search.searchEnabled());
    // The archive still answers afterwards.
    EXPECT_EQ(run({}).size(), 5);
}

TEST_F(StudyListSearchTest, DoubleClickOpensTheStudy)
{
    run({});
    QList<int> tabs;
    QObject::connect(&search, &StudyListSearch::tabRequested, [&](int index) { tabs << index; });
    QStringList opened;
    QObject::connect(&search, &StudyListSearch::studyOpened, [&](const QString &uid) { opened << uid; });
    search.openStudy(2);
    EXPECT_EQ(fields.value(StudyInfoFields::StudyUid), "1.2");
    EXPECT_EQ(fields.value(StudyInfoFields::NewPatientIdForStudy), "P2");
    EXPECT_EQ(fields.value(StudyInfoFields::UpdateStudyUid), "1.2");
    EXPECT_EQ(tabs, QList<int>{3});
    EXPECT_EQ(opened, QStringList{"1.2"});
    search.openStudy(0); // the header row opens nothing
    EXPECT_EQ(opened.size(), 1);
}

} // namespace
