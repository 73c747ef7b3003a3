// The service: the archive without windows, linked without any display
// library, for a server that has none.
#include "app/shell/CommandLine.h"
#include "app/shell/HeadlessService.h"
#include "app/shell/OperatorCommands.h"
#include "app/shell/ServerController.h"

#include <QCoreApplication>
#include <cstdio>

using namespace pacs;

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine command = CommandLine::parse(arguments);
    if (!command.error.isEmpty() || command.showHelp)
        return CommandLine::reportUsage(command);
    if (!command.command.isEmpty()) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("talmir-pacs"));
        QCoreApplication::setApplicationVersion(QStringLiteral(PACS_VERSION));
        return OperatorCommands::execute(command);
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talmir-pacs"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PACS_VERSION));

    ServerController controller(command.home, command.text);
    HeadlessService::echoToConsole(controller);
    HeadlessService service(controller);
    service.start();
    return app.exec();
}
