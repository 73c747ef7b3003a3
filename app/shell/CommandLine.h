#pragma once

#include <QString>
#include <QStringList>

namespace pacs {

// What the program was started with:
//   talmir-pacs [--headless] [--home DIR] [--trace] [1]
//   talmir-pacs [--home DIR] <command> [arguments...]
// "1" as the only other argument starts without listening. A first other
// argument that is a word names an operator command; everything after it
// belongs to the command.
struct CommandLine
{
    bool headless = false;
    bool trace = false;  // start with the settings dialog's Trace Mode on
    QString home;        // empty: the default home folder
    QString text;        // the remaining arguments as one string ("1" or "")
    QString command;     // an operator command, e.g. "search"
    QStringList commandArguments;
    bool showHelp = false;
    QString error;       // an argument that was not understood

    static CommandLine parse(const QStringList &arguments);
    static CommandLine fromMain(int argc, char **argv);
    // The application's name and version, for settings paths and --version.
    static void nameApplication();
    static QString usage();
    // Prints the error (if any) and the usage; the exit code for main: 0 for --help, 2 otherwise.
    static int reportUsage(const CommandLine &command);
};

} // namespace pacs
