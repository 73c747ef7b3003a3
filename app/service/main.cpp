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
    const CommandLine command = CommandLine::fromMain(argc, argv);
    if (!command.error.isEmpty() || command.showHelp)
        return CommandLine::reportUsage(command);

    QCoreApplication app(argc, argv);
    CommandLine::nameApplication();
    if (!command.command.isEmpty())
        return OperatorCommands::execute(command);

    ServerController controller(command.home, command.text);
    if (command.trace)
        controller.options().setTraceMode(true);
    HeadlessService::echoToConsole(controller);
    HeadlessService service(controller);
    service.start();
    return app.exec();
}
