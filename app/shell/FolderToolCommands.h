#pragma once

#include "app/shell/CommandOutput.h"

#include <QString>
#include <QStringList>

#include <cstdio>

namespace pacs {

class ServerController;

// The folder tools without a window: "check-names" ("Read Names" of "Check
// Mismatched names") and "transmit" ("Transmit" of "Folder Transmit"). They
// print the report or the progress line by line as the window shows it.
class FolderToolCommands : public CommandOutput
{
public:
    FolderToolCommands(ServerController &controller, std::FILE *out, std::FILE *err);

    static bool handles(const QString &command);
    int run(const QString &command, const QStringList &arguments);

private:
    int checkNames(const QStringList &arguments);
    int transmit(const QStringList &arguments);

    ServerController &m_controller;
};

} // namespace pacs
