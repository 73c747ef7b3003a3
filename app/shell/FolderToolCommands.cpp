#include "app/shell/FolderToolCommands.h"

#include "app/shell/ServerController.h"
#include "tools/FolderTransmit.h"
#include "tools/NameConsistencyCheck.h"

namespace pacs {

namespace {
// A report line as the window appends it: CR LF, then the text.
QString lineOf(const QString &appended)
{
    return appended.startsWith(QLatin1String("\r\n")) ? appended.mid(2) : appended;
}
} // namespace

FolderToolCommands::FolderToolCommands(ServerController &controller, std::FILE *out, std::FILE *err)
    : CommandOutput(out, err), m_controller(controller)
{
}

bool FolderToolCommands::handles(const QString &command)
{
    return command == QLatin1String("check-names") || command == QLatin1String("transmit");
}

int FolderToolCommands::run(const QString &command, const QStringList &arguments)
{
    return command == QLatin1String("check-names") ? checkNames(arguments) : transmit(arguments);
}

int FolderToolCommands::checkNames(const QStringList &arguments)
{
    QStringList rest = arguments;
    const bool transmitNotFound = rest.removeAll(QStringLiteral("--transmit")) > 0;
    if (rest.size() > 1 || (rest.size() == 1 && rest[0].startsWith(QLatin1String("--")))) {
        printError(QStringLiteral("check-names takes a folder and --transmit: ") + arguments.join(QLatin1Char(' ')));
        return 2;
    }
    // Without a folder the storage root, as the window starts with.
    const QString folder = rest.isEmpty() ? m_controller.options().storageRoot() : rest[0];
    tools::NameConsistencyCheck check(m_controller.connection(), m_controller.log(), m_controller.options());
    check.setTransmitNotFound(transmitNotFound);
    QObject::connect(&check, &tools::NameConsistencyCheck::reportAppended,
                     [this](const QString &text) { print(lineOf(text)); });
    return check.ReadNames(folder) ? 0 : 1;
}

int FolderToolCommands::transmit(const QStringList &arguments)
{
    QString folder;
    QString extension = QStringLiteral("DCM");
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--ext") && i + 1 < arguments.size()) {
            extension = arguments[++i];
        } else if (folder.isEmpty() && !arguments[i].startsWith(QLatin1String("--"))) {
            folder = arguments[i];
        } else {
            printError(QStringLiteral("transmit takes a folder and --ext EXTENSION: ") + arguments.join(QLatin1Char(' ')));
            return 2;
        }
    }
    if (folder.isEmpty()) {
        printError(QStringLiteral("transmit needs a folder"));
        return 2;
    }
    tools::FolderTransmit run(m_controller.options());
    QObject::connect(&run, &tools::FolderTransmit::progressAppended, [this](const QString &text) { print(lineOf(text)); });
    if (!run.Transmit(folder, extension)) {
        printError(run.errorMessage());
        return 1;
    }
    return 0;
}

} // namespace pacs
