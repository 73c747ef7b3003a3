#include "tools/clsThisClass.h"

#include "tools/HostDatabase.h"
#include "tools/HostProgram.h"
#include "tools/HostTable.h"

#include <QCoreApplication>

namespace pacs::tools {

namespace {
clsThisClass *s_instance = nullptr;
}

const clsThisClass::DefaultView clsThisClass::DefaultViews[3] = {
    {"REMOTEAET", "DICOM..REMOTEAETS", "REMOTEAETS", "RemoteAET,IPAddress,Port", "2000,1500,1500"},
    {"PACSPatientList", "DICOM..PatientTable", "PACSPatientList",
     "[PatientID],[Name_First],[Name_Middle],[Name_Last],[Name_Title],[DateOfBirth],[Sex] ", "2000,1500,1500,1500,1500,1500,1500"},
    {"tbMaster", "Patient_Data..tbMaster", "HISPatients", "[HospNum],[LastName],[FirstName],[MiddleName],[Sex],[BirthDate]",
     "2000,1500,1500,1500,1500,1500,1500"},
};

clsThisClass::clsThisClass()
{
    s_instance = this;
}

clsThisClass::~clsThisClass()
{
    if (s_instance == this)
        s_instance = nullptr;
}

clsThisClass *clsThisClass::instance()
{
    return s_instance;
}

void clsThisClass::setProgram(HostProgram *program)
{
    m_program = program;
    if (m_program)
        m_program->registerModule(ModuleName());
}

void clsThisClass::addlog(const QString &text)
{
    if (m_program)
        m_program->Addlog(text);
}

void clsThisClass::DBConvert()
{
    if (DBVersionDetected == 0)
        DBVersionDetected = 1;
    if (DBVersionDetected == 1)
        DBVersionDetected = 2;
    if (!m_program)
        return;
    m_program->db().SaveModuleSettings(*this);
    m_program->Addlog(QStringLiteral("Conversion complete."));
}

void clsThisClass::MakeTable(const QString &tableName)
{
    if (tableName != QLatin1String("TableName") || !m_program)
        return;
    const QString blanks(16, QLatin1Char(' '));
    const QString fields = QStringLiteral(",Field1") + blanks + QStringLiteral("string(50)") + QStringLiteral(",Field2") + blanks
                           + QStringLiteral("long") + QStringLiteral(",Field3") + blanks + QStringLiteral("single");
    QString error;
    if (!m_program->db().MakeTable(ModuleName(), tableName, fields, error))
        addlog(error);
}

void clsThisClass::MakeRecords(const QString &)
{
    if (!m_program)
        return;
    HostDatabase &db = m_program->db();
    HostTable table;
    QString error;
    if (!db.OpenTable(ModuleName() + db.DBTableSeprator() + QStringLiteral("TableName"), table, error))
        addlog(error);
    if (!table.AddNew())
        addlog(table.error());
    if (!table.setField(QStringLiteral("Name"), QStringLiteral("x")))
        addlog(table.error());
    if (!table.Update())
        addlog(table.error());
    table.Close();
}

void clsThisClass::DefaultListViews(const QString &selector)
{
    if (!m_program)
        return;
    HostDatabase &db = m_program->db();
    QString error;
    db::ResultSet removed = db.OpenTableSQL(QStringLiteral("delete from ") + m_program->Name() + db.DBTableSeprator()
                                                + QStringLiteral("ListView where ModuleTPX = '") + QLatin1String(Module)
                                                + QLatin1Char('\''),
                                            error);
    if (removed.isNone())
        addlog(error);
    removed.close();

    HostTable table;
    if (!db.OpenTable(m_program->Name() + QStringLiteral("..ListView"), table, error))
        addlog(error);
    for (const DefaultView &view : DefaultViews) {
        if (!(selector == QLatin1String(view.selector) || selector == QLatin1String("ALL") || selector.isEmpty()))
            continue;
        // A failing step is logged and the next one runs, as everywhere in the module.
        bool ok = table.AddNew();
        if (!ok)
            addlog(table.error());
        const std::pair<const char *, const char *> fields[] = {
            {"TableName", view.tableName}, {"ModuleTPX", Module}, {"ViewName", view.viewName},
            {"FieldList", view.fieldList}, {"FieldSizes", view.fieldSizes},
        };
        for (const auto &[name, value] : fields)
            if (!table.setField(QLatin1String(name), QLatin1String(value))) {
                addlog(table.error());
                ok = false;
            }
        if (!table.Update()) {
            addlog(table.error());
            ok = false;
        }
        if (ok)
            m_program->Addlog(QStringLiteral("View Created"));
    }
    table.Close();
    m_program->Addlog(QStringLiteral("Done default list."));
}

void clsThisClass::DefaultWindowSettings()
{
    if (m_program)
        m_program->db().DefaultSettingsWindowSize(QStringLiteral("TableName List"), 4);
}

void clsThisClass::DefaultOptions()
{
    if (m_program)
        m_program->db().SaveValue(ModuleName() + QStringLiteral("Options"), QStringLiteral("Option1"), QStringLiteral("1"));
}

void clsThisClass::CloseAllWindows()
{
    if (m_closeWindows)
        m_closeWindows();
    else
        QCoreApplication::quit();
}

} // namespace pacs::tools
