#pragma once

#include "tools/ServiceInstaller.h"

#include <QString>
#include <QStringList>
#include <cstdio>

namespace pacs {

// "Install as Service" for this installation, shared by the settings dialog
// and the command `install-service [--unit-dir DIR]`.
class ServiceCommands
{
public:
    // The service program next to this one, on this home folder, with this
    // user's settings; systemctl is run only for systemd's own unit folder
    // on a system where systemd runs.
    static tools::ServiceInstaller installerFor(const QString &homeFolder,
                                                const QString &unitFolder = tools::ServiceInstaller::systemUnitFolder());
    // The installer's report as the message box shows it.
    static QString reportText(const tools::ServiceInstaller &installer);
    // The command: 0 installed, 1 failed, 2 not understood.
    static int installService(const QString &homeFolder, const QStringList &arguments, std::FILE *out = stdout,
                              std::FILE *err = stderr);
};

} // namespace pacs
