#pragma once

#include "browser/GridModel.h"
#include "browser/StudyFilter.h"

#include <QObject>
#include <QString>

class QTimer;

namespace pacs {
class ActivityLog;
}
namespace pacs::db {
class ArchiveConnection;
class DbValue;
}

namespace pacs::browser {

class StudyInfoFields;

// The study list of the "Browse &Data" page: one query over the study,
// patient and series tables filtered by the panel's values, filled into the
// study grid row by row while the main window's searching flag stays set.
// The window shows the grid and mirrors the state properties below; nothing
// here needs a display.
class StudyListSearch : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool stopVisible READ stopVisible NOTIFY stateChanged)
    Q_PROPERTY(bool searchEnabled READ searchEnabled NOTIFY stateChanged)
    Q_PROPERTY(bool gridVisible READ gridVisible NOTIFY stateChanged)
    Q_PROPERTY(bool gridEnabled READ gridEnabled NOTIFY stateChanged)
    Q_PROPERTY(bool progressVisible READ progressVisible NOTIFY stateChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY stateChanged)
    Q_PROPERTY(QString countText READ countText NOTIFY stateChanged)
public:
    static constexpr int Columns = 22;
    static constexpr int StudyUidColumn = 3;
    static constexpr int PatientIdColumn = 5;
    static constexpr int LogTab = 0;       // "&Log"
    static constexpr int StudyInfoTab = 3; // "Study Info"

    // searching: the main window's flag, shared with the other lists.
    // timer1: the main window's log-clearing timer, stopped while searching.
    StudyListSearch(db::ArchiveConnection &connection, ActivityLog &log, StudyInfoFields &fields, bool &searching,
                    QTimer &timer1, QObject *parent = nullptr);

    GridModel &grid() { return m_grid; } // fgridPacs
    const GridModel &grid() const { return m_grid; }

    StudyFilter &filter() { return m_filter; }
    const StudyFilter &filter() const { return m_filter; }
    void setFilter(const StudyFilter &filter) { m_filter = filter; }

    // The statement the search runs for these filter values.
    static QString studyListStatement(const StudyFilter &filter);
    // A picker's value as the statement carries it: "M/D/YYYY".
    static QString dateText(const QDate &date);
    // Query column 14 as the grid shows it; null gives an empty text.
    static QString examDateText(const db::DbValue &value);

    // The search; autoRefresh does not change what it does.
    void Search_Exam(bool autoRefresh);
    void BeginSearchState();
    void SetupStudyGrid();
    void FillStudyList();
    void EndSearchState();
    void SelectStudyRow(int row);
    // A click on header cell `column`: markers " ", "<" (descending), ">" (ascending).
    void SortStudyGridByHeader(int column);
    // cmdStop: ends a running fill after its current row.
    void stop();
    // Double click on grid row `row` (grid rows, 1 = first data row).
    void openStudy(int row);

    bool isSearching() const { return m_searching; }
    bool stopVisible() const { return m_stopVisible; }
    bool searchEnabled() const { return m_searchEnabled; }
    bool gridVisible() const { return m_gridVisible; }
    bool gridEnabled() const { return m_gridEnabled; }
    bool progressVisible() const { return m_progressVisible; }
    bool busy() const { return m_busy; }
    QString countText() const { return m_countText; } // lblCount

signals:
    void stateChanged();
    // The main window's tab control should show this page.
    void tabRequested(int index);
    // The grid should bring this row into view as its top row.
    void topRowRequested(int row);
    // A study was opened: its series list is to be loaded.
    void studyOpened(const QString &studyUid);
    // A message box with an OK button.
    void errorMessage(const QString &text);

private:
    template<typename T> void setState(T &member, const T &value);

    db::ArchiveConnection &m_connection;
    ActivityLog &m_log;
    StudyInfoFields &m_fields;
    bool &m_searching;
    QTimer &m_timer1;
    GridModel m_grid{Columns};
    StudyFilter m_filter;
    bool m_stopVisible = false;
    bool m_searchEnabled = true;
    bool m_gridVisible = true;
    bool m_gridEnabled = false;
    bool m_progressVisible = false;
    bool m_busy = false;
    QString m_countText;
};

} // namespace pacs::browser
