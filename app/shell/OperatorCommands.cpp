#include "app/shell/OperatorCommands.h"

#include "app/shell/CommandLine.h"
#include "app/shell/HostCommands.h"
#include "app/shell/ProgramUpdateCommand.h"
#include "app/shell/FolderToolCommands.h"
#include "dicom/toolkit/ToolkitUtility.h"
#include "app/shell/ServerController.h"
#include "app/shell/DatabaseCommands.h"
#include "app/shell/ServiceCommands.h"
#include "browser/ArchiveDeletion.h"
#include "browser/GridModel.h"
#include "browser/PatientStudyCorrections.h"
#include "browser/SeriesImageCorrections.h"
#include "browser/StudyInfo.h"
#include "browser/StudyInfoFields.h"
#include "browser/StudyListSearch.h"
#include "browser/SyncStatusCommands.h"
#include "browser/StudyFilter.h"
#include "db/ArchiveConnection.h"
#include "core/Prompter.h"
#include "db/SqlText.h"

#include <QCoreApplication>
#include <QDate>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTime>

namespace pacs {

namespace {
struct CommandHelp
{
    const char *name;
    const char *arguments;
    const char *what;
};

const CommandHelp kCommands[] = {
    {"search", "[FILTERS]", "the study list of \"Browse Data\" (at most 1000 rows)"},
    {"series", "STUDY_UID", "the series of a study"},
    {"images", "SERIES_UID", "the images of a series (at most 1000)"},
    {"attributes", "INSTANCE_UID", "the attribute listing of a stored image"},
    {"send-studies", "[FILTERS] [--timeout S]", "\"Send Selected\" for every listed study, waits for the outbox"},
    {"send-image", "INSTANCE_UID [--timeout S]", "\"Send Image\", waits for the outbox"},
    {"mark-sent", "[FILTERS]", "\"Mark Listed:Sent\" for every listed study"},
    {"send-count", "[FILTERS]", "the \"Send Count \" report over the listed studies"},
    {"change-patient-id", "OLD_ID NEW_ID", "\"Change Patient ID of studies\": every study and the patient row"},
    {"update-patient", "ID [--last L] [--first F] [--middle M] [--birth M/D/YYYY] [--sex M|F|O]",
     "\"Update Patient\"; what is not given keeps its value"},
    {"new-patient", "ID --last L --first F [--middle M] [--birth M/D/YYYY] [--sex M|F|O]", "\"New Patient\""},
    {"update-study", "STUDY_UID [--patient-id ID] [--date M/D/YYYY] [--time hh:mm:ss] [--accession A] [--description D]",
     "\"Update Study\" (study details); what is not given keeps its value"},
    {"move-study", "STUDY_UID PATIENT_ID", "\"Update Study\" beside \"New pat ID:\": the study to another patient"},
    {"new-study", "PATIENT_ID --date M/D/YYYY --time hh:mm:ss [--accession A] [--uid UID]",
     "\"New STUDY\" with a generated Study UID (or the one given); prints the UID"},
    {"delete-image", "INSTANCE_UID", "\"Delete Image\": its row, then its file"},
    {"delete-study", "STUDY_UID --yes", "\"Delete Study\": its images, series and study row (the patient stays)"},
    {"move-series", "SERIES_UID STUDY_UID", "\"Update Series\": the series belongs to another study"},
    {"move-image", "INSTANCE_UID SERIES_UID", "\"Update Image\": the image belongs to another series"},
    {"edit-header", "INSTANCE_UID --patient-name N [--patient-id ID] [--birth-date M/D/YYYY] [--sex S]\n"
                    "        [--study-description D] [--accession NUMBER]",
     "\"Edit Image Details\": rewrites these elements in the stored file"},
    {"remote-aet", "list | add AET HOST PORT | delete AET", "\"Remote AETs\": the C-MOVE destinations (RemoteAETs)"},
    {"reference-list", "doctors|pacs-patients|his-patients [FIND1 [FIND2]]", "\"Doctors\", \"PACS Patients\", \"HIS Patients\""},
    {"default-list-views", "[REMOTEAET|PACSPatientList|tbMaster|ALL]", "\"Default List Views\" (empty: all three)"},
    {"init-vorn", "", "\"INIT VORN\": the host framework set up and its database utilities"},
    {"install-service", "[--unit-dir DIR]", "\"Install as Service\": a systemd unit running talmir-pacsd on this home folder"},
    {"program-update", "[--server URL] [--yes] [--target FILE]", "\"Program Update\": the new program from the update server"},
    {"check-names", "[DIR] [--transmit]",
     "\"Read Names\": patient names in the files below DIR (the storage root) against the archive"},
    {"transmit", "DIR [--ext DCM]", "\"Transmit\": every file of DIR to the storage node"},
    {"install-db", "--to CONNECTION", "the archive's and HIS schemas on an empty PostgreSQL database; DBServer.txt names it"},
    {"migrate", "--to CONNECTION", "the embedded archive copied onto a PostgreSQL database, then DBServer.txt switched"},
};

const char *kFilterHelp =
    "FILTERS: --patient-id ID --last PREFIX --first PREFIX --accession NUMBER --study-number NUMBER\n"
    "         --modality CR,CT,... (CR CT MR US NM XC MG; one other code too) --date M/D/YYYY [--to M/D/YYYY]\n"
    "         --pending-result --pending-interpretation\n";
} // namespace

OperatorCommands::OperatorCommands(ServerController &controller, std::FILE *out, std::FILE *err)
    : CommandOutput(out, err), m_controller(controller)
{
}

QString OperatorCommands::summary()
{
    QString text;
    for (const CommandHelp &c : kCommands)
        text += QStringLiteral("  %1 %2\n      %3\n").arg(QLatin1String(c.name), QLatin1String(c.arguments), QLatin1String(c.what));
    return text + QLatin1String(kFilterHelp);
}

bool OperatorCommands::isCommand(const QString &name)
{
    for (const CommandHelp &c : kCommands)
        if (name == QLatin1String(c.name))
            return true;
    return false;
}

int OperatorCommands::execute(const CommandLine &commandLine)
{
    const int code = executeCommand(commandLine);
    // The archive is closed; an association still being closed on a network
    // thread must end before the process's exit tears down what it uses.
    toolkit::ToolkitUtility::waitForNetworkThreads(5000);
    return code;
}

int OperatorCommands::executeCommand(const CommandLine &commandLine)
{
    if (commandLine.command == QLatin1String("help")) {
        std::fputs(CommandLine::usage().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!isCommand(commandLine.command)) {
        std::fputs((QStringLiteral("Unknown command ") + commandLine.command + QLatin1Char('\n') + CommandLine::usage())
                       .toLocal8Bit()
                       .constData(),
                   stderr);
        return 2;
    }
    if (commandLine.command == QLatin1String(ProgramUpdateCommand::Name))
        return ProgramUpdateCommand::execute(commandLine);
    ServerController controller(commandLine.home, QString());
    // Error-box lines are the command's messages; the activity log stays quiet.
    QObject::connect(&controller.log(), &ActivityLog::errorLineAdded, [](const QString &line) {
        std::fputs((line.trimmed() + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
    });
    if (commandLine.command == QLatin1String("install-service")) // needs no archive
        return ServiceCommands::installService(controller.home().path(), commandLine.commandArguments);
    if (DatabaseCommands::handles(commandLine.command)) // the archive moves: none is open
        return DatabaseCommands(controller.home()).run(commandLine.command, commandLine.commandArguments);
    QString error;
    if (!controller.openArchive(error)) {
        std::fputs((error + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
        return 1;
    }
    // Commands that send (transmit, the outbox) do so from this process, with
    // the server's TLS settings; a failed load is said here and refuses sends.
    controller.server().applyTlsSettings();
    OperatorCommands commands(controller);
    return commands.run(commandLine.command, commandLine.commandArguments);
}

int OperatorCommands::run(const QString &command, const QStringList &arguments)
{
    if (command == QLatin1String("search"))
        return search(arguments);
    if (command == QLatin1String("series"))
        return series(arguments);
    if (command == QLatin1String("images"))
        return images(arguments);
    if (command == QLatin1String("attributes"))
        return attributes(arguments);
    if (command == QLatin1String("send-studies"))
        return sendStudies(arguments);
    if (command == QLatin1String("send-image"))
        return sendImage(arguments);
    if (command == QLatin1String("mark-sent"))
        return markSent(arguments);
    if (command == QLatin1String("send-count"))
        return sendCount(arguments);
    if (command == QLatin1String("change-patient-id"))
        return changePatientId(arguments);
    if (command == QLatin1String("update-patient"))
        return updatePatient(arguments);
    if (command == QLatin1String("new-patient"))
        return newPatient(arguments);
    if (command == QLatin1String("update-study"))
        return updateStudy(arguments);
    if (command == QLatin1String("move-study"))
        return moveStudy(arguments);
    if (command == QLatin1String("new-study"))
        return newStudy(arguments);
    if (command == QLatin1String("delete-image"))
        return deleteImage(arguments);
    if (command == QLatin1String("delete-study"))
        return deleteStudy(arguments);
    if (command == QLatin1String("move-series"))
        return moveSeries(arguments);
    if (command == QLatin1String("move-image"))
        return moveImage(arguments);
    if (command == QLatin1String("edit-header"))
        return editHeader(arguments);
    if (FolderToolCommands::handles(command))
        return FolderToolCommands(m_controller, m_out, m_err).run(command, arguments);
    if (HostCommands::handles(command))
        return HostCommands(m_controller, m_out, m_err).run(command, arguments);
    return usageError(QStringLiteral("Unknown command ") + command);
}

int OperatorCommands::usageError(const QString &text)
{
    printError(text);
    printError(QStringLiteral("Commands:\n") + summary());
    return 2;
}

void OperatorCommands::printGrid(const browser::GridModel &grid, int columns)
{
    for (int row = 0; row < grid.rows(); ++row) {
        QStringList cells;
        for (int c = 0; c < columns && c < grid.cols(); ++c)
            cells << (row == 0 ? grid.cell(row, c).trimmed() : grid.cell(row, c));
        print(cells.join(QLatin1Char('\t')));
    }
}

int OperatorCommands::waitForOutbox(int timeoutSeconds)
{
    Outbox &outbox = m_controller.outbox();
    outbox.load();
    outbox.NewOutgoing();
    QDeadlineTimer deadline(qint64(timeoutSeconds) * 1000);
    while (!outbox.isIdle() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (!outbox.isIdle()) {
        printError(QStringLiteral("The outbox has not finished within %1 s; %2 entries are left.")
                       .arg(timeoutSeconds)
                       .arg(outbox.outgoingList().size()));
        return 1;
    }
    if (outbox.heldCount() > 0) {
        printError(QStringLiteral("The storage node refused %1 entries; they stay in the outbox.").arg(outbox.heldCount()));
        return 1;
    }
    print(QStringLiteral("Sent."));
    return 0;
}

int OperatorCommands::listStudies(const QStringList &arguments, QStringList *rest)
{
    browser::StudyFilter filter;
    filter.allDates = true;
    auto dateOf = [this](const QString &text, QDate &date) {
        date = QDate::fromString(text, QStringLiteral("M/d/yyyy"));
        if (!date.isValid())
            printError(QStringLiteral("Not a date (M/D/YYYY): ") + text);
        return date.isValid();
    };
    static const QStringList valueOptions = {
        QStringLiteral("--patient-id"), QStringLiteral("--last"), QStringLiteral("--first"), QStringLiteral("--accession"),
        QStringLiteral("--study-number"), QStringLiteral("--date"), QStringLiteral("--to"), QStringLiteral("--modality"),
    };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (a == QLatin1String("--pending-result")) {
            filter.pendingResult = true;
            continue;
        }
        if (a == QLatin1String("--pending-interpretation")) {
            filter.noResult = true;
            continue;
        }
        if (!valueOptions.contains(a)) {
            if (!rest) {
                printError(QStringLiteral("Not understood: ") + a);
                return 2;
            }
            *rest << a; // the command's own
            continue;
        }
        if (i + 1 >= arguments.size()) {
            printError(a + QStringLiteral(" needs a value"));
            return 2;
        }
        const QString value = arguments[++i];
        if (a == QLatin1String("--patient-id")) {
            filter.hospNum = value;
        } else if (a == QLatin1String("--last")) {
            filter.lastName = value;
        } else if (a == QLatin1String("--first")) {
            filter.firstName = value;
        } else if (a == QLatin1String("--accession")) {
            filter.accessionNumber = value;
        } else if (a == QLatin1String("--study-number")) {
            filter.fileNum = value;
        } else if (a == QLatin1String("--date")) {
            filter.allDates = false;
            if (!dateOf(value, filter.startDate))
                return 2;
        } else if (a == QLatin1String("--to")) {
            filter.range = true;
            if (!dateOf(value, filter.endDate))
                return 2;
        } else {
            for (const QString &code : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                const QString m = code.trimmed().toUpper();
                bool *box = m == QLatin1String("CR")   ? &filter.cr
                            : m == QLatin1String("CT") ? &filter.ct
                            : m == QLatin1String("MR") ? &filter.mr
                            : m == QLatin1String("US") ? &filter.us
                            : m == QLatin1String("NM") ? &filter.nm
                            : m == QLatin1String("XC") ? &filter.xc
                            : m == QLatin1String("MG") ? &filter.mg
                                                       : nullptr;
                if (box) {
                    *box = true;
                } else if (filter.otherModality.isEmpty()) {
                    filter.otherModality = m;
                } else {
                    printError(QStringLiteral("Only one modality besides CR CT MR US NM XC MG: ") + m);
                    return 2;
                }
            }
        }
    }
    if (filter.range && filter.allDates) {
        printError(QStringLiteral("--to needs --date"));
        return 2;
    }
    browser::StudyListSearch &studies = m_controller.studyList();
    studies.setFilter(filter);
    QString message;
    bool failed = false;
    const QMetaObject::Connection onMessage = QObject::connect(
        &studies, &browser::StudyListSearch::errorMessage, [&message](const QString &text) { message = text; });
    // The window shows the log page when the statement failed.
    const QMetaObject::Connection onFailure = QObject::connect(
        &studies, &browser::StudyListSearch::tabRequested,
        [&failed](int tab) { failed = failed || tab == browser::StudyListSearch::LogTab; });
    m_controller.stopSearching(); // as the search button does
    studies.Search_Exam(false);
    QObject::disconnect(onMessage);
    QObject::disconnect(onFailure);
    if (!message.isEmpty())
        printError(message);
    if (failed || !message.isEmpty()) {
        printError(QStringLiteral("The search failed."));
        return 1;
    }
    return 0;
}

int OperatorCommands::search(const QStringList &arguments)
{
    if (const int code = listStudies(arguments); code != 0)
        return code;
    browser::GridModel &grid = m_controller.studyList().grid();
    printGrid(grid, grid.cols() - 1); // the last column has no caption and no content
    print(m_controller.studyList().countText() + QStringLiteral(" studies"));
    return 0;
}

// The commands over the listed studies act on all of them, as if the
// operator had selected every row.
static void selectAll(browser::GridModel &grid)
{
    if (grid.rows() > 1) {
        grid.setRow(1);
        grid.setRowSel(grid.rows() - 1);
    }
}

int OperatorCommands::sendStudies(const QStringList &arguments)
{
    QStringList rest;
    if (const int code = listStudies(arguments, &rest); code != 0)
        return code;
    const bool hasTimeout = rest.size() == 2 && rest[0] == QLatin1String("--timeout");
    const int timeout = hasTimeout ? rest[1].toInt() : 300;
    if (timeout <= 0 || (!rest.isEmpty() && !hasTimeout))
        return usageError(QStringLiteral("Not understood: ") + rest.join(QLatin1Char(' ')));
    selectAll(m_controller.studyList().grid());
    const int queued = m_controller.syncCommands().SendSelected();
    print(QStringLiteral("%1 studies queued.").arg(queued));
    return queued > 0 ? waitForOutbox(timeout) : 0;
}

int OperatorCommands::markSent(const QStringList &arguments)
{
    if (const int code = listStudies(arguments); code != 0)
        return code;
    selectAll(m_controller.studyList().grid());
    const int listed = m_controller.studyList().grid().rows() - 1;
    const int marked = m_controller.syncCommands().MarkListedAsSent();
    print(QStringLiteral("%1 of %2 listed studies marked as sent.").arg(marked).arg(listed));
    return marked == listed ? 0 : 1;
}

int OperatorCommands::sendCount(const QStringList &arguments)
{
    if (const int code = listStudies(arguments); code != 0)
        return code;
    QString report = m_controller.syncCommands().SyncStatusReport();
    print(report.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    return 0;
}

int OperatorCommands::series(const QStringList &arguments)
{
    return listChosen(arguments, QStringLiteral("series needs one study UID"), browser::StudyInfoFields::StudyUid,
                      &browser::StudyInfo::LoadSeriesList, &browser::StudyInfo::seriesGrid);
}

int OperatorCommands::images(const QStringList &arguments)
{
    return listChosen(arguments, QStringLiteral("images needs one series UID"), browser::StudyInfoFields::SeriesUid,
                      &browser::StudyInfo::LoadImageList, &browser::StudyInfo::imageGrid);
}

// One UID into its box, the list loaded as "Study Info" loads it, the grid printed.
int OperatorCommands::listChosen(const QStringList &arguments, const QString &usage, browser::StudyInfoFields::Field field,
                                 void (browser::StudyInfo::*load)(), browser::GridModel &(browser::StudyInfo::*grid)())
{
    if (arguments.size() != 1)
        return usageError(usage);
    browser::StudyInfo &info = m_controller.studyInfo();
    m_controller.studyFields().setValue(field, arguments[0]);
    (info.*load)();
    printGrid((info.*grid)(), browser::StudyInfo::GridColumns);
    return 0;
}

int OperatorCommands::attributes(const QStringList &arguments)
{
    if (arguments.size() != 1)
        return usageError(QStringLiteral("attributes needs one instance UID"));
    const QString uid = arguments[0];
    // The image's series first, as the operator would open it on "Study Info".
    bool failed = false;
    db::ResultSet rows = m_controller.connection().ExecuteSQL(
        QStringLiteral("select SeriesUID_FKey from imagetable where InstanceUID='") + db::Quote(uid) + QLatin1Char('\''), failed);
    const QString seriesUid = rows.isNone() || rows.atEnd() ? QString() : rows.text(0);
    rows.close();
    if (seriesUid.isEmpty()) {
        printError(QStringLiteral("No image ") + uid + QStringLiteral(" in the archive."));
        return 1;
    }
    browser::StudyInfo &info = m_controller.studyInfo();
    m_controller.studyFields().setValue(browser::StudyInfoFields::SeriesUid, seriesUid);
    info.LoadImageList();
    browser::GridModel &grid = info.imageGrid();
    for (int row = 1; row < grid.rows(); ++row) {
        if (grid.cell(row, 0) == uid) {
            grid.setRow(row);
            info.ShowImageRow();
            break;
        }
    }
    if (info.attributeList().isEmpty()) {
        printError(QStringLiteral("The file of image ") + uid + QStringLiteral(" could not be read."));
        return 1;
    }
    std::fputs(info.attributeList().toLocal8Bit().constData(), m_out);
    std::fflush(m_out);
    return 0;
}

int OperatorCommands::sendImage(const QStringList &arguments)
{
    QStringList rest;
    int timeout = 300;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--timeout") && i + 1 < arguments.size())
            timeout = arguments[++i].toInt();
        else
            rest << arguments[i];
    }
    if (rest.size() != 1 || timeout <= 0)
        return usageError(QStringLiteral("send-image needs one instance UID"));
    m_controller.studyFields().setValue(browser::StudyInfoFields::InstanceUid, rest[0]);
    if (!m_controller.syncCommands().SendImage())
        return 1;
    return waitForOutbox(timeout);
}

// Patient and study corrections: the form's boxes are set from the command
// line, then the button's command runs and its message box is printed.

bool OperatorCommands::parseCorrection(const QStringList &arguments, int positionals, const QStringList &allowed,
                                       QStringList &values, QHash<QString, QString> &options)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (!a.startsWith(QLatin1String("--"))) {
            values << a;
            continue;
        }
        if (!allowed.contains(a)) {
            usageError(QStringLiteral("Not understood: ") + a);
            return false;
        }
        if (i + 1 >= arguments.size()) {
            usageError(a + QStringLiteral(" needs a value"));
            return false;
        }
        options.insert(a, arguments[++i]);
    }
    if (values.size() != positionals || values.contains(QString())) {
        usageError(QStringLiteral("Expected %1 argument(s) before the options").arg(positionals));
        return false;
    }
    // Dates, times and sexes as the boxes expect them; anything else would be stored as typed.
    for (const QString &name : {QStringLiteral("--date"), QStringLiteral("--birth")}) {
        if (options.contains(name)
            && !QDate::fromString(options.value(name), QStringLiteral("M/d/yyyy")).isValid()) {
            usageError(QStringLiteral("Not a date (M/D/YYYY): ") + options.value(name));
            return false;
        }
    }
    if (options.contains(QStringLiteral("--time"))
        && !QTime::fromString(options.value(QStringLiteral("--time")), QStringLiteral("HH:mm:ss")).isValid()) {
        usageError(QStringLiteral("Not a time (hh:mm:ss): ") + options.value(QStringLiteral("--time")));
        return false;
    }
    static const QStringList sexes = {QStringLiteral("M"), QStringLiteral("F"), QStringLiteral("O")};
    if (options.contains(QStringLiteral("--sex")) && !sexes.contains(options.value(QStringLiteral("--sex")))) {
        usageError(QStringLiteral("--sex is M, F or O: ") + options.value(QStringLiteral("--sex")));
        return false;
    }
    return true;
}

int OperatorCommands::correctionResult(const QString &message)
{
    if (message == QLatin1String(browser::PatientStudyCorrections::Done)) {
        print(message);
        return 0;
    }
    printError(message.isEmpty() ? QStringLiteral("Nothing was done.") : message);
    return 1;
}

int OperatorCommands::changePatientId(const QStringList &arguments)
{
    QStringList values;
    QHash<QString, QString> options;
    if (!parseCorrection(arguments, 2, {}, values, options))
        return 2;
    browser::PatientStudyCorrections &corrections = m_controller.patientStudyCorrections();
    corrections.form().changeOldId = values[0];
    corrections.form().changeNewId = values[1];
    return correctionResult(corrections.cmdChangeID());
}

int OperatorCommands::updatePatient(const QStringList &arguments)
{
    QStringList values;
    QHash<QString, QString> options;
    if (!parseCorrection(arguments, 1,
                         {QStringLiteral("--last"), QStringLiteral("--first"), QStringLiteral("--middle"),
                          QStringLiteral("--birth"), QStringLiteral("--sex")},
                         values, options))
        return 2;
    browser::PatientStudyCorrections &corrections = m_controller.patientStudyCorrections();
    browser::PatientStudyForm &f = corrections.form();
    // Enter in the ID box first, as the operator does: the boxes show the row.
    f.updatePatientId = values[0];
    if (const QString message = corrections.lookUpPatient(); !message.isEmpty())
        return correctionResult(message);
    f.updateLastName = options.value(QStringLiteral("--last"), f.updateLastName);
    f.updateFirstName = options.value(QStringLiteral("--first"), f.updateFirstName);
    f.updateMiddleName = options.value(QStringLiteral("--middle"), f.updateMiddleName);
    f.updateBirthDate = options.value(QStringLiteral("--birth"), f.updateBirthDate);
    f.updateSex = options.value(QStringLiteral("--sex"), f.updateSex);
    return correctionResult(corrections.cmdUpdatePatient());
}

int OperatorCommands::newPatient(const QStringList &arguments)
{
    QStringList values;
    QHash<QString, QString> options;
    if (!parseCorrection(arguments, 1,
                         {QStringLiteral("--last"), QStringLiteral("--first"), QStringLiteral("--middle"),
                          QStringLiteral("--birth"), QStringLiteral("--sex")},
                         values, options))
        return 2;
    if (!options.contains(QStringLiteral("--last")) || !options.contains(QStringLiteral("--first")))
        return usageError(QStringLiteral("new-patient needs --last and --first"));
    browser::PatientStudyCorrections &corrections = m_controller.patientStudyCorrections();
    browser::PatientStudyForm &f = corrections.form();
    f.newPatientId = values[0];
    f.last = options.value(QStringLiteral("--last"));
    f.first = options.value(QStringLiteral("--first"));
    f.middle = options.value(QStringLiteral("--middle"));
    f.birthDate = options.value(QStringLiteral("--birth"));
    f.sex = options.value(QStringLiteral("--sex"));
    return correctionResult(corrections.cmdNewPat());
}

int OperatorCommands::updateStudy(const QStringList &arguments)
{
    QStringList values;
    QHash<QString, QString> options;
    if (!parseCorrection(arguments, 1,
                         {QStringLiteral("--patient-id"), QStringLiteral("--date"), QStringLiteral("--time"),
                          QStringLiteral("--accession"), QStringLiteral("--description")},
                         values, options))
        return 2;
    browser::PatientStudyCorrections &corrections = m_controller.patientStudyCorrections();
    browser::PatientStudyForm &f = corrections.form();
    m_controller.studyFields().setValue(browser::StudyInfoFields::UpdateStudyUid, values[0]);
    if (const QString message = corrections.lookUpStudy(); !message.isEmpty())
        return correctionResult(message);
    f.updateStudyPatientId = options.value(QStringLiteral("--patient-id"), f.updateStudyPatientId);
    f.updateStudyDate = options.value(QStringLiteral("--date"), f.updateStudyDate);
    f.updateStudyTime = options.value(QStringLiteral("--time"), f.updateStudyTime);
    f.updateStudyAccessionNumber = options.value(QStringLiteral("--accession"), f.updateStudyAccessionNumber);
    f.updateStudyDesc = options.value(QStringLiteral("--description"), f.updateStudyDesc);
    return correctionResult(corrections.cmdUpdateStudy2());
}

int OperatorCommands::moveStudy(const QStringList &arguments)
{
    QStringList values;
    QHash<QString, QString> options;
    if (!parseCorrection(arguments, 2, {}, values, options))
        return 2;
    m_controller.studyFields().setValue(browser::StudyInfoFields::StudyUid, values[0]);
    m_controller.studyFields().setValue(browser::StudyInfoFields::NewPatientIdForStudy, values[1]);
    return correctionResult(m_controller.patientStudyCorrections().cmdUpdateStudy());
}

int OperatorCommands::newStudy(const QStringList &arguments)
{
    QStringList values;
    QHash<QString, QString> options;
    if (!parseCorrection(arguments, 1,
                         {QStringLiteral("--date"), QStringLiteral("--time"), QStringLiteral("--accession"),
                          QStringLiteral("--uid")},
                         values, options))
        return 2;
    if (!options.contains(QStringLiteral("--date")) || !options.contains(QStringLiteral("--time")))
        return usageError(QStringLiteral("new-study needs --date and --time"));
    browser::PatientStudyCorrections &corrections = m_controller.patientStudyCorrections();
    browser::PatientStudyForm &f = corrections.form();
    if (options.contains(QStringLiteral("--uid")))
        f.newStudyUid = options.value(QStringLiteral("--uid"));
    else
        corrections.cmdGenerateStudyUID();
    f.newStudyPatientId = values[0];
    f.newStudyDate = options.value(QStringLiteral("--date"));
    f.newStudyTime = options.value(QStringLiteral("--time"));
    f.newStudyAccessionNum = options.value(QStringLiteral("--accession"));
    const int code = correctionResult(corrections.cmdCreateStudyUID());
    if (code == 0)
        print(f.newStudyUid);
    return code;
}

// Archive maintenance ------------------------------------------------------

bool OperatorCommands::chooseImage(const QString &instanceUid)
{
    bool failed = false;
    db::ResultSet rows = m_controller.connection().ExecuteSQL(
        QStringLiteral("select SeriesUID_FKey from imagetable where InstanceUID='") + db::Quote(instanceUid) + QLatin1Char('\''),
        failed);
    const QString seriesUid = rows.isNone() || rows.atEnd() ? QString() : rows.text(0);
    rows.close();
    if (seriesUid.isEmpty()) {
        printError(QStringLiteral("No image ") + instanceUid + QStringLiteral(" in the archive."));
        return false;
    }
    browser::StudyInfo &info = m_controller.studyInfo();
    m_controller.studyFields().setValue(browser::StudyInfoFields::SeriesUid, seriesUid);
    info.LoadImageList();
    browser::GridModel &grid = info.imageGrid();
    for (int row = 1; row < grid.rows(); ++row) {
        if (grid.cell(row, 0) == instanceUid) {
            grid.setRow(row);
            info.ShowImageRow();
            return true;
        }
    }
    printError(QStringLiteral("Image ") + instanceUid + QStringLiteral(" is not among the first images of its series."));
    return false;
}

int OperatorCommands::correctionOutcome(const QString &message)
{
    if (message == browser::SeriesImageCorrections::doneText()) {
        print(message);
        return 0;
    }
    printError(message.isEmpty() ? QStringLiteral("Nothing was changed.") : message);
    return 1;
}

int OperatorCommands::deleteImage(const QStringList &arguments)
{
    if (arguments.size() != 1)
        return usageError(QStringLiteral("delete-image needs one instance UID"));
    if (!chooseImage(arguments[0]))
        return 1;
    browser::ArchiveDeletion &deletion = m_controller.deletion();
    const QString message = deletion.cmdDeleteImage();
    if (!message.isEmpty()) {
        printError(message);
        return 1;
    }
    for (const QString &file : deletion.filesLeft())
        printError(QStringLiteral("The file could not be removed: ") + file);
    print(QStringLiteral("Image ") + arguments[0] + QStringLiteral(" deleted."));
    return 0;
}

namespace {
// The operator's --yes, given before the question is asked.
class YesPrompter : public Prompter
{
public:
    bool askYesNo(const QString &) override { return true; }
    void inform(const QString &) override {}
};
} // namespace

int OperatorCommands::deleteStudy(const QStringList &arguments)
{
    QStringList rest = arguments;
    const bool yes = rest.removeAll(QStringLiteral("--yes")) > 0;
    if (rest.size() != 1)
        return usageError(QStringLiteral("delete-study needs one study UID"));
    const QString question = QStringLiteral("Delete Study ") + rest[0] + QStringLiteral("?");
    if (!yes) {
        printError(question + QStringLiteral(" Not answered: give --yes to delete."));
        return 1;
    }
    YesPrompter answer;
    Prompter *previous = m_controller.prompter();
    m_controller.setPrompter(&answer);
    m_controller.studyFields().setValue(browser::StudyInfoFields::StudyUid, rest[0]);
    browser::ArchiveDeletion &deletion = m_controller.deletion();
    const QString message = deletion.cmdDeleteStudy();
    m_controller.setPrompter(previous);
    for (const QString &file : deletion.filesLeft())
        printError(QStringLiteral("The file could not be removed: ") + file);
    if (message != QLatin1String("Done.")) {
        printError(message);
        return 1;
    }
    print(message);
    return 0;
}

int OperatorCommands::moveSeries(const QStringList &arguments)
{
    if (arguments.size() != 2)
        return usageError(QStringLiteral("move-series needs a series UID and a study UID"));
    browser::StudyInfoFields &fields = m_controller.studyFields();
    fields.setValue(browser::StudyInfoFields::SeriesUidToUpdate, arguments[0]);
    fields.setValue(browser::StudyInfoFields::SeriesStudyUid, arguments[1]);
    return correctionOutcome(m_controller.seriesCorrections().cmdUpdateSeriesStudyUID());
}

int OperatorCommands::moveImage(const QStringList &arguments)
{
    if (arguments.size() != 2)
        return usageError(QStringLiteral("move-image needs an instance UID and a series UID"));
    browser::StudyInfoFields &fields = m_controller.studyFields();
    fields.setValue(browser::StudyInfoFields::InstanceUid, arguments[0]);
    fields.setValue(browser::StudyInfoFields::ImageSeriesUid, arguments[1]);
    return correctionOutcome(m_controller.seriesCorrections().cmdUpdateImageSeriesUID());
}

int OperatorCommands::editHeader(const QStringList &arguments)
{
    if (arguments.isEmpty() || arguments[0].startsWith(QLatin1String("--")))
        return usageError(QStringLiteral("edit-header needs an instance UID"));
    browser::ImageDetailsFields typed;
    QStringList given;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &option = arguments[i];
        QString *box = option == QLatin1String("--patient-name")        ? &typed.patientName
                       : option == QLatin1String("--patient-id")        ? &typed.patientId
                       : option == QLatin1String("--birth-date")        ? &typed.birthDate
                       : option == QLatin1String("--sex")               ? &typed.sex
                       : option == QLatin1String("--study-description") ? &typed.studyDescription
                       : option == QLatin1String("--accession")         ? &typed.accessionNumber
                                                                        : nullptr;
        if (!box || i + 1 >= arguments.size())
            return usageError(box ? option + QStringLiteral(" needs a value") : QStringLiteral("Not understood: ") + option);
        *box = arguments[++i];
        given << option;
    }
    if (!given.contains(QStringLiteral("--patient-name")))
        return usageError(QStringLiteral("edit-header needs --patient-name"));
    if (!chooseImage(arguments[0]))
        return 1;
    browser::SeriesImageCorrections &corrections = m_controller.seriesCorrections();
    if (!corrections.cmdUpdateImgDetails()) {
        printError(QStringLiteral("The file of image ") + arguments[0] + QStringLiteral(" could not be read."));
        return 1;
    }
    // The boxes start from the file's values; the options overwrite them.
    browser::ImageDetailsFields &details = corrections.imageDetails();
    const auto take = [&given](const char *option, QString &box, const QString &value) {
        if (given.contains(QLatin1String(option)))
            box = value;
    };
    take("--patient-name", details.patientName, typed.patientName);
    take("--patient-id", details.patientId, typed.patientId);
    take("--birth-date", details.birthDate, typed.birthDate);
    take("--sex", details.sex, typed.sex);
    take("--study-description", details.studyDescription, typed.studyDescription);
    take("--accession", details.accessionNumber, typed.accessionNumber);
    if (!corrections.cmdUpdateDetails())
        return 1; // the error-box line has been printed
    print(QStringLiteral("Image ") + arguments[0] + QStringLiteral(" updated."));
    return 0;
}

} // namespace pacs
