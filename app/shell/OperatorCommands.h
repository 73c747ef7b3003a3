#pragma once

#include <QHash>
#include "app/shell/CommandOutput.h"
#include "browser/StudyInfoFields.h"

#include <QString>
#include <QStringList>

#include <cstdio>

namespace pacs {

class ServerController;
struct CommandLine;
namespace browser {
class GridModel;
class StudyInfo;
}

// The operator's commands without a window: `talmir-pacs --home DIR
// <command> ...`. Each goes through the same logic class as its button,
// prints what the window would show and returns the exit code (0 done,
// 1 the command failed, 2 it was not understood).
class OperatorCommands : public CommandOutput
{
public:
    OperatorCommands(ServerController &controller, std::FILE *out = stdout, std::FILE *err = stderr);

    // One line per command, for the usage text.
    static QString summary();
    static bool isCommand(const QString &name);
    // The program's entry for a command line that names a command: opens the
    // archive of the home folder, runs the command, returns the exit code.
    static int execute(const CommandLine &commandLine);
    int run(const QString &command, const QStringList &arguments);

private:
    static int executeCommand(const CommandLine &commandLine);
    int search(const QStringList &arguments);
    int series(const QStringList &arguments);
    int images(const QStringList &arguments);
    int listChosen(const QStringList &arguments, const QString &usage, browser::StudyInfoFields::Field field,
                   void (browser::StudyInfo::*load)(), browser::GridModel &(browser::StudyInfo::*grid)());
    int attributes(const QStringList &arguments);
    int sendStudies(const QStringList &arguments);
    int sendImage(const QStringList &arguments);
    int markSent(const QStringList &arguments);
    int sendCount(const QStringList &arguments);

    // Patient and study corrections.
    int changePatientId(const QStringList &arguments);
    int updatePatient(const QStringList &arguments);
    int newPatient(const QStringList &arguments);
    int updateStudy(const QStringList &arguments);
    int moveStudy(const QStringList &arguments);
    int newStudy(const QStringList &arguments);
    // Positional arguments and "--name value" options (only those allowed);
    // false after a message when the line does not fit.
    bool parseCorrection(const QStringList &arguments, int positionals, const QStringList &allowed,
                         QStringList &values, QHash<QString, QString> &options);
    // The message a correction showed: printed, and 0 for "DONE.", 1 otherwise.
    int correctionResult(const QString &message);

    // Runs the study search with the filter options: 0, 1 when the search
    // failed, 2 on an option not understood (each with a message).
    int listStudies(const QStringList &arguments, QStringList *rest = nullptr);
    // Queues through the outbox and waits until it has sent them (or holds them).
    int waitForOutbox(int timeoutSeconds);
    void printGrid(const browser::GridModel &grid, int columns);
    int usageError(const QString &text);

    // Archive maintenance: deletion and the series and image corrections.
    int deleteImage(const QStringList &arguments);
    int deleteStudy(const QStringList &arguments);
    int moveSeries(const QStringList &arguments);
    int moveImage(const QStringList &arguments);
    int editHeader(const QStringList &arguments);
    // Opens the image's series on "Study Info" and makes it the current row;
    // false with a message when the archive has no such image.
    bool chooseImage(const QString &instanceUid);
    // Prints a correction's message: 0 for "DONE.", 1 for anything else.
    int correctionOutcome(const QString &message);

    ServerController &m_controller;
};

} // namespace pacs
