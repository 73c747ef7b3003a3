#pragma once

#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>

namespace pacs::tools {

// What one list window is opened with: the browse object's settings at the
// moment newbrowse was called, and the staff rights of the program then.
struct BrowseSettings
{
    QString table;           // PropTable
    QString databaseName;    // PropDatabaseName
    QString operation;       // PropOperation: F find, A add, E edit, D delete
    QString findField1;      // PropFindField1 (empty: no first find box)
    QString findLabel1;      // PropFindLabel1
    QString findField2;      // PropFindField2
    QString findLabel2;      // PropFindLabel2
    QPointer<QObject> parentWindow; // PropParentWindow
    QString viewToLoad;      // propviewtoload: a ViewName of the ListView table
    QString fieldNameId;     // PropFieldNameID: the key column
    QString fieldNameDesc;   // PropFieldNameDesc: the column that names a row
    QString autoFillField3;  // PropAutoFillField3: the third form field of a new row
    bool formUseOnlyBrowseFields = false; // PropFormUseOnlyBrowseFields
    bool useAuditStamps = false;          // PropUseAuditStamps
    bool findBeforeListing = false;       // PropFindBeforeListing
    bool staffAllowEdit = false;
    bool staffAllowDelete = false;

    // Whether PropOperation has the letter (case ignored).
    bool allows(QChar letter) const { return operation.contains(letter, Qt::CaseInsensitive); }
    // The table as a statement names it: "Build_File..tbCoDoctor", or the
    // table alone when no database is given.
    QString qualifiedTable() const
    {
        return databaseName.isEmpty() ? table : databaseName + QStringLiteral("..") + table;
    }
};

} // namespace pacs::tools

Q_DECLARE_METATYPE(pacs::tools::BrowseSettings)
