#include "CommandLine.h"
#include "HeadlessPrompter.h"
#include "MessageBoxPrompter.h"
#include "ServerController.h"
#include "ServerForm.h"
#include "SplashWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <memory>

using namespace pacs;

namespace {

// A service's activity goes to its standard output, errors to standard error.
void echoToConsole(ActivityLog &log)
{
    QObject::connect(&log, &ActivityLog::logLineAdded, [](const QString &text) {
        std::fputs(text.trimmed().toLocal8Bit().constData(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    });
    QObject::connect(&log, &ActivityLog::errorLineAdded, [](const QString &line) {
        std::fputs(line.trimmed().toLocal8Bit().constData(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    });
}

} // namespace

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine command = CommandLine::parse(arguments);
    if (!command.error.isEmpty() || command.showHelp) {
        std::fputs((command.error.isEmpty() ? QString() : command.error + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
        std::fputs(CommandLine::usage().toLocal8Bit().constData(), command.showHelp ? stdout : stderr);
        return command.showHelp ? 0 : 2;
    }

    std::unique_ptr<QCoreApplication> app;
    if (command.headless)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talmir-pacs"));
    QCoreApplication::setApplicationVersion(QStringLiteral("6.1.63"));

    ServerController controller(command.home, command.text);
    echoToConsole(controller.log());
    auto ready = [&controller] {
        controller.log().writeLogDirect(QStringLiteral("Archive ready: ") + controller.home().path() + QStringLiteral(" (")
                                        + controller.companyCaption() + QLatin1Char(')'));
    };

    if (command.headless) {
        HeadlessPrompter prompter(controller.log());
        controller.setPrompter(&prompter);
        QTimer::singleShot(0, &controller, [&] {
            controller.load();
            ready();
        });
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
        ready();
    }, delayMs);
    splash->show();
    return app->exec();
}
