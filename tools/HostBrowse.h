#pragma once

#include "tools/BrowseSettings.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace pacs::tools {

class HostProgram;

// The framework's browse object: the settings of the next list window.
// Init clears them; each setting is a property of its own name. Every
// assignment since Init is recorded in order ("PropTable=tbCoDoctor"), so
// the sequence a command used can be read back.
class HostBrowse : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString PropTable READ PropTable WRITE setPropTable)
    Q_PROPERTY(QString PropDatabaseName READ PropDatabaseName WRITE setPropDatabaseName)
    Q_PROPERTY(QString PropOperation READ PropOperation WRITE setPropOperation)
    Q_PROPERTY(QString PropFindField1 READ PropFindField1 WRITE setPropFindField1)
    Q_PROPERTY(QString PropFindLabel1 READ PropFindLabel1 WRITE setPropFindLabel1)
    Q_PROPERTY(QString PropFindField2 READ PropFindField2 WRITE setPropFindField2)
    Q_PROPERTY(QString PropFindLabel2 READ PropFindLabel2 WRITE setPropFindLabel2)
    Q_PROPERTY(QObject *PropParentWindow READ PropParentWindow WRITE setPropParentWindow)
    Q_PROPERTY(QString propviewtoload READ propviewtoload WRITE setpropviewtoload)
    Q_PROPERTY(QString PropFieldNameID READ PropFieldNameID WRITE setPropFieldNameID)
    Q_PROPERTY(bool PropFormUseOnlyBrowseFields READ PropFormUseOnlyBrowseFields WRITE setPropFormUseOnlyBrowseFields)
    Q_PROPERTY(QString PropFieldNameDesc READ PropFieldNameDesc WRITE setPropFieldNameDesc)
    Q_PROPERTY(bool PropUseAuditStamps READ PropUseAuditStamps WRITE setPropUseAuditStamps)
    Q_PROPERTY(QString PropAutoFillField3 READ PropAutoFillField3 WRITE setPropAutoFillField3)
    Q_PROPERTY(bool PropFindBeforeListing READ PropFindBeforeListing WRITE setPropFindBeforeListing)
public:
    explicit HostBrowse(HostProgram &program, QObject *parent = nullptr);

    HostProgram *Program() const { return &m_program; }
    void Init();

    QString PropTable() const { return m_s.table; }
    void setPropTable(const QString &v) { m_s.table = v; record("PropTable", v); }
    QString PropDatabaseName() const { return m_s.databaseName; }
    void setPropDatabaseName(const QString &v) { m_s.databaseName = v; record("PropDatabaseName", v); }
    QString PropOperation() const { return m_s.operation; }
    void setPropOperation(const QString &v) { m_s.operation = v; record("PropOperation", v); }
    QString PropFindField1() const { return m_s.findField1; }
    void setPropFindField1(const QString &v) { m_s.findField1 = v; record("PropFindField1", v); }
    QString PropFindLabel1() const { return m_s.findLabel1; }
    void setPropFindLabel1(const QString &v) { m_s.findLabel1 = v; record("PropFindLabel1", v); }
    QString PropFindField2() const { return m_s.findField2; }
    void setPropFindField2(const QString &v) { m_s.findField2 = v; record("PropFindField2", v); }
    QString PropFindLabel2() const { return m_s.findLabel2; }
    void setPropFindLabel2(const QString &v) { m_s.findLabel2 = v; record("PropFindLabel2", v); }
    QObject *PropParentWindow() const { return m_s.parentWindow; }
    void setPropParentWindow(QObject *window);
    QString propviewtoload() const { return m_s.viewToLoad; }
    void setpropviewtoload(const QString &v) { m_s.viewToLoad = v; record("propviewtoload", v); }
    QString PropFieldNameID() const { return m_s.fieldNameId; }
    void setPropFieldNameID(const QString &v) { m_s.fieldNameId = v; record("PropFieldNameID", v); }
    bool PropFormUseOnlyBrowseFields() const { return m_s.formUseOnlyBrowseFields; }
    void setPropFormUseOnlyBrowseFields(bool v) { m_s.formUseOnlyBrowseFields = v; record("PropFormUseOnlyBrowseFields", v); }
    QString PropFieldNameDesc() const { return m_s.fieldNameDesc; }
    void setPropFieldNameDesc(const QString &v) { m_s.fieldNameDesc = v; record("PropFieldNameDesc", v); }
    bool PropUseAuditStamps() const { return m_s.useAuditStamps; }
    void setPropUseAuditStamps(bool v) { m_s.useAuditStamps = v; record("PropUseAuditStamps", v); }
    QString PropAutoFillField3() const { return m_s.autoFillField3; }
    void setPropAutoFillField3(const QString &v) { m_s.autoFillField3 = v; record("PropAutoFillField3", v); }
    bool PropFindBeforeListing() const { return m_s.findBeforeListing; }
    void setPropFindBeforeListing(bool v) { m_s.findBeforeListing = v; record("PropFindBeforeListing", v); }

    // The settings as they stand (staff rights not included).
    const BrowseSettings &settings() const { return m_s; }
    // "Name=value" per assignment since Init, in order; a parent window
    // reads as its object name.
    const QStringList &assignments() const { return m_assignments; }

private:
    void record(const char *name, const QString &value);
    void record(const char *name, bool value) { record(name, QLatin1String(value ? "True" : "False")); }

    HostProgram &m_program;
    BrowseSettings m_s;
    QStringList m_assignments;
};

} // namespace pacs::tools
