#include "app/shell/CommandLine.h"

#include "app/shell/OperatorCommands.h"

#include <QCoreApplication>

#include <cstdio>

namespace pacs {

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine c;
    QStringList rest;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (!a.startsWith(QLatin1Char('-')) && a != QLatin1String("1") && rest.isEmpty()) {
            c.command = a;
            c.commandArguments = arguments.mid(i + 1);
            break;
        }
        if (a == QLatin1String("--headless")) {
            c.headless = true;
        } else if (a == QLatin1String("--trace")) {
            c.trace = true;
        } else if (a == QLatin1String("--home")) {
            if (i + 1 >= arguments.size()) {
                c.error = QStringLiteral("--home needs a folder");
                return c;
            }
            c.home = arguments[++i];
        } else if (a.startsWith(QLatin1String("--home="))) {
            c.home = a.mid(7);
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            c.showHelp = true;
        } else if (a.startsWith(QLatin1String("--"))) {
            c.error = QStringLiteral("Unknown option ") + a;
            return c;
        } else {
            rest << a;
        }
    }
    c.text = rest.join(QLatin1Char(' '));
    return c;
}

CommandLine CommandLine::fromMain(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return parse(arguments);
}

void CommandLine::nameApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("talmir-pacs"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PACS_VERSION));
}

QString CommandLine::usage()
{
    return QStringLiteral("Usage: talmir-pacs [--headless] [--home DIR] [--trace] [1]\n"
                          "       talmir-pacs [--home DIR] COMMAND [ARGUMENTS]\n"
                          "  --headless  run as a service, without windows\n"
                          "  --home DIR  folder of the connection files and the embedded archive\n"
                          "              (default: $XDG_DATA_HOME/talmir-pacs)\n"
                          "  --trace     Trace Mode on: statements of reception and query in the log\n"
                          "  1           start without listening\n"
                          "Settings are kept in $XDG_CONFIG_HOME/PACS/PACS.ini.\n"
                          "Commands (talmir-pacs help COMMAND for details):\n")
           + OperatorCommands::summary();
}

int CommandLine::reportUsage(const CommandLine &command)
{
    if (!command.error.isEmpty())
        std::fputs((command.error + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
    std::fputs(usage().toLocal8Bit().constData(), command.showHelp ? stdout : stderr);
    return command.showHelp ? 0 : 2;
}

} // namespace pacs
