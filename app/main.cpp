// The desktop program: the start-up window, then the main window. With
// --headless it runs as the service does (talmir-pacsd needs no display
// libraries at all and is the one to install as a service).
#include "app/shell/CommandLine.h"
#include "app/shell/HeadlessService.h"
#include "app/shell/OperatorCommands.h"
#include "app/shell/ServerController.h"
#include "app/windows/MessageBoxPrompter.h"
#include "app/windows/ServerForm.h"
#include "app/windows/SplashWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <memory>

using namespace pacs;

int main(int argc, char **argv)
{
    const CommandLine command = CommandLine::fromMain(argc, argv);
    if (!command.error.isEmpty() || command.showHelp)
        return CommandLine::reportUsage(command);

    // The service and the operator commands need no display.
    std::unique_ptr<QCoreApplication> app;
    if (command.headless || !command.command.isEmpty())
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    CommandLine::nameApplication();
    if (!command.command.isEmpty())
        return OperatorCommands::execute(command);

    ServerController controller(command.home, command.text);
    if (command.trace)
        controller.options().setTraceMode(true);
    HeadlessService::echoToConsole(controller);

    if (command.headless) {
        HeadlessService service(controller);
        service.start();
        return app->exec();
    }

    ServerForm form(controller);
    MessageBoxPrompter prompter(&form);
    controller.setPrompter(&prompter);
    // After a reboot the network and the database server may need a minute.
    const int delayMs = qEnvironmentVariableIsSet("TALMIR_SPLASH_MS") ? qEnvironmentVariableIntValue("TALMIR_SPLASH_MS") : 60000;
    auto *splash = new SplashWindow([&] {
        form.show();
        controller.load();
        HeadlessService::reportReady(controller);
    }, delayMs);
    splash->show();
    return app->exec();
}
