#include "app/shell/DatabaseCommands.h"

#include "core/HomeFolder.h"
#include "db/ArchiveMigration.h"
#include "db/ServerInstaller.h"

namespace pacs {

DatabaseCommands::DatabaseCommands(const HomeFolder &home, std::FILE *out, std::FILE *err)
    : CommandOutput(out, err), m_home(home)
{
}

bool DatabaseCommands::handles(const QString &command)
{
    return command == QLatin1String("install-db") || command == QLatin1String("migrate");
}

int DatabaseCommands::run(const QString &command, const QStringList &arguments)
{
    if (arguments.size() != 2 || arguments[0] != QLatin1String("--to")) {
        printError(QStringLiteral("Usage: ") + command + QStringLiteral(" --to \"Driver=PostgreSQL;Server=...;Database=...;Uid=...;Pwd=...\""));
        return 2;
    }
    QString error;
    QStringList report;
    bool done = false;
    if (command == QLatin1String("install-db")) {
        db::ServerInstaller installer(m_home);
        done = installer.install(arguments[1], error);
        report = installer.actions();
    } else {
        db::ArchiveMigration migration(m_home);
        done = migration.migrate(arguments[1], error);
        report = migration.report();
    }
    for (const QString &line : report)
        print(line);
    if (!done) {
        printError(error);
        if (command == QLatin1String("migrate"))
            printError(QStringLiteral("Nothing switched: the archive stays on ") + m_home.filePath(QStringLiteral("DBServer.txt")));
        return 1;
    }
    return 0;
}

} // namespace pacs
