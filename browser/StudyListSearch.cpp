#include "browser/StudyListSearch.h"

#include "browser/StudyInfoFields.h"
#include "core/ActivityLog.h"
#include "core/EventYield.h"
#include "db/ArchiveConnection.h"
#include "db/DbValue.h"
#include "db/ResultSet.h"
#include "db/SqlText.h"
#include "db/TsqlTranslator.h"

#include <QLocale>
#include <QTimer>
#include <exception>

namespace pacs::browser {

namespace {

struct ColumnSpec
{
    const char *caption;
    int width; // twips
};

constexpr ColumnSpec StudyColumns[StudyListSearch::Columns] = {
    {" Status", 0},
    {" ALLStatus", 800},
    {" Exam No.", 0},
    {" Study UID", 0},
    {" AccessionNumber", 1100},
    {" Patient ID", 1250},
    {" Last Name", 1500},
    {" First Name", 1800},
    {" Middle Name", 1000},
    {" Birth Date", 1300},
    {" Sex", 550},
    {" Modality", 0},
    {" Exam Name", 2500},
    {" Protocol Name", 2500},
    {" Exam Date", 0},
    {" Exam Date Time", 2300},
    {" Modality", 0},
    {" Study Date", 0},
    {" Referring Physician", 2500},
    {" SendStatus", 1500},
    {" Institution Name", 2000},
    {"", GridModel::DefaultWidth},
};

} // namespace

StudyListSearch::StudyListSearch(db::ArchiveConnection &connection, ActivityLog &log, StudyInfoFields &fields,
                                 bool &searching, QTimer &timer1, QObject *parent)
    : QObject(parent), m_connection(connection), m_log(log), m_fields(fields), m_searching(searching), m_timer1(timer1)
{
    SetupStudyGrid();
}

template<typename T> void StudyListSearch::setState(T &member, const T &value)
{
    if (member == value)
        return;
    member = value;
    emit stateChanged();
}

QString StudyListSearch::dateText(const QDate &date)
{
    return QStringLiteral("%1/%2/%3").arg(date.month()).arg(date.day()).arg(date.year());
}

QString StudyListSearch::examDateText(const db::DbValue &value)
{
    QDateTime at = value.toDateTime();
    if (!at.isValid() && !value.isNull()) {
        const QString text = value.toText();
        at = db::DbValue::fromIsoText(db::TsqlTranslator::isoDateTime(text));
        if (!at.isValid())
            return text; // not a date: shown as it is
    }
    return at.isValid() ? QLocale::c().toString(at, QStringLiteral("M/dd/yyyy h:mm AP")) : QString();
}

QString StudyListSearch::studyListStatement(const StudyFilter &f)
{
    QString sql;
    sql += QStringLiteral("SELECT  DISTINCT TOP 1000 ResultStatus as Status,ResultStatus  as ALLStatus,PL.StudyID as "
                          "[Exam No.],PL.StudyUID as  [Study UID],AccessionNumber, ");
    sql += QStringLiteral(" P.PatientID as [Patient ID], P.name_last as [Last Name], P.name_first as [First Name], "
                          "P.name_middle as [Middle Name], ");
    sql += QStringLiteral("  DateofBirth as [Birth Date]  ,P.sex as [Sex], BodyPartExamined, ");
    sql += QStringLiteral(" PL.StudyDescription as [Exam Name], PL.ProtocolName as [Protocol Name], PL.studydate [Exam Date], ");
    sql += QStringLiteral(" CONVERT(datetime, CONVERT(varchar,StudyDate,101) + ' ' + convert(varchar,StudyTime,8),0) AS "
                          "[StudyDateTime], ");
    sql += QStringLiteral(" SE.Modality as [Modality],PL.studydate as [Study Date2], ");
    sql += QStringLiteral(" ltrim(ReferringPhysician_Title + '  '  + ReferringPhysician_Last + ',  ' + "
                          "ReferringPhysician_First + '  ' +   ReferringPhysician_Middle) as [Referring Physician], ");
    sql += QStringLiteral(" CONVERT(datetime, CONVERT(varchar,StudyDate,101) + ' ' + convert(varchar,StudyTime,8),0) AS "
                          "[Exam Date Time],  ");
    sql += QStringLiteral(" SendStatus,InstitutionName  ");

    QString modality = QStringLiteral("1=2 ");
    if (f.cr)
        modality += QStringLiteral(" or se.Modality = 'CR' ");
    if (f.ct)
        modality += QStringLiteral(" or se.Modality = 'CT' ");
    if (f.mr)
        modality += QStringLiteral(" or se.Modality = 'MR' ");
    if (f.us)
        modality += QStringLiteral(" or se.Modality = 'US' ");
    if (f.nm)
        modality += QStringLiteral(" or se.Modality = 'NM' ");
    if (f.xc)
        modality += QStringLiteral(" or se.Modality = 'XC' ");
    if (f.mg)
        modality += QStringLiteral(" or se.Modality = 'MG' ");
    if (!f.otherModality.isEmpty())
        modality += QStringLiteral(" or se.Modality = '") + db::Quote(f.otherModality) + QStringLiteral("' ");
    if (modality == QLatin1String("1=2 "))
        modality = QStringLiteral("1=1");
    else
        modality = QStringLiteral("(  ") + modality + QStringLiteral(")");

    sql += QStringLiteral(" FROM StudyTable PL  ");
    sql += QStringLiteral(" left outer JOIN PatientTable p ON pl.PatientID_FKey=p.PatientID");
    sql += QStringLiteral(" left outer JOIN SeriesTable se ON PL.StudyUID=se.StudyUID_FKey");
    sql += QStringLiteral("  ");
    if (f.pendingResult) {
        sql += QStringLiteral(" LEFT OUTER JOIN tblExamResult AS ER ON PL.StudyUID=ER.StudyUID  ");
        sql += QStringLiteral(" WHERE 1=1 and (") + modality + QStringLiteral(") and (ER.exam_result is null  )");
    } else {
        sql += QStringLiteral("WHERE 1=1 and (") + modality + QStringLiteral(")  ");
    }
    if (f.noResult)
        sql += QStringLiteral(" and (ResultStatus='' or ResultStatus is null)");
    if (!f.hospNum.isEmpty())
        sql += QStringLiteral(" AND patientID = '") + db::Quote(f.hospNum) + QStringLiteral("' ");
    if (!f.lastName.isEmpty())
        sql += QStringLiteral(" AND (P.name_last LIKE '") + db::Quote(f.lastName) + QStringLiteral("' + '%' ") + QStringLiteral(")");
    if (!f.firstName.isEmpty())
        sql += QStringLiteral(" AND (P.name_first LIKE '") + db::Quote(f.firstName) + QStringLiteral("' + '%' )");
    if (!f.allDates) {
        if (f.range) {
            sql += QStringLiteral(" AND [StudyDate] >= convert(datetime,'") + dateText(f.startDate) + QStringLiteral("')  ");
            sql += QStringLiteral(" AND [StudyDate] <= convert(datetime,'") + dateText(f.endDate) + QStringLiteral("')  ");
        } else {
            sql += QStringLiteral(" AND [studydate] = convert(datetime,'") + dateText(f.startDate) + QStringLiteral("',101)  ");
        }
    }
    if (!f.accessionNumber.isEmpty())
        sql += QStringLiteral(" AND AccessionNumber = '") + db::Quote(f.accessionNumber) + QStringLiteral("' ");
    if (!f.fileNum.isEmpty())
        sql += QStringLiteral(" AND StudyID = '") + db::Quote(f.fileNum) + QStringLiteral("' ");
    sql += QStringLiteral("ORDER BY ");
    sql += QStringLiteral("  [StudyDateTime] desc ");
    return sql;
}

void StudyListSearch::Search_Exam(bool autoRefresh)
{
    Q_UNUSED(autoRefresh);
    if (m_searching)
        return;
    try {
        BeginSearchState();
        const int remembered = m_grid.row();
        m_grid.reset(Columns);
        SetupStudyGrid();
        yieldToEvents();
        FillStudyList();
        setState(m_countText, QString::number(m_grid.rows() - 1));
        EndSearchState();
        if (remembered > 0 && remembered < m_grid.rows())
            SelectStudyRow(remembered);
    } catch (const std::exception &e) {
        EndSearchState();
        emit errorMessage(QString::fromLocal8Bit(e.what()));
    }
}

void StudyListSearch::BeginSearchState()
{
    setState(m_busy, true);
    m_searching = true;
    setState(m_stopVisible, true);
    setState(m_searchEnabled, false);
    setState(m_gridVisible, false);
    m_timer1.stop();
    setState(m_progressVisible, true);
    yieldToEvents();
}

void StudyListSearch::SetupStudyGrid()
{
    if (m_grid.cols() != Columns)
        m_grid.reset(Columns);
    for (int c = 0; c < Columns; ++c) {
        m_grid.setCaption(c, QString::fromLatin1(StudyColumns[c].caption));
        m_grid.setColumnWidth(c, StudyColumns[c].width);
    }
}

void StudyListSearch::FillStudyList()
{
    const QString statement = studyListStatement(m_filter);
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(statement, failed);
    QString error;
    if (rows.isNone()) {
        error = QStringLiteral("The statement did not run.");
    } else {
        if (!(rows.atStart() && rows.atEnd())) {
            while (!rows.atEnd() && m_searching) {
                QString text = rows.text(0);
                for (int c = 1; c <= 13; ++c)
                    text += QLatin1Char('\t') + rows.text(c);
                text += QLatin1Char('\t') + examDateText(rows.field(14));
                for (int c : {15, 16, 17, 18, 20, 21})
                    text += QLatin1Char('\t') + rows.text(c);
                m_grid.addRow(text);
                yieldToEvents(); // where the Stop button is served
                rows.moveNext();
            }
        }
        if (rows.endedWithError())
            error = rows.error();
        rows.close();
    }
    if (!error.isEmpty()) {
        m_log.WriteLog(error + QLatin1Char(' ') + statement);
        emit tabRequested(LogTab);
    }
}

void StudyListSearch::EndSearchState()
{
    setState(m_stopVisible, false);
    setState(m_searchEnabled, true);
    setState(m_gridEnabled, m_grid.rows() > 1);
    setState(m_gridVisible, true);
    m_timer1.start();
    setState(m_progressVisible, false);
    setState(m_busy, false);
    m_searching = false;
    yieldToEvents();
}

void StudyListSearch::SelectStudyRow(int row)
{
    m_grid.setRow(row);
    m_grid.setRowSel(row);
    emit topRowRequested(row);
}

void StudyListSearch::SortStudyGridByHeader(int column)
{
    if (column < 0 || column >= m_grid.cols())
        return;
    QString caption = m_grid.caption(column);
    if (caption.isEmpty())
        caption = QStringLiteral(" ");
    for (int c = 0; c < m_grid.cols(); ++c)
        m_grid.setCaption(c, QLatin1Char(' ') + m_grid.caption(c).mid(1));
    if (m_grid.rows() > 1)
        m_grid.setCol(column);
    QChar marker = caption.at(0);
    GridModel::SortMode mode = GridModel::SortGenericAscending;
    if (marker == QLatin1Char(' ')) {
        marker = QLatin1Char('<');
        mode = GridModel::SortGenericDescending;
    } else if (marker == QLatin1Char('<')) {
        marker = QLatin1Char('>');
    } else {
        // ">" (or anything else): ascending again, and the caption says so.
        marker = QLatin1Char('>');
    }
    m_grid.setCaption(column, marker + caption.mid(1));
    m_grid.sortRows(mode);
}

void StudyListSearch::stop()
{
    m_searching = false;
}

void StudyListSearch::openStudy(int row)
{
    if (row < 1 || row >= m_grid.rows())
        return;
    emit tabRequested(StudyInfoTab);
    const QString studyUid = m_grid.cell(row, StudyUidColumn);
    m_fields.setValue(StudyInfoFields::StudyUid, studyUid);
    m_fields.setValue(StudyInfoFields::NewPatientIdForStudy, m_grid.cell(row, PatientIdColumn));
    m_fields.setValue(StudyInfoFields::UpdateStudyUid, m_fields.value(StudyInfoFields::StudyUid));
    emit studyOpened(studyUid);
}

} // namespace pacs::browser
