#include "app/shell/ProgramUpdateCommand.h"

#include "app/shell/CommandLine.h"
#include "app/shell/ConsolePrompter.h"
#include "core/ActivityLog.h"
#include "core/SettingsStore.h"
#include "tools/ProgramUpdate.h"

#include <QObject>

namespace pacs {

int ProgramUpdateCommand::execute(const CommandLine &commandLine, std::FILE *out, std::FILE *err)
{
    const auto fail = [err](const QString &text) {
        std::fputs((text + QStringLiteral("\nUsage: program-update [--server URL] [--yes] [--target FILE]\n")).toLocal8Bit().constData(), err);
        return 2;
    };
    QString server;
    QString target;
    bool yes = false;
    const QStringList &arguments = commandLine.commandArguments;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (a == QLatin1String("--yes")) {
            yes = true;
        } else if (a == QLatin1String("--server") || a == QLatin1String("--target")) {
            if (i + 1 >= arguments.size())
                return fail(a + QStringLiteral(" needs a value"));
            (a == QLatin1String("--server") ? server : target) = arguments[++i];
        } else {
            return fail(QStringLiteral("Not understood: ") + a);
        }
    }

    SettingsStore settings;
    ActivityLog log;
    QObject::connect(&log, &ActivityLog::logLineAdded, [out](const QString &line) {
        std::fputs((line.trimmed() + QLatin1Char('\n')).toLocal8Bit().constData(), out);
        std::fflush(out);
    });
    tools::ProgramUpdate update(settings, log);
    update.setServerOverride(server);
    if (!target.isEmpty())
        update.setTarget(target);
    QStringList restart;
    if (!commandLine.home.isEmpty())
        restart << QStringLiteral("--home") << commandLine.home;
    update.setRestartArguments(restart);
    ConsolePrompter prompter(yes, out, err);
    const tools::ProgramUpdate::Outcome outcome = update.run(prompter);
    if (outcome == tools::ProgramUpdate::Outcome::Installed || outcome == tools::ProgramUpdate::Outcome::Restarted) {
        std::fputs((update.message() + QLatin1Char('\n')).toLocal8Bit().constData(), out);
        std::fflush(out);
        return 0;
    }
    return 1;
}

} // namespace pacs
