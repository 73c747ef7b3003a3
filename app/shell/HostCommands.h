#pragma once

#include "app/shell/CommandOutput.h"

#include <QString>
#include <QStringList>

#include <cstdio>

namespace pacs {

class ServerController;
namespace tools {
class BrowseTableModel;
}

// The host framework's commands without a window: the remote AE list, the
// reference lists, "Default List Views" and "INIT VORN". The lists go
// through the same browse sequence and list model as their windows.
class HostCommands : public CommandOutput
{
public:
    HostCommands(ServerController &controller, std::FILE *out, std::FILE *err);

    static bool handles(const QString &command);
    int run(const QString &command, const QStringList &arguments);

private:
    int remoteAet(const QStringList &arguments);
    int referenceList(const QStringList &arguments);
    int defaultListViews(const QStringList &arguments);
    int initVorn(const QStringList &arguments);
    void printList(const tools::BrowseTableModel &model);

    ServerController &m_controller;
};

} // namespace pacs
