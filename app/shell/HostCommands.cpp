#include "app/shell/HostCommands.h"

#include "app/shell/ServerController.h"
#include "tools/BrowseTableModel.h"
#include "tools/HostFramework.h"
#include "tools/ReferenceLists.h"
#include "tools/RemoteAets.h"
#include "tools/clsThisClass.h"

#include <memory>

namespace pacs {

namespace {
// The settings newbrowse hands over while a command opens its list; the
// command builds the list's model from them as the window would.
class BrowseCatcher
{
public:
    explicit BrowseCatcher(tools::HostFramework &host)
    {
        m_connection = QObject::connect(&host, &tools::HostFramework::browseRequested,
                                        [this](const tools::BrowseSettings &settings) {
                                            m_settings = settings;
                                            m_caught = true;
                                        });
    }
    ~BrowseCatcher() { QObject::disconnect(m_connection); }
    bool caught() const { return m_caught; }
    const tools::BrowseSettings &settings() const { return m_settings; }

private:
    QMetaObject::Connection m_connection;
    tools::BrowseSettings m_settings;
    bool m_caught = false;
};

// The activity log's lines while a command runs (the framework's Addlog).
class LogCatcher
{
public:
    explicit LogCatcher(ActivityLog &log)
    {
        m_connection = QObject::connect(&log, &ActivityLog::logLineAdded,
                                        [this](const QString &text) { lines << text.trimmed(); });
    }
    ~LogCatcher() { QObject::disconnect(m_connection); }
    QStringList lines;

private:
    QMetaObject::Connection m_connection;
};
} // namespace

HostCommands::HostCommands(ServerController &controller, std::FILE *out, std::FILE *err)
    : CommandOutput(out, err), m_controller(controller)
{
}

bool HostCommands::handles(const QString &command)
{
    static const QStringList commands{QStringLiteral("remote-aet"), QStringLiteral("reference-list"),
                                      QStringLiteral("default-list-views"), QStringLiteral("init-vorn")};
    return commands.contains(command);
}

int HostCommands::run(const QString &command, const QStringList &arguments)
{
    if (command == QLatin1String("remote-aet"))
        return remoteAet(arguments);
    if (command == QLatin1String("reference-list"))
        return referenceList(arguments);
    if (command == QLatin1String("default-list-views"))
        return defaultListViews(arguments);
    if (command == QLatin1String("init-vorn"))
        return initVorn(arguments);
    printError(QStringLiteral("Unknown command ") + command);
    return 2;
}

void HostCommands::printList(const tools::BrowseTableModel &model)
{
    print(model.columns().join(QLatin1Char('\t')));
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < model.columnCount(); ++column)
            cells << model.cell(row, column);
        print(cells.join(QLatin1Char('\t')));
    }
    print(model.statusText());
}

int HostCommands::remoteAet(const QStringList &arguments)
{
    const QString action = arguments.value(0);
    const bool understood = (action == QLatin1String("list") && arguments.size() == 1)
                            || (action == QLatin1String("add") && arguments.size() == 4)
                            || (action == QLatin1String("delete") && arguments.size() == 2);
    if (!understood) {
        printError(QStringLiteral("remote-aet list | remote-aet add AET HOST PORT | remote-aet delete AET"));
        return 2;
    }
    tools::HostFramework &host = m_controller.host();
    BrowseCatcher browse(host);
    QString error;
    if (!tools::RemoteAets(host).cmdRemoteAET(nullptr, error) || !browse.caught()) {
        printError(error.isEmpty() ? QStringLiteral("The remote AE list was not opened.") : error);
        return 1;
    }
    std::unique_ptr<tools::BrowseTableModel> model = host.createModel(browse.settings());
    if (!model->load(error)) {
        printError(error);
        return 1;
    }
    if (action == QLatin1String("list")) {
        printList(*model);
        return 0;
    }
    if (action == QLatin1String("add")) {
        // The form's fields by name, whatever order the table has them in.
        QStringList values;
        for (const QString &field : model->formFields()) {
            const QString f = field.toLower();
            values << (f == QLatin1String("remoteaet")   ? arguments[1]
                       : f == QLatin1String("ipaddress") ? arguments[2]
                       : f == QLatin1String("port")      ? arguments[3]
                                                         : QString());
        }
        if (const QString wrong = model->addRow(values); !wrong.isEmpty()) {
            printError(wrong);
            return 1;
        }
        print(QStringLiteral("Added ") + arguments[1].trimmed() + QLatin1Char('.'));
        return 0;
    }
    const int row = model->rowOfKey(arguments[1].trimmed());
    if (row < 0) {
        printError(QStringLiteral("No remote AE ") + arguments[1] + QLatin1Char('.'));
        return 1;
    }
    if (const QString wrong = model->deleteRow(row); !wrong.isEmpty()) {
        printError(wrong);
        return 1;
    }
    print(QStringLiteral("Deleted ") + arguments[1].trimmed() + QLatin1Char('.'));
    return 0;
}

int HostCommands::referenceList(const QStringList &arguments)
{
    const QString name = arguments.value(0);
    tools::ReferenceLists::List list;
    if (name == QLatin1String("doctors"))
        list = tools::ReferenceLists::List::Doctors;
    else if (name == QLatin1String("pacs-patients"))
        list = tools::ReferenceLists::List::PacsPatients;
    else if (name == QLatin1String("his-patients"))
        list = tools::ReferenceLists::List::HisPatients;
    else {
        printError(QStringLiteral("reference-list doctors|pacs-patients|his-patients [FIND1 [FIND2]]"));
        return 2;
    }
    if (arguments.size() > 3) {
        printError(QStringLiteral("At most two find texts."));
        return 2;
    }
    tools::HostFramework &host = m_controller.host();
    BrowseCatcher browse(host);
    QString error;
    if (!tools::ReferenceLists(host).open(list, nullptr, error) || !browse.caught()) {
        printError(error.isEmpty() ? QStringLiteral("The list was not opened.") : error);
        return 1;
    }
    std::unique_ptr<tools::BrowseTableModel> model = host.createModel(browse.settings());
    if (!model->load(error)) {
        printError(error);
        return 1;
    }
    if (arguments.size() > 1 && !model->canFind()) {
        printError(QStringLiteral("This list has no find."));
        return 2;
    }
    if (model->canFind() && (arguments.size() > 1 || !model->listed()) && !model->find(arguments.value(1), arguments.value(2), error)) {
        printError(error);
        return 1;
    }
    printList(*model);
    return 0;
}

int HostCommands::defaultListViews(const QStringList &arguments)
{
    if (arguments.size() > 1) {
        printError(QStringLiteral("default-list-views [REMOTEAET|PACSPatientList|tbMaster|ALL]"));
        return 2;
    }
    const QString selector = arguments.value(0);
    int expected = 0;
    for (const tools::clsThisClass::DefaultView &view : tools::clsThisClass::DefaultViews)
        if (selector.isEmpty() || selector == QLatin1String("ALL") || selector == QLatin1String(view.selector))
            ++expected;
    LogCatcher log(m_controller.log());
    QString error;
    if (!m_controller.host().cmdDefaultListViews(selector, error)) {
        printError(error);
        return 1;
    }
    for (const QString &line : log.lines)
        print(line);
    const int created = int(log.lines.count(QStringLiteral("View Created")));
    if (created != expected) {
        printError(QStringLiteral("%1 of %2 list views created.").arg(created).arg(expected));
        return 1;
    }
    return 0;
}

int HostCommands::initVorn(const QStringList &arguments)
{
    if (!arguments.isEmpty()) {
        printError(QStringLiteral("init-vorn takes no arguments"));
        return 2;
    }
    LogCatcher log(m_controller.log());
    QString error;
    if (!m_controller.host().cmdInitVorn(error)) {
        printError(error);
        return 1;
    }
    for (const QString &line : log.lines)
        print(line);
    return 0;
}

} // namespace pacs
