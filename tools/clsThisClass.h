#pragma once

#include <QString>
#include <functional>

namespace pacs::tools {

class HostProgram;

// This program's module class: the members the host framework calls on a
// module. Most are the framework's module template (a placeholder table
// "TableName"); what matters here are the module name, the program object
// and the default list views of the remote entities and the two patient
// lists. There is one program-wide instance: creating one makes it that.
class clsThisClass
{
public:
    static constexpr const char *Module = "ROZAZIZERARARIZAZ";

    clsThisClass();
    ~clsThisClass();
    clsThisClass(const clsThisClass &) = delete;
    clsThisClass &operator=(const clsThisClass &) = delete;

    static clsThisClass *instance();

    QString ModuleName() const { return QLatin1String(Module); }
    HostProgram *Program() const { return m_program; }
    void setProgram(HostProgram *program);
    qint16 DBVersionDetected = 0;
    int VersionProgram() const { return 1; }
    int DBVersionProgram() const { return 2; }

    void ShowMenu() {}
    void DBConvert();
    void MakeTable(const QString &tableName);
    void MakeDB() { MakeTable(QStringLiteral("TableName")); }
    void MakeRecords(const QString &tableName);
    void RemakeRecords() { MakeRecords(QString()); }
    // Replaces every list view of the module, then writes the views the
    // selector names ("REMOTEAET", "PACSPatientList", "tbMaster"; "ALL" or
    // empty for all three).
    void DefaultListViews(const QString &selector);
    void DefaultWindowSettings();
    void DefaultOptions();
    // Unloads every window of the program, last loaded first; the main
    // window's going ends the program. Without a window closer (headless)
    // the program ends.
    void CloseAllWindows();
    void setWindowCloser(std::function<void()> closer) { m_closeWindows = std::move(closer); }

    struct DefaultView
    {
        const char *selector;
        const char *tableName;
        const char *viewName;
        const char *fieldList;
        const char *fieldSizes;
    };
    static const DefaultView DefaultViews[3];

private:
    // The program's Addlog; nothing without a program.
    void addlog(const QString &text);

    HostProgram *m_program = nullptr;
    std::function<void()> m_closeWindows;
};

} // namespace pacs::tools
