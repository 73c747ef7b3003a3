#include "app/shell/ServiceCommands.h"

#include "core/SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>

namespace pacs {

namespace {
QString currentUser()
{
    const passwd *entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}
} // namespace

tools::ServiceInstaller ServiceCommands::installerFor(const QString &homeFolder, const QString &unitFolder)
{
    // Both programs are built into the same folder; the service is the one
    // without windows.
    const QString binary = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("talmir-pacsd"));
    // The settings file sits at <XDG_CONFIG_HOME>/PACS/PACS.ini.
    const QString configHome = QFileInfo(QFileInfo(SettingsStore::defaultFilePath()).absolutePath()).absolutePath();
    tools::ServiceInstaller installer(binary, homeFolder, configHome);
    installer.setUnitFolder(unitFolder);
    installer.setUser(currentUser());
    if (QDir(unitFolder).absolutePath() == tools::ServiceInstaller::systemUnitFolder())
        installer.setSystemctl(tools::ServiceInstaller::runningSystemctl());
    return installer;
}

QString ServiceCommands::reportText(const tools::ServiceInstaller &installer)
{
    return installer.report().join(QLatin1Char('\n'));
}

int ServiceCommands::installService(const QString &homeFolder, const QStringList &arguments, std::FILE *out, std::FILE *err)
{
    QString unitFolder = tools::ServiceInstaller::systemUnitFolder();
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--unit-dir") && i + 1 < arguments.size()) {
            unitFolder = arguments[++i];
        } else {
            std::fputs((QStringLiteral("Not understood: ") + arguments[i]
                        + QStringLiteral("\nUsage: install-service [--unit-dir DIR]\n"))
                           .toLocal8Bit()
                           .constData(),
                       err);
            return 2;
        }
    }
    tools::ServiceInstaller installer = installerFor(homeFolder, unitFolder);
    const bool done = installer.install();
    std::fputs((reportText(installer) + QLatin1Char('\n')).toLocal8Bit().constData(), done ? out : err);
    return done ? 0 : 1;
}

} // namespace pacs
