#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

namespace pacs {

class ServerController;

// The folder tools without a window: "check-names" ("Read Names" of "Check
// Mismatched names") and "transmit" ("Transmit" of "Folder Transmit"). They
// print the report or the progress line by line as the window shows it.
class FolderToolCommands
{
public:
    FolderToolCommands(ServerController &controller, std::FILE *out, std::FILE *err);

    static bool handles(const QString &command);
    int run(const QString &command, const QStringList &arguments);

private:
    int checkNames(const QStringList &arguments);
    int transmit(const QStringList &arguments);
    void print(const QString &text);
    void printError(const QString &text);

    ServerController &m_controller;
    std::FILE *m_out;
    std::FILE *m_err;
};

} // namespace pacs
